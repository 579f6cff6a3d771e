#include "binding/values/value.h"

#include <cstring>
#include <new>
#include <stdexcept>
#include <utility>

#include "binding/values/value_context.h"
#include "binding/values/value_structure.h"

namespace mox {

namespace detail {

// A collection's header: the element array (from the pool, its capacity the whole block the
// pool gave) and its size and capacity.
struct Collection {
    Value* data = nullptr;
    std::uint32_t size = 0;
    std::uint32_t capacity = 0;
};

}  // namespace detail

namespace {

using detail::Collection;
using detail::Structure;
using detail::StructureNode;

constinit const Value kEmptyValue;

constexpr const char* kKindNames[] = {"empty",  "bool", "signed", "unsigned",   "float",
                                      "string", "blob", "enum",   "collection", "structure"};

bool isScalar(ValueKind kind) noexcept {
    return kind <= ValueKind::Float;
}

std::size_t arrayBytes(std::size_t capacity) noexcept {
    return capacity * sizeof(Value);
}

}  // namespace

const char* valueKindName(ValueKind kind) noexcept {
    const auto index = static_cast<std::size_t>(kind);
    return index < std::size(kKindNames) ? kKindNames[index] : "";
}

const Value& Value::emptyValue() noexcept {
    return kEmptyValue;
}

// --- life cycle ---------------------------------------------------------------------------

Value::~Value() {
    ValueContext* ctx = context();
    if (ctx == nullptr) {
        return;
    }
    if (!ownsContext()) {
        releasePayload(false);
        return;
    }
    // The context frees every pool block and interned text at once, element arrays of any
    // size included; only blob bytes live outside it and need a walk, when there are any.
    if (ctx->blobsInUse_ != 0) {
        releasePayload(true);
    }
    delete ctx;
}

Value::Value(const Value& other) : Value() {
    assign(other);
}

Value& Value::operator=(const Value& other) {
    assign(other);
    return *this;
}

Value::Value(Value&& other) : Value() {
    take(other);
}

Value& Value::operator=(Value&& other) {
    take(other);
    return *this;
}

ValueContext& Value::ensureContext() {
    ValueContext* ctx = context();
    if (ctx == nullptr) {
        // Only a root can lack a context: elements and members get their parent's.
        ctx = new ValueContext();
        setContext(ctx);
    }
    return *ctx;
}

void Value::releaseLeaf(bool bulk) noexcept {
    ValueContext* ctx = context();
    switch (kind()) {
        case ValueKind::String:
            // An empty string may sit in a root that has no context yet.
            if (!bulk && payload_.string != &emptyInternedString()) {
                ctx->release(payload_.string);
            }
            break;
        case ValueKind::Blob:
            --ctx->blobsInUse_;
            if (bulk) {
                payload_.blob->~ValueBytes();
            } else {
                ctx->destroy(payload_.blob);
            }
            break;
        case ValueKind::Enum:
            if (!bulk) {
                ctx->destroy(payload_.enumeration);
            }
            break;
        default:
            break;
    }
}

// The walk keeps its stack inside the tree it frees, so it needs no memory and no recursion
// at any depth. The container being released is `current`. Collections are emptied from the
// back; structures by a post-order walk over the parent links whose resume point is kept in
// the structure's root field. When the walk meets a container element or member, it descends:
// that value's word (context and kind, no longer needed since the tree is going) is
// overwritten with a link to `current` plus one bit telling whether `current` is a structure.
// When a container is done, the walk returns along the link and leaves the value it came from
// empty, so the parent's loop passes over it.
void Value::releasePayload(bool bulk) noexcept {
    const ValueKind ownKind = kind();
    if (isScalar(ownKind)) {
        return;  // the common case: setters on fresh values
    }
    if (ownKind != ValueKind::Collection && ownKind != ValueKind::Structure) {
        releaseLeaf(bulk);
        return;
    }
    ValueContext* ctx = context();
    const auto emptyWord = reinterpret_cast<std::uintptr_t>(ctx);
    Value* current = this;
    bool isStructure = ownKind == ValueKind::Structure;
    for (;;) {
        Value* child = nullptr;
        if (isStructure) {
            Structure* structure = current->payload_.structure;
            StructureNode* node = structure->root;
            while (node != nullptr) {
                if (node->left != nullptr) {
                    node = node->left;
                    continue;
                }
                if (node->right != nullptr) {
                    node = node->right;
                    continue;
                }
                const ValueKind memberKind = node->value.kind();
                if (memberKind == ValueKind::Collection || memberKind == ValueKind::Structure) {
                    structure->root = node;  // resume here, at a leaf, once the member is done
                    child = &node->value;
                    break;
                }
                StructureNode* parent = node->parent();
                if (parent != nullptr) {
                    (parent->left == node ? parent->left : parent->right) = nullptr;
                }
                if (!isScalar(memberKind)) {
                    node->value.releaseLeaf(bulk);
                }
                if (!bulk) {
                    ctx->release(node->name);
                    ctx->deallocate(node, sizeof(StructureNode));
                }
                node = parent;
            }
            if (child == nullptr) {
                structure->root = nullptr;
                if (!bulk) {
                    ctx->destroy(structure);
                }
            }
        } else {
            Collection* collection = current->payload_.collection;
            while (collection->size != 0) {
                Value& element = collection->data[collection->size - 1];
                const ValueKind elementKind = element.kind();
                if (elementKind == ValueKind::Collection || elementKind == ValueKind::Structure) {
                    child = &element;
                    break;
                }
                if (!isScalar(elementKind)) {
                    element.releaseLeaf(bulk);
                }
                --collection->size;
            }
            if (child == nullptr && !bulk) {
                ctx->deallocate(collection->data, arrayBytes(collection->capacity));
                ctx->destroy(collection);
            }
        }
        if (child != nullptr) {
            const bool childIsStructure = child->kind() == ValueKind::Structure;
            child->word_ = reinterpret_cast<std::uintptr_t>(current) | (isStructure ? 1u : 0u);
            current = child;
            isStructure = childIsStructure;
            continue;
        }
        if (current == this) {
            return;
        }
        const std::uintptr_t link = current->word_;
        current->word_ = emptyWord;
        current->payload_.u = 0;
        current = reinterpret_cast<Value*>(link & ~std::uintptr_t{1});
        isStructure = (link & 1u) != 0;
    }
}

void Value::reset() noexcept {
    if (!isScalar(kind())) {
        releasePayload(false);  // scalars (and fresh values) hold nothing
    }
    payload_.u = 0;
    setKind(ValueKind::Empty);
}

// --- setters --------------------------------------------------------------------------------

void Value::setBool(bool value) {
    reset();
    payload_.b = value;
    setKind(ValueKind::Bool);
}

void Value::setSigned(std::int64_t value) {
    reset();
    payload_.i = value;
    setKind(ValueKind::Signed);
}

void Value::setUnsigned(std::uint64_t value) {
    reset();
    payload_.u = value;
    setKind(ValueKind::Unsigned);
}

void Value::setFloat(double value) {
    reset();
    payload_.f = value;
    setKind(ValueKind::Float);
}

void Value::setString(const char* text) {
    setString(text == nullptr ? std::string_view() : std::string_view(text));
}

void Value::setString(const std::string& text) {
    setString(std::string_view(text));
}

void Value::setString(std::string_view text) {
    // Intern before releasing: the text may belong to the string this value holds.
    const InternedString* entry =
        text.empty() ? &emptyInternedString() : ensureContext().intern(text);
    reset();
    payload_.string = entry;
    setKind(ValueKind::String);
}

void Value::setBlob(ValueBytes&& bytes) {
    ValueContext& ctx = ensureContext();
    ValueBytes* blob = ctx.create<ValueBytes>(std::move(bytes));
    reset();
    payload_.blob = blob;
    ++ctx.blobsInUse_;
    setKind(ValueKind::Blob);
}

void Value::setBlob(const ValueBytes& bytes) {
    setBlob(bytes.data(), bytes.size());
}

void Value::setBlob(const void* data, std::size_t size) {
    const auto* begin = static_cast<const std::uint8_t*>(data);
    ValueContext& ctx = ensureContext();
    ValueBytes* blob =
        size == 0 ? ctx.create<ValueBytes>() : ctx.create<ValueBytes>(begin, begin + size);
    reset();
    payload_.blob = blob;
    ++ctx.blobsInUse_;
    setKind(ValueKind::Blob);
}

void Value::setEnum(std::int32_t number, const StaticTypeId* typeId) {
    EnumValue* record = ensureContext().create<EnumValue>(EnumValue{number, typeId});
    reset();
    payload_.enumeration = record;
    setKind(ValueKind::Enum);
}

void Value::makeCollection() {
    if (kind() == ValueKind::Collection) {
        return;
    }
    Collection* collection = ensureContext().create<Collection>();
    reset();
    payload_.collection = collection;
    setKind(ValueKind::Collection);
}

void Value::makeStructure() {
    if (kind() == ValueKind::Structure) {
        return;
    }
    Structure* structure = ensureContext().create<Structure>();
    reset();
    payload_.structure = structure;
    setKind(ValueKind::Structure);
}

// --- copy and move --------------------------------------------------------------------------

void Value::copyInto(Value& dest, const Value& source, ValueContext& ctx) {
    const ValueKind kind = source.kind();
    switch (kind) {
        case ValueKind::String: {
            const InternedString* entry = source.payload_.string;
            if (source.context() == &ctx) {
                InternedStringTable::addRef(entry);
            } else if (entry != &emptyInternedString()) {
                entry = ctx.intern(entry->view(), entry->hash);
            }
            dest.payload_.string = entry;
            break;
        }
        case ValueKind::Blob:
            dest.payload_.blob = ctx.create<ValueBytes>(*source.payload_.blob);
            ++ctx.blobsInUse_;
            break;
        case ValueKind::Enum:
            dest.payload_.enumeration = ctx.create<EnumValue>(*source.payload_.enumeration);
            break;
        case ValueKind::Collection: {
            const Collection& from = *source.payload_.collection;
            dest.payload_.collection = ctx.create<Collection>();
            dest.setKind(kind);
            dest.growCollection(from.size);
            Collection& to = *dest.payload_.collection;
            for (std::uint32_t i = 0; i < from.size; ++i) {
                Value* element = new (&to.data[i]) Value(ChildTag{}, &ctx);
                ++to.size;
                copyInto(*element, from.data[i], ctx);
            }
            return;
        }
        case ValueKind::Structure: {
            const Structure& from = *source.payload_.structure;
            dest.payload_.structure = ctx.create<Structure>();
            dest.setKind(kind);
            Structure& to = *dest.payload_.structure;
            const bool sameTree = source.context() == &ctx;
            for (const StructureNode* node = from.first(); node != nullptr;
                 node = detail::nextStructureNode(node)) {
                const InternedString* name = node->name;
                if (sameTree) {
                    InternedStringTable::addRef(name);
                } else {
                    name = ctx.intern(name->view(), name->hash);
                }
                void* slot;
                try {
                    slot = ctx.allocate(sizeof(StructureNode));
                } catch (...) {
                    ctx.release(name);
                    throw;
                }
                auto* copy = new (slot) StructureNode();
                copy->value.word_ = reinterpret_cast<std::uintptr_t>(&ctx);
                copy->name = name;
                // Members arrive in name order: each one is the new greatest.
                to.linkLast(copy);
                copyInto(copy->value, node->value, ctx);
            }
            return;
        }
        default:
            dest.payload_ = source.payload_;
            break;
    }
    dest.setKind(kind);
}

void Value::assign(const Value& other) {
    if (&other == this) {
        return;
    }
    const ValueKind kind = other.kind();
    if (isScalar(kind)) {
        const Payload payload = other.payload_;
        reset();
        payload_ = payload;
        setKind(kind);
        return;
    }
    ValueContext& ctx = ensureContext();
    // Build the copy beside the old payload first: `other` may be part of what this value
    // holds, and a failed copy leaves this value unchanged.
    // (On an exception, the destructor of `copy` frees the partial copy.)
    Value copy(ChildTag{}, &ctx);
    copyInto(copy, other, ctx);
    reset();
    payload_ = copy.payload_;
    setKind(kind);
    copy.setKind(ValueKind::Empty);  // the payload now belongs to this value
}

void Value::take(Value& other) {
    if (&other == this) {
        return;
    }
    if (ownsContext() && other.ownsContext()) {
        std::swap(payload_, other.payload_);
        std::swap(word_, other.word_);
        other.reset();
        return;
    }
    ValueContext* otherContext = other.context();
    if (otherContext != nullptr && otherContext == context()) {
        // Same tree: the storage can change hands without a copy. Detach it from `other`
        // first, since `other` may be part of what this value releases.
        const Payload payload = other.payload_;
        const ValueKind kind = other.kind();
        other.payload_.u = 0;
        other.setKind(ValueKind::Empty);
        reset();
        payload_ = payload;
        setKind(kind);
        return;
    }
    assign(other);
    other.reset();
}

// --- reading --------------------------------------------------------------------------------

std::size_t Value::size() const noexcept {
    switch (kind()) {
        case ValueKind::Empty:
            return 0;
        case ValueKind::String:
            return payload_.string->text.size();
        case ValueKind::Blob:
            return payload_.blob->size();
        case ValueKind::Collection:
            return payload_.collection->size;
        case ValueKind::Structure:
            return payload_.structure->count;
        default:
            return 1;
    }
}

bool Value::asBool(bool fallback) const noexcept {
    return kind() == ValueKind::Bool ? payload_.b : fallback;
}

std::int64_t Value::asSigned(std::int64_t fallback) const noexcept {
    return kind() == ValueKind::Signed ? payload_.i : fallback;
}

std::uint64_t Value::asUnsigned(std::uint64_t fallback) const noexcept {
    return kind() == ValueKind::Unsigned ? payload_.u : fallback;
}

double Value::asFloat(double fallback) const noexcept {
    return kind() == ValueKind::Float ? payload_.f : fallback;
}

std::string_view Value::asString(std::string_view fallback) const noexcept {
    return kind() == ValueKind::String ? std::string_view(payload_.string->text) : fallback;
}

const char* Value::asCString(const char* fallback) const noexcept {
    return kind() == ValueKind::String ? payload_.string->text.c_str() : fallback;
}

std::span<const std::uint8_t> Value::asBlob(std::span<const std::uint8_t> fallback) const noexcept {
    return kind() == ValueKind::Blob ? std::span<const std::uint8_t>(*payload_.blob) : fallback;
}

EnumValue Value::asEnum(EnumValue fallback) const noexcept {
    return kind() == ValueKind::Enum ? *payload_.enumeration : fallback;
}

const InternedString* Value::asInterned() const noexcept {
    return kind() == ValueKind::String ? payload_.string : nullptr;
}

// --- containers -----------------------------------------------------------------------------

void Value::growCollection(std::size_t minCapacity) {
    Collection& collection = *payload_.collection;
    if (minCapacity <= collection.capacity) {
        return;
    }
    if (minCapacity > kMaxValueLength) {
        throw std::length_error("value collection longer than 0x0FFFFFFF elements");
    }
    ValueContext& ctx = *context();
    // Take the whole block the pool hands out for this size: its slot sizes are multiples of
    // a value, so the array grows into the slack before it moves again.
    std::size_t capacity = SmallObjectPool::blockSizeFor(arrayBytes(minCapacity)) / sizeof(Value);
    if (capacity > kMaxValueLength) {
        capacity = kMaxValueLength;
    }
    void* memory = ctx.allocate(arrayBytes(capacity));
    if (collection.size != 0) {
        // Values hold no pointers to themselves: moving their bytes relocates them.
        std::memcpy(memory, static_cast<void*>(collection.data), arrayBytes(collection.size));
    }
    if (collection.data != nullptr) {
        ctx.deallocate(collection.data, arrayBytes(collection.capacity));
    }
    collection.data = static_cast<Value*>(memory);
    collection.capacity = static_cast<std::uint32_t>(capacity);
}

Value& Value::element(std::size_t index) {
    if (index >= kMaxValueLength) {
        throw std::length_error("value collection longer than 0x0FFFFFFF elements");
    }
    makeCollection();
    Collection& collection = *payload_.collection;
    if (index < collection.size) {
        return collection.data[index];
    }
    if (index >= collection.capacity) {
        std::size_t capacity = collection.capacity < 4 ? 4 : std::size_t{collection.capacity} * 2;
        if (capacity <= index) {
            capacity = index + 1;
        }
        if (capacity > kMaxValueLength) {
            capacity = kMaxValueLength;
        }
        growCollection(capacity);
    }
    ValueContext* ctx = context();
    for (std::size_t i = collection.size; i <= index; ++i) {
        new (&collection.data[i]) Value(ChildTag{}, ctx);
    }
    collection.size = static_cast<std::uint32_t>(index + 1);
    return collection.data[index];
}

Value& Value::append() {
    return element(kind() == ValueKind::Collection ? payload_.collection->size : 0);
}

void Value::reserve(std::size_t count) {
    if (kind() == ValueKind::Collection) {
        growCollection(count);
    }
}

Value& Value::member(std::string_view name) {
    makeStructure();
    Structure& structure = *payload_.structure;
    StructureNode* parent;
    bool left;
    if (StructureNode* found = structure.locate(name, parent, left)) {
        return found->value;
    }
    ValueContext& ctx = *context();
    const InternedString* interned = ctx.intern(name);
    void* slot;
    try {
        slot = ctx.allocate(sizeof(StructureNode));
    } catch (...) {
        ctx.release(interned);
        throw;
    }
    auto* node = new (slot) StructureNode();
    node->value.word_ = reinterpret_cast<std::uintptr_t>(&ctx);
    node->name = interned;
    structure.link(node, parent, left);
    return node->value;
}

const Value& Value::at(std::size_t index) const noexcept {
    if (kind() != ValueKind::Collection || index >= payload_.collection->size) {
        return kEmptyValue;
    }
    return payload_.collection->data[index];
}

const Value& Value::find(std::string_view name) const noexcept {
    if (kind() != ValueKind::Structure) {
        return kEmptyValue;
    }
    const StructureNode* node = payload_.structure->find(name);
    return node != nullptr ? node->value : kEmptyValue;
}

bool Value::contains(std::string_view name) const noexcept {
    return kind() == ValueKind::Structure && payload_.structure->find(name) != nullptr;
}

std::span<Value> Value::elements() noexcept {
    if (kind() != ValueKind::Collection) {
        return {};
    }
    return {payload_.collection->data, payload_.collection->size};
}

std::span<const Value> Value::elements() const noexcept {
    if (kind() != ValueKind::Collection) {
        return {};
    }
    return {payload_.collection->data, payload_.collection->size};
}

ValueMemberRange<Value> Value::members() noexcept {
    return ValueMemberRange<Value>(kind() == ValueKind::Structure ? payload_.structure->first()
                                                                  : nullptr);
}

ValueMemberRange<const Value> Value::members() const noexcept {
    return ValueMemberRange<const Value>(
        kind() == ValueKind::Structure ? payload_.structure->first() : nullptr);
}

bool sameContent(const Value& a, const Value& b) noexcept {
    if (a.kind() != b.kind() || a.size() != b.size()) {
        return false;
    }
    switch (a.kind()) {
        case ValueKind::Empty:
            return true;
        case ValueKind::Bool:
            return a.asBool() == b.asBool();
        case ValueKind::Signed:
            return a.asSigned() == b.asSigned();
        case ValueKind::Unsigned:
            return a.asUnsigned() == b.asUnsigned();
        case ValueKind::Float: {
            const double x = a.asFloat();
            const double y = b.asFloat();
            return std::memcmp(&x, &y, sizeof x) == 0;
        }
        case ValueKind::String:
            return a.asString() == b.asString();
        case ValueKind::Blob: {
            const auto x = a.asBlob();
            const auto y = b.asBlob();
            return x.empty() || std::memcmp(x.data(), y.data(), x.size()) == 0;
        }
        case ValueKind::Enum:
            return a.asEnum() == b.asEnum();
        case ValueKind::Collection:
            for (std::size_t i = 0; i < a.size(); ++i) {
                if (!sameContent(a.at(i), b.at(i))) {
                    return false;
                }
            }
            return true;
        case ValueKind::Structure: {
            auto peer = b.members().begin();
            for (const auto member : a.members()) {
                const auto other = *peer;
                if (member.name != other.name || !sameContent(member.value, other.value)) {
                    return false;
                }
                ++peer;
            }
            return true;
        }
    }
    return false;
}

}  // namespace mox
