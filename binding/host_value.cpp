#include "binding/host_value.h"

#include <cstring>
#include <exception>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>

#include "binding/type_registry.h"
#include "binding/values/value.h"
#include "plugin/entry/allocation.h"
#include "text/format_message.h"

namespace mox {

namespace {

constexpr const char* kIncompatibleKindMessage =
    "Couldn't assign value to '%1' of type object because the input is of an incompatible "
    "type '%2'.";
constexpr const char* kFromHostTooDeepMessage =
    "Couldn't assign value to '%1' because the input is nested more than %2 levels deep.";
constexpr const char* kFromHostTooManyMessage =
    "Couldn't assign value to '%1' because the input holds %2 entries, more than %3.";
constexpr const char* kFromHostNoMemoryMessage =
    "Couldn't assign value because memory could not be allocated.";
constexpr const char* kToHostTooDeepMessage =
    "Couldn't convert value to a host value because it is nested more than %1 levels deep.";
constexpr const char* kToHostTooLongMessage =
    "Couldn't convert value to a host value because a %1 of %2 bytes is too long.";
constexpr const char* kToHostNoMemoryMessage =
    "Couldn't convert value to a host value because memory could not be allocated.";
constexpr const char* kToHostFailedMessage = "Couldn't convert value to a host value: %1";

bool isContainer(HostKind kind) {
    return kind == HostKind::Collection || kind == HostKind::Structure;
}

// Frees what a non-container value owns and zeroes it.
void releaseLeaf(HostValue& value) {
    if (value.kind == HostKind::OwnedString) {
        deallocate(const_cast<char*>(value.payload.string.text));
    } else if (value.kind == HostKind::OwnedBlob) {
        deallocate(const_cast<std::uint8_t*>(value.payload.blob.bytes));
    }
    value = HostValue{};
}

void freeMemberName(HostMember& member) {
    if (member.ownsName != 0) {
        deallocate(const_cast<char*>(member.name));
    }
    member.name = nullptr;
    member.ownsName = 0;
}

// Stores the failure in `status` without touching its value (which may be the very value
// being converted). Never throws: without memory the flag alone records the failure.
void recordFailure(HostResult& status, const char* message) noexcept {
    char* copy = duplicateString(message);  // before the old text goes: it may be `message`
    deallocate(status.error);
    status.error = copy;
    status.failed = 1;
}

template <class... Args>
void recordFailure(HostResult& status, const char* format, const Args&... args) noexcept {
    try {
        const std::string message = formatMessage(format, args...);
        recordFailure(status, message.c_str());
    } catch (...) {
        // Formatting needs a std::string; without memory the flag alone tells the failure.
        recordFailure(status, format);
    }
}

// Allocates a zero-filled array of `count` elements of `size` bytes, or null when the size
// overflows or the allocation layer has no memory.
void* allocateZeroed(std::uint32_t count, std::size_t size) {
    if (count > std::numeric_limits<std::size_t>::max() / size) {
        return nullptr;
    }
    const std::size_t bytes = static_cast<std::size_t>(count) * size;
    void* block = allocate(bytes);
    if (block != nullptr && bytes != 0) {
        std::memset(block, 0, bytes);
    }
    return block;
}

// An owned, NUL-terminated copy of `length` bytes; null without memory.
char* copyText(const char* text, std::size_t length) {
    if (length == std::numeric_limits<std::size_t>::max()) {
        return nullptr;
    }
    char* copy = static_cast<char*>(allocate(length + 1));
    if (copy == nullptr) {
        return nullptr;
    }
    if (length != 0) {
        std::memcpy(copy, text, length);
    }
    copy[length] = '\0';
    return copy;
}

bool fitsLength(std::size_t length) {
    return length <= std::numeric_limits<std::uint32_t>::max();
}

// --- toHost -----------------------------------------------------------------------------------

class ToHost {
  public:
    ToHost(HostResult& status, const TypeRegistry* registry)
        : status_(status), registry_(registry) {}

    // `out` is zero (kind 0) on entry. On failure the part not converted stays kind 0.
    bool convert(HostValue& out, const Value& value, std::uint32_t depth) {
        switch (value.kind()) {
            case ValueKind::Empty:
                return true;
            case ValueKind::Bool:
                setHostBool(out, value.asBool());
                return true;
            case ValueKind::Signed:
                setHostSigned(out, value.asSigned());
                return true;
            case ValueKind::Unsigned:
                setHostUnsigned(out, value.asUnsigned());
                return true;
            case ValueKind::Float:
                setHostFloat(out, value.asFloat());
                return true;
            case ValueKind::String: {
                const std::string_view text = value.asString();
                return copyString(out, text.data(), text.size(), "string");
            }
            case ValueKind::Blob: {
                const auto bytes = value.asBlob();
                if (!fitsLength(bytes.size())) {
                    return tooLong("blob", bytes.size());
                }
                return setHostBlob(out, bytes.data(), bytes.size()) || noMemory();
            }
            case ValueKind::Enum:
                return convertEnum(out, value.asEnum());
            case ValueKind::Collection:
                return collection(out, value, depth + 1);
            case ValueKind::Structure:
                return structure(out, value, depth + 1);
        }
        return true;  // a kind the value model does not define converts as empty
    }

