#include "formats/message_pack_reader.h"

#include <cstring>
#include <string_view>
#include <vector>

#include "binding/values/value.h"
#include "formats/reader_support.h"
#include "text/format_message.h"

namespace mox {

namespace {

constexpr const char* kInvalidFormat = "Invalid MessagePack data at position %1.";
constexpr const char* kKeyNotString =
    "Invalid MessagePack data at position %1. Map keys must be strings.";
constexpr const char* kTruncated8 =
    "Invalid MessagePack data. 8-bit integer value at position %1 is truncated.";
constexpr const char* kTruncated16 =
    "Invalid MessagePack data. 16-bit integer value at position %1 is truncated.";
constexpr const char* kTruncated32 =
    "Invalid MessagePack data. 32-bit integer value at position %1 is truncated.";
constexpr const char* kTruncated64 =
    "Invalid MessagePack data. 64-bit integer value at position %1 is truncated.";
constexpr const char* kStringTruncated =
    "Invalid MessagePack data. String of size %1 at position %2 is truncated.";
constexpr const char* kRawTruncated =
    "Invalid MessagePack data. Raw bytes of size %1 at position %2 are truncated.";
constexpr const char* kTooDeep =
    "Invalid MessagePack data at position %1. Containers nest deeper than %2 levels.";

// One open container. `count` is how many items it expects (twice the pair count for a map)
// and `index` the next one; both are 64-bit so that a map 32 of 0x80000000 pairs does not wrap
// to 0 items on 32-bit targets. The pending key views the input, which outlives the decode.
//
// The stack holds only open containers: the slot of a scalar is filled at once and never
// pushed, which is the same walk as pushing and popping it.
struct OpenContainer {
    OpenContainer(Value* container, std::uint64_t items) noexcept
        : target(container), count(items) {}

    Value* target;
    std::uint64_t count;
    std::uint64_t index = 0;
    std::string_view pendingKey;
};

class MessagePackDecoder {
  public:
    MessagePackDecoder(const std::uint8_t* data, std::size_t size)
        : data_(data), size_(size), reserveBudget_(size) {
        stack_.reserve(16);
    }

    ValueResult run(std::size_t& consumed) {
        while (result_.ok() && pos_ < size_ && step()) {
        }
        consumed = pos_;
        return std::move(result_);
    }

  private:
    // Chooses the slot for the next item and reads it. False when the top-level item is
    // complete (later bytes stay unread) or on failure.
    bool step() {
        if (!rootStarted_) {
            rootStarted_ = true;
            return readItem(result_.value());
        }
        for (;;) {
            if (stack_.empty()) {
                return false;
            }
            OpenContainer& top = stack_.back();
            if (top.index == top.count) {
                stack_.pop_back();
                continue;
            }
            Value& container = *top.target;
            if (container.kind() == ValueKind::Collection) {
                // An existing collection (a repeated key) is overwritten from index 0.
                return readItem(container.element(static_cast<std::size_t>(top.index++)));
            }
            // A structure: even indexes are keys, odd ones the values of the last key.
            if (top.index++ % 2 == 0) {
                return readKey(top);
            }
            return readItem(container.member(top.pendingKey));
        }
    }

    bool readKey(OpenContainer& map) {
        const std::uint8_t format = data_[pos_++];
        std::uint64_t length = 0;
        if (format >= 0xa0 && format <= 0xbf) {
            length = format & 0x1f;
        } else if (format == 0xd9 || format == 0xda || format == 0xdb) {
            if (!readLength(format - 0xd9, length)) {
                return false;
            }
        } else {
            result_.fail(formatMessage(kKeyNotString, pos_));
            return false;
        }
        if (!haveContent(length, kStringTruncated)) {
            return false;
        }
        map.pendingKey = std::string_view(reinterpret_cast<const char*>(data_ + pos_),
                                          static_cast<std::size_t>(length));
        pos_ += static_cast<std::size_t>(length);
        return true;
    }