  private:
    bool copyString(HostValue& out, const char* text, std::size_t length, const char* what) {
        if (!fitsLength(length)) {
            return tooLong(what, length);
        }
        return setHostString(out, text, length) || noMemory();
    }

    bool convertEnum(HostValue& out, const EnumValue& enumeration) {
        if (registry_ != nullptr && enumeration.typeId != nullptr) {
            const char* name =
                registry_->enumeratorName(enumeration.typeId->id, enumeration.number);
            if (name != nullptr) {
                return copyString(out, name, std::strlen(name), "string");
            }
        }
        setHostSigned(out, enumeration.number);
        return true;
    }

    bool collection(HostValue& out, const Value& value, std::uint32_t depth) {
        if (depth > kMaxHostValueDepth) {
            return tooDeep();
        }
        const auto elements = value.elements();
        HostValue* array = setHostCollection(out, static_cast<std::uint32_t>(elements.size()));
        if (array == nullptr) {
            return noMemory();
        }
        for (std::size_t i = 0; i < elements.size(); ++i) {
            if (!convert(array[i], elements[i], depth)) {
                return false;
            }
        }
        return true;
    }

    bool structure(HostValue& out, const Value& value, std::uint32_t depth) {
        if (depth > kMaxHostValueDepth) {
            return tooDeep();
        }
        HostMember* members = setHostStructure(out, static_cast<std::uint32_t>(value.size()));
        if (members == nullptr) {
            return noMemory();
        }
        HostMember* member = members;
        for (const ConstValueMember entry : value.members()) {
            member->name = copyText(entry.name.data(), entry.name.size());
            if (member->name == nullptr) {
                return noMemory();
            }
            member->ownsName = 1;
            if (!convert(member->value, entry.value, depth)) {
                return false;
            }
            ++member;
        }
        return true;
    }

    bool noMemory() {
        recordFailure(status_, kToHostNoMemoryMessage);
        return false;
    }
    bool tooDeep() {
        recordFailure(status_, kToHostTooDeepMessage, kMaxHostValueDepth);
        return false;
    }
    bool tooLong(const char* what, std::size_t length) {
        recordFailure(status_, kToHostTooLongMessage, what, static_cast<std::uint64_t>(length));
        return false;
    }

    HostResult& status_;
    const TypeRegistry* registry_;
};

// --- fromHost ---------------------------------------------------------------------------------

class FromHost {
  public:
    FromHost(HostResult& status, const char* name) : status_(status), name_(name) {}

    bool convert(Value& out, const HostValue& host, std::uint32_t depth) {
        switch (host.kind) {
            case HostKind::Empty:
                out.reset();
                return true;
            case HostKind::Bool:
                out.setBool(host.payload.boolean != 0);
                return true;
            case HostKind::Signed:
                out.setSigned(host.payload.signedValue);
                return true;
            case HostKind::Unsigned:
                out.setUnsigned(host.payload.unsignedValue);
                return true;
            case HostKind::Float:
                out.setFloat(host.payload.floatValue);
                return true;
            case HostKind::BorrowedString:
            case HostKind::OwnedString: {
                // Read up to the NUL: the host's length field is not trusted.
                const char* text = host.payload.string.text;
                out.setString(text != nullptr ? text : "");
                return true;
            }
            case HostKind::BorrowedBlob:
            case HostKind::OwnedBlob: {
                const std::uint8_t* bytes = host.payload.blob.bytes;
                if (bytes == nullptr) {
                    out.setBlob(ValueBytes{});
                } else {
                    out.setBlob(bytes, host.payload.blob.length);
                }
                return true;
            }
            case HostKind::Collection:
                return collection(out, host, depth + 1);
            case HostKind::Structure:
                return structure(out, host, depth + 1);
        }
        recordFailure(status_, kIncompatibleKindMessage, name_, hostKindName(host.kind));
        return false;
    }

  private:
    bool collection(Value& out, const HostValue& host, std::uint32_t depth) {
        if (!checkContainer(depth, host.payload.array.count)) {
            return false;
        }
        // A fresh collection: elements of an earlier content must not survive.
        out.reset();
        out.makeCollection();
        const HostValue* values = host.payload.array.values;
        if (values == nullptr) {
            return true;
        }
        const std::uint32_t count = host.payload.array.count;
        out.reserve(count);
        for (std::uint32_t i = 0; i < count; ++i) {
            if (!convert(out.element(i), values[i], depth)) {
                return false;
            }
        }
        return true;
    }

    bool structure(Value& out, const HostValue& host, std::uint32_t depth) {
        if (!checkContainer(depth, host.payload.structure.count)) {
            return false;
        }
        out.reset();
        out.makeStructure();
        const HostMember* members = host.payload.structure.members;
        if (members == nullptr) {
            return true;
        }
        const std::uint32_t count = host.payload.structure.count;
        for (std::uint32_t i = 0; i < count; ++i) {
            const char* memberName = members[i].name;
            Value& member = out.member(memberName != nullptr ? memberName : "");
            if (!convert(member, members[i].value, depth)) {
                return false;
            }
        }
        return true;
    }

    bool checkContainer(std::uint32_t depth, std::uint32_t count) {
        if (depth > kMaxHostValueDepth) {
            recordFailure(status_, kFromHostTooDeepMessage, name_, kMaxHostValueDepth);
            return false;
        }
        if (count > kMaxHostArrayCount) {
            recordFailure(status_, kFromHostTooManyMessage, name_, count, kMaxHostArrayCount);
            return false;
        }
        return true;
    }