    // Decodes one item into `target`.
    bool readItem(Value& target) {
        itemEnd_ = pos_ + 1;
        const std::uint8_t format = data_[pos_++];
        if (format <= 0x7f) {
            target.setSigned(format);
        } else if (format >= 0xe0) {
            target.setSigned(static_cast<std::int8_t>(format));
        } else if (format <= 0x8f) {
            return openMap(target, format & 0x0f);
        } else if (format <= 0x9f) {
            return openArray(target, format & 0x0f);
        } else if (format <= 0xbf) {
            return readString(target, format & 0x1f);
        } else {
            switch (format) {
                case 0xc0:
                    break;  // nil: the slot keeps what it holds
                case 0xc2:
                    target.setBool(false);
                    break;
                case 0xc3:
                    target.setBool(true);
                    break;
                case 0xc4:
                case 0xc5:
                case 0xc6:
                    return readBlob(target, format - 0xc4);
                case 0xca: {
                    std::uint64_t bits = 0;
                    if (!readNumber(2, bits)) {
                        return false;
                    }
                    float number;
                    const auto narrow = static_cast<std::uint32_t>(bits);
                    std::memcpy(&number, &narrow, sizeof number);
                    target.setFloat(static_cast<double>(number));
                    break;
                }
                case 0xcb: {
                    std::uint64_t bits = 0;
                    if (!readNumber(3, bits)) {
                        return false;
                    }
                    double number;
                    std::memcpy(&number, &bits, sizeof number);
                    target.setFloat(number);
                    break;
                }
                case 0xcc:
                case 0xcd:
                case 0xce:
                case 0xcf: {
                    std::uint64_t number = 0;
                    if (!readNumber(format - 0xcc, number)) {
                        return false;
                    }
                    target.setUnsigned(number);
                    break;
                }
                case 0xd0:
                case 0xd1:
                case 0xd2:
                case 0xd3: {
                    const unsigned widthCode = format - 0xd0;
                    std::uint64_t bits = 0;
                    if (!readNumber(widthCode, bits)) {
                        return false;
                    }
                    target.setSigned(signExtend(bits, widthCode));
                    break;
                }
                case 0xd9:
                case 0xda:
                case 0xdb: {
                    std::uint64_t length = 0;
                    if (!readLength(format - 0xd9, length)) {
                        return false;
                    }
                    return readString(target, length);
                }
                case 0xdc:
                case 0xdd: {
                    std::uint64_t count = 0;
                    if (!readLength(format - 0xdc + 1, count)) {
                        return false;
                    }
                    return openArray(target, count);
                }
                case 0xde:
                case 0xdf: {
                    std::uint64_t count = 0;
                    if (!readLength(format - 0xde + 1, count)) {
                        return false;
                    }
                    return openMap(target, count);
                }
                default:  // 0xc1 (never used), ext 8/16/32, fixext 1/2/4/8/16
                    result_.fail(formatMessage(kInvalidFormat, pos_));
                    return false;
            }
        }
        return true;
    }

    // The new container's depth counts the open ones around it. Like the other messages about
    // a format byte, this one names the position just after it.
    bool checkDepth() {
        if (detail::exceedsNestingDepth(stack_.size() + 1)) {
            result_.fail(formatMessage(kTooDeep, itemEnd_, kMaxNestingDepth));
            return false;
        }
        return true;
    }

    // An existing collection keeps its elements and is overwritten from index 0.
    bool openArray(Value& target, std::uint64_t count) {
        if (!checkDepth()) {
            return false;
        }
        target.makeCollection();
        reserveElements(target, count);
        stack_.emplace_back(&target, count);
        return true;
    }

    // An existing structure keeps its members.
    bool openMap(Value& target, std::uint64_t pairs) {
        if (!checkDepth()) {
            return false;
        }
        target.makeStructure();
        stack_.emplace_back(&target, pairs * 2);
        return true;
    }

    // Makes room for the elements an array announces, so that it is filled without growing.
    // The count is only a claim of the input: at most what the bytes left could still hold is
    // reserved (each element takes at least one byte), out of a budget of one element per
    // input byte for the whole read, so that no count, nesting or repetition of arrays makes
    // the tree reserve more than one element's 16 bytes per byte of input.
    void reserveElements(Value& collection, std::uint64_t count) {
        std::uint64_t room = count;
        const std::uint64_t left = size_ - pos_;
        if (room > left) {
            room = left;
        }
        if (room > reserveBudget_) {
            room = reserveBudget_;
        }
        if (room > kMaxValueLength) {
            room = kMaxValueLength;
        }
        if (room <= collection.size()) {
            return;  // a repeated key's collection that holds as many already
        }
        reserveBudget_ -= room;
        collection.reserve(static_cast<std::size_t>(room));
    }