    HostResult& status_;
    const char* name_;
};

}  // namespace

const char* hostKindName(HostKind kind) {
    switch (kind) {
        case HostKind::Bool:
            return "bool";
        case HostKind::Signed:
            return "signed";
        case HostKind::Unsigned:
            return "unsigned";
        case HostKind::Float:
            return "float";
        case HostKind::BorrowedString:
        case HostKind::OwnedString:
            return "string";
        case HostKind::BorrowedBlob:
        case HostKind::OwnedBlob:
            return "blob";
        case HostKind::Collection:
            return "collection";
        case HostKind::Structure:
            return "structure";
        case HostKind::Empty:
            break;
    }
    return "";
}

// The walk keeps its stack inside the tree it frees. Arrays are emptied from the back. When
// the walk descends into a container slot, that slot (no longer needed, since its array is now
// the current one) is overwritten with a frame: its payload pointer links to the previous
// frame slot, its count holds the slot's own index in the parent array (= the number of
// parent entries still to release), and its kind says whether the parent array holds values
// (Collection) or members (Structure). Returning from a child array recomputes the parent
// array's start from the slot's address and index.
void releaseHostValue(HostValue& value) {
    if (!isContainer(value.kind)) {
        releaseLeaf(value);
        return;
    }
    void* block = value.payload.array.values;
    std::uint32_t remaining = value.payload.array.count;
    bool members = value.kind == HostKind::Structure;
    value = HostValue{};
    if (block == nullptr) {
        return;
    }
    HostValue* link = nullptr;
    for (;;) {
        if (remaining == 0) {
            deallocate(block);
            if (link == nullptr) {
                return;
            }
            HostValue* slot = link;
            const std::uint32_t index = slot->payload.array.count;
            const bool parentMembers = slot->kind == HostKind::Structure;
            link = slot->payload.array.values;
            if (parentMembers) {
                auto* member = reinterpret_cast<HostMember*>(reinterpret_cast<char*>(slot) -
                                                             offsetof(HostMember, value));
                block = member - index;
            } else {
                block = slot - index;
            }
            *slot = HostValue{};
            remaining = index;
            members = parentMembers;
            continue;
        }
        const std::uint32_t index = remaining - 1;
        HostValue* slot;
        if (members) {
            HostMember& member = static_cast<HostMember*>(block)[index];
            freeMemberName(member);
            slot = &member.value;
        } else {
            slot = static_cast<HostValue*>(block) + index;
        }
        if (isContainer(slot->kind) && slot->payload.array.values != nullptr) {
            void* child = slot->payload.array.values;
            const std::uint32_t childCount = slot->payload.array.count;
            const bool childMembers = slot->kind == HostKind::Structure;
            slot->kind = members ? HostKind::Structure : HostKind::Collection;
            slot->payload.array.values = link;
            slot->payload.array.count = index;
            link = slot;
            block = child;
            remaining = childCount;
            members = childMembers;
        } else {
            releaseLeaf(*slot);
            remaining = index;
        }
    }
}

void releaseHostMember(HostMember& member) {
    freeMemberName(member);
    releaseHostValue(member.value);
}

void releaseHostResult(HostResult& result) {
    releaseHostValue(result.value);
    deallocate(result.error);
    result.error = nullptr;
    result.failed = 0;
}

void setHostBool(HostValue& target, bool value) {
    releaseHostValue(target);
    target.kind = HostKind::Bool;
    target.payload.boolean = value ? 1 : 0;
}

void setHostSigned(HostValue& target, std::int64_t value) {
    releaseHostValue(target);
    target.kind = HostKind::Signed;
    target.payload.signedValue = value;
}

void setHostUnsigned(HostValue& target, std::uint64_t value) {
    releaseHostValue(target);
    target.kind = HostKind::Unsigned;
    target.payload.unsignedValue = value;
}

void setHostFloat(HostValue& target, double value) {
    releaseHostValue(target);
    target.kind = HostKind::Float;
    target.payload.floatValue = value;
}

bool setHostString(HostValue& target, const char* text) {
    if (text == nullptr) {
        text = "";
    }
    return setHostString(target, text, std::strlen(text));
}

// The copying setters copy before they release: the new content may live inside `target`
// (its own text, or a text somewhere in the tree it holds).
bool setHostString(HostValue& target, const char* text, std::size_t length) {
    char* copy = fitsLength(length) ? copyText(text, length) : nullptr;
    releaseHostValue(target);
    if (copy == nullptr) {
        return false;
    }
    target.kind = HostKind::OwnedString;
    target.payload.string.text = copy;
    target.payload.string.length = static_cast<std::uint32_t>(length);
    return true;
}

bool setHostBlob(HostValue& target, const void* bytes, std::size_t length) {
    auto* copy = fitsLength(length) ? static_cast<std::uint8_t*>(allocate(length)) : nullptr;
    if (copy != nullptr && length != 0) {
        std::memcpy(copy, bytes, length);
    }
    releaseHostValue(target);
    if (copy == nullptr) {
        return false;
    }
    target.kind = HostKind::OwnedBlob;
    target.payload.blob.bytes = copy;
    target.payload.blob.length = static_cast<std::uint32_t>(length);
    return true;
}

HostValue* setHostCollection(HostValue& target, std::uint32_t count) {
    releaseHostValue(target);
    auto* values = static_cast<HostValue*>(allocateZeroed(count, sizeof(HostValue)));
    if (values == nullptr) {
        return nullptr;
    }
    target.kind = HostKind::Collection;
    target.payload.array.values = values;
    target.payload.array.count = count;
    return values;
}

HostMember* setHostStructure(HostValue& target, std::uint32_t count) {
    releaseHostValue(target);
    auto* members = static_cast<HostMember*>(allocateZeroed(count, sizeof(HostMember)));
    if (members == nullptr) {
        return nullptr;
    }
    target.kind = HostKind::Structure;
    target.payload.structure.members = members;
    target.payload.structure.count = count;
    return members;
}

bool setHostMemberName(HostMember& member, const char* name) {
    // Copy first: `name` may be the member's own name.
    char* copy = duplicateString(name != nullptr ? name : "");
    freeMemberName(member);
    if (copy == nullptr) {
        return false;
    }
    member.name = copy;
    member.ownsName = 1;
    return true;
}

void setHostError(HostResult& result, const char* message) {
    // Copy first: `message` may be the result's own error text or a text in its value.
    char* copy = duplicateString(message != nullptr ? message : "");
    releaseHostValue(result.value);
    deallocate(result.error);
    result.error = copy;
    result.failed = 1;
}

bool toHost(HostResult& status, HostValue& out, const Value& value, const TypeRegistry* registry) {
    return toHostAtDepth(status, out, value, registry, 0);
}

bool toHostAtDepth(HostResult& status, HostValue& out, const Value& value,
                   const TypeRegistry* registry, std::uint32_t depth) {
    releaseHostValue(out);
    ToHost converter(status, registry);
    try {
        return converter.convert(out, value, depth);
    } catch (const std::bad_alloc&) {
        recordFailure(status, kToHostNoMemoryMessage);
        return false;
    } catch (const std::exception& error) {
        // Only the registry lookup could throw here (its lock): report it rather than escape.
        recordFailure(status, kToHostFailedMessage, error.what());
        return false;
    }
}

bool fromHost(HostResult& status, Value& out, const HostValue& host, const char* name) {
    if (name == nullptr) {
        name = "";
    }
    FromHost converter(status, name);
    try {
        return converter.convert(out, host, 0);
    } catch (const std::bad_alloc&) {
        recordFailure(status, kFromHostNoMemoryMessage);
        return false;
    } catch (const std::length_error&) {
        recordFailure(status, kFromHostNoMemoryMessage);
        return false;
    }
}

}  // namespace mox