    bool readString(Value& target, std::uint64_t length) {
        if (!haveContent(length, kStringTruncated)) {
            return false;
        }
        target.setString(std::string_view(reinterpret_cast<const char*>(data_ + pos_),
                                          static_cast<std::size_t>(length)));
        pos_ += static_cast<std::size_t>(length);
        return true;
    }

    bool readBlob(Value& target, unsigned widthCode) {
        std::uint64_t length = 0;
        if (!readLength(widthCode, length) || !haveContent(length, kRawTruncated)) {
            return false;
        }
        target.setBlob(data_ + pos_, static_cast<std::size_t>(length));
        pos_ += static_cast<std::size_t>(length);
        return true;
    }

    bool readLength(unsigned widthCode, std::uint64_t& length) {
        return readNumber(widthCode, length);
    }

    // Reads a big-endian number of 1, 2, 4 or 8 bytes (width codes 0 to 3).
    bool readNumber(unsigned widthCode, std::uint64_t& out) {
        static constexpr const char* kMessages[] = {kTruncated8, kTruncated16, kTruncated32,
                                                    kTruncated64};
        const std::size_t width = std::size_t{1} << widthCode;
        if (size_ - pos_ < width) {
            result_.fail(formatMessage(kMessages[widthCode], pos_));
            return false;
        }
        const std::uint8_t* bytes = data_ + pos_;
        pos_ += width;
        switch (widthCode) {
            case 0:
                out = bytes[0];
                break;
            case 1:
                out = loadBigEndian<2>(bytes);
                break;
            case 2:
                out = loadBigEndian<4>(bytes);
                break;
            default:
                out = loadBigEndian<8>(bytes);
                break;
        }
        return true;
    }

    // A fixed width, so that the compiler turns the bytes into one load and a byte swap.
    template <std::size_t kWidth>
    static std::uint64_t loadBigEndian(const std::uint8_t* bytes) noexcept {
        std::uint64_t number = 0;
        for (std::size_t i = 0; i < kWidth; ++i) {
            number = (number << 8) | bytes[i];
        }
        return number;
    }

    static std::int64_t signExtend(std::uint64_t bits, unsigned widthCode) {
        switch (widthCode) {
            case 0:
                return static_cast<std::int8_t>(bits);
            case 1:
                return static_cast<std::int16_t>(bits);
            case 2:
                return static_cast<std::int32_t>(bits);
            default:
                return static_cast<std::int64_t>(bits);
        }
    }

    // Whether `length` content bytes remain. Written as a subtraction: `pos_ + length` wraps
    // on 32-bit targets for lengths near 0xFFFFFFFF.
    bool haveContent(std::uint64_t length, const char* message) {
        if (length > size_ - pos_) {
            result_.fail(formatMessage(message, length, pos_));
            return false;
        }
        return true;
    }

    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
    // The position just after the format byte of the item being read.
    std::size_t itemEnd_ = 0;
    bool rootStarted_ = false;
    // Elements that arrays may still reserve ahead of their content (see reserveElements).
    std::uint64_t reserveBudget_;
    ValueResult result_;
    std::vector<OpenContainer> stack_;
};

}  // namespace

ValueResult decodeMessagePack(const std::uint8_t* data, std::size_t size, std::size_t& consumed) {
    if (data == nullptr) {
        size = 0;
    }
    MessagePackDecoder decoder(data, size);
    return decoder.run(consumed);
}

bool looksLikeMessagePack(const std::uint8_t* data, std::size_t size) noexcept {
    if (size == 0 || data == nullptr) {
        return false;
    }
    return (data[0] >= 0x80 && data[0] <= 0x9f) || (data[0] >= 0xdc && data[0] <= 0xdf);
}

}  // namespace mox
