#include "text/format_message.h"

#include <climits>
#include <cstdio>
#include <cstring>

namespace mox {
namespace {

// A conversion's text (from "%" to its letter) must stay below this many characters.
constexpr std::size_t kConversionLimit = 60;

// Numbers in a format saturate here: far above any argument count, far below overflow.
constexpr std::size_t kNumberCap = 1000000000;

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

bool isFlag(char c) {
    return c == '-' || c == '+' || c == ' ' || c == '#' || c == '0';
}

// Reads decimal digits at `p`, saturating at kNumberCap.
std::size_t readNumber(const char*& p) {
    std::size_t value = 0;
    for (; isDigit(*p); ++p) {
        value =
            value < kNumberCap / 10 ? value * 10 + static_cast<std::size_t>(*p - '0') : kNumberCap;
    }
    return value;
}

// The conversion text under construction, on the stack.
class ConversionText {
  public:
    ConversionText() { text_[0] = '\0'; }

    [[nodiscard]] bool append(char c) {
        if (length_ + 1 >= kConversionLimit) {
            return false;
        }
        text_[length_++] = c;
        text_[length_] = '\0';
        return true;
    }

    [[nodiscard]] bool append(const char* text) {
        for (; *text != '\0'; ++text) {
            if (!append(*text)) {
                return false;
            }
        }
        return true;
    }

    const char* c_str() const { return text_; }
    std::size_t size() const { return length_; }

  private:
    char text_[kConversionLimit];
    std::size_t length_ = 0;
};

// One conversion as written in the format.
struct WrittenConversion {
    ConversionText text;                // "%", flags, width and precision as written
    std::size_t argument = 0;           // the value's argument number, from 1
    bool numbered = false;              // the "%N" form
    std::size_t widthArgument = 0;      // argument number of a "*" width, 0 if none
    std::size_t precisionArgument = 0;  // argument number of a "*" precision, 0 if none
    bool hasPrecision = false;
    int literalPrecision = 0;
    std::size_t precisionOffset = 0;
    char length[3] = {'\0', '\0', '\0'};
    char conversion = '\0';
};

// Parses a width or a precision: digits, "*" or "*M$". Returns false when malformed.
bool parseField(const char*& p, std::size_t count, std::size_t& next, ConversionText& text,
                std::size_t& starArgument, int& literal) {
    if (isDigit(*p)) {
        long long value = 0;
        for (; isDigit(*p); ++p) {
            value = value < INT_MAX / 10 ? value * 10 + (*p - '0') : INT_MAX;
            if (!text.append(*p)) {
                return false;
            }
        }
        literal = static_cast<int>(value);
        return true;
    }
    if (*p != '*') {
        return true;
    }
    ++p;
    if (!text.append('*')) {
        return false;
    }
    if (isDigit(*p)) {
        starArgument = readNumber(p);
        if (*p != '$' || starArgument == 0) {
            return false;
        }
        ++p;
    } else {
        starArgument = next++;
    }
    return starArgument <= count;
}

// Parses the conversion starting just after its "%". Returns the position after it, or
// null when the conversion is malformed or names a missing argument.
const char* parseConversion(const char* p, std::size_t count, std::size_t& next,
                            WrittenConversion& piece) {
    if (!piece.text.append('%')) {
        return nullptr;
    }
    std::size_t explicitArgument = 0;
    if (*p >= '1' && *p <= '9') {
        const char* after = p;
        const std::size_t number = readNumber(after);
        // A number beyond the argument count is not a reference: re-read it as a width.
        if (number <= count) {
            if (*after != '$') {
                piece.numbered = true;
                piece.argument = number;
                piece.precisionOffset = piece.text.size();
                return after;
            }
            explicitArgument = number;
            p = after + 1;
        }
    }
    for (; isFlag(*p); ++p) {
        if (!piece.text.append(*p)) {
            return nullptr;
        }
    }
    int unusedWidth = 0;
    if (!parseField(p, count, next, piece.text, piece.widthArgument, unusedWidth)) {
        return nullptr;
    }
    piece.precisionOffset = piece.text.size();
    if (*p == '.') {
        ++p;
        piece.hasPrecision = true;
        if (!piece.text.append('.') ||
            !parseField(p, count, next, piece.text, piece.precisionArgument,
                        piece.literalPrecision)) {
            return nullptr;
        }
    }
    if (*p == 'L' || *p == 'j' || *p == 't' || *p == 'z') {
        piece.length[0] = *p++;
    } else if (*p == 'h' || *p == 'l') {
        piece.length[0] = *p++;
        if (*p == piece.length[0]) {
            piece.length[1] = *p++;
        }
    }
    if (*p == '\0') {
        return nullptr;
    }
    piece.conversion = *p++;
    piece.argument = explicitArgument != 0 ? explicitArgument : next++;
    return piece.argument <= count ? p : nullptr;
}

// Whether `modifier` is one of the space-separated words of `list`.
bool listContains(const char* list, const char* modifier) {
    const std::size_t length = std::strlen(modifier);
    while (*list != '\0') {
        const std::size_t word = std::strcspn(list, " ");
        if (word == length && std::strncmp(list, modifier, length) == 0) {
            return true;
        }
        list += word;
        while (*list == ' ') {
            ++list;
        }
    }
    return false;
}

bool starValue(const ArgumentFormatter* const* formatters, const void* const* arguments,
               std::size_t argument, int& value) {
    const ArgumentFormatter& formatter = *formatters[argument - 1];
    if (formatter.asInteger == nullptr || !formatter.asInteger(arguments[argument - 1], value)) {
        return false;
    }
    // A negative width means left alignment; keep its magnitude representable.
    if (value < -INT_MAX) {
        value = -INT_MAX;
    }
    return true;
}

constexpr int kStop = -1;

// Completes `parsed` for its argument's type and prints the argument into `out`. Returns the
// length the piece needed (possibly more than `room`), or kStop.
int formatPiece(char* out, std::size_t room, WrittenConversion& parsed,
                const ArgumentFormatter* const* formatters, const void* const* arguments) {
    CompletedConversion piece;
    if (parsed.widthArgument != 0) {
        if (!starValue(formatters, arguments, parsed.widthArgument, piece.stars[piece.starCount])) {
            return kStop;
        }
        ++piece.starCount;
        piece.widthIsStar = true;
    }
    if (parsed.precisionArgument != 0) {
        if (!starValue(formatters, arguments, parsed.precisionArgument,
                       piece.stars[piece.starCount])) {
            return kStop;
        }
        // A negative "*" precision counts as none, as in printf.
        piece.precision = piece.stars[piece.starCount] < 0 ? -1 : piece.stars[piece.starCount];
        ++piece.starCount;
    } else if (parsed.hasPrecision) {
        piece.precision = parsed.literalPrecision;
    }

    const ArgumentFormatter& formatter = *formatters[parsed.argument - 1];
    char letter = formatter.conversions[0];
    const char* modifier = formatter.lengthModifier;
    if (!parsed.numbered) {
        if (parsed.conversion == 'n') {
            return 0;  // "n" would store through the argument: write nothing instead
        }
        if (std::strchr(formatter.conversions, parsed.conversion) != nullptr) {
            letter = parsed.conversion;
        }
        if (parsed.length[0] != '\0' &&
            listContains(formatter.keptLengthModifiers, parsed.length)) {
            modifier = parsed.length;
        }
    }
    if (letter == 'c') {
        modifier = "";  // "%lc" and "%llc" do not print a narrow character
    }
    if (!parsed.text.append(modifier) || !parsed.text.append(letter)) {
        return kStop;
    }
    piece.text = parsed.text.c_str();
    piece.conversion = letter;
    piece.precisionOffset = parsed.precisionOffset;
    return formatter.format(out, room, piece, arguments[parsed.argument - 1]);
}

template <class Value>
int printWithStars(char* out, std::size_t size, const CompletedConversion& piece, const char* text,
                   Value value) {
    switch (piece.starCount) {
        case 0:
            return std::snprintf(out, size, text, value);
        case 1:
            return std::snprintf(out, size, text, piece.stars[0], value);
        default:
            return std::snprintf(out, size, text, piece.stars[0], piece.stars[1], value);
    }
}

bool isSignedConversion(char c) {
    return c == 'd' || c == 'i' || c == 'c';
}

}  // namespace

namespace detail {

// Each integer printer passes the value as exactly the type its letter and modifier read:
// int for "c", "d", "i" and unsigned for "o", "u", "x", "X" (at the value's width).

int printInt(char* out, std::size_t size, const CompletedConversion& piece, int value) {
    if (isSignedConversion(piece.conversion)) {
        return printWithStars(out, size, piece, piece.text, value);
    }
    return printWithStars(out, size, piece, piece.text, static_cast<unsigned>(value));
}

int printUnsigned(char* out, std::size_t size, const CompletedConversion& piece, unsigned value) {
    if (isSignedConversion(piece.conversion)) {
        return printWithStars(out, size, piece, piece.text, static_cast<int>(value));
    }
    return printWithStars(out, size, piece, piece.text, value);
}

int printLongLong(char* out, std::size_t size, const CompletedConversion& piece, long long value) {
    if (piece.conversion == 'c') {
        return printWithStars(out, size, piece, piece.text, static_cast<int>(value));
    }
    if (isSignedConversion(piece.conversion)) {
        return printWithStars(out, size, piece, piece.text, value);
    }
    return printWithStars(out, size, piece, piece.text, static_cast<unsigned long long>(value));
}

int printUnsignedLongLong(char* out, std::size_t size, const CompletedConversion& piece,
                          unsigned long long value) {
    if (piece.conversion == 'c') {
        return printWithStars(out, size, piece, piece.text, static_cast<int>(value));
    }
    if (isSignedConversion(piece.conversion)) {
        return printWithStars(out, size, piece, piece.text, static_cast<long long>(value));
    }
    return printWithStars(out, size, piece, piece.text, value);
}

int printDouble(char* out, std::size_t size, const CompletedConversion& piece, double value) {
    return printWithStars(out, size, piece, piece.text, value);
}

int printPointer(char* out, std::size_t size, const CompletedConversion& piece, const void* value) {
    return printWithStars(out, size, piece, piece.text, const_cast<void*>(value));
}

int printText(char* out, std::size_t size, const CompletedConversion& piece, const char* value) {
    // Passing null to "%s" is undefined; print the conventional marker instead.
    return printWithStars(out, size, piece, piece.text, value != nullptr ? value : "(null)");
}

int printCountedText(char* out, std::size_t size, const CompletedConversion& piece,
                     const char* data, std::size_t length) {
    // The text may lack a NUL: bound the read with a "*" precision of at most `length`,
    // keeping a smaller precision from the format.
    char text[kConversionLimit + 4];
    std::memcpy(text, piece.text, piece.precisionOffset);
    std::memcpy(text + piece.precisionOffset, ".*s", 4);
    int limit = length > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(length);
    if (piece.precision >= 0 && piece.precision < limit) {
        limit = piece.precision;
    }
    const char* chars = data != nullptr ? data : "";
    if (piece.widthIsStar) {
        return std::snprintf(out, size, text, piece.stars[0], limit, chars);
    }
    return std::snprintf(out, size, text, limit, chars);
}

}  // namespace detail

std::size_t formatMessageTo(char* buffer, std::size_t size, const char* format,
                            const ArgumentFormatter* const* formatters,
                            const void* const* arguments, std::size_t count) {
    if (buffer == nullptr || size == 0) {
        return 0;
    }
    const std::size_t end = size - 1;  // the last byte is kept for the NUL
    std::size_t position = 0;
    std::size_t next = 1;
    const char* p = format != nullptr ? format : "";
    while (*p != '\0' && position < end) {
        if (*p != '%') {
            const std::size_t run = std::strcspn(p, "%");
            const std::size_t copied = run < end - position ? run : end - position;
            std::memcpy(buffer + position, p, copied);
            position += copied;
            p += run;
            continue;
        }
        if (p[1] == '%') {
            buffer[position++] = '%';
            p += 2;
            continue;
        }
        WrittenConversion parsed;
        const char* after = parseConversion(p + 1, count, next, parsed);
        if (after == nullptr) {
            break;
        }
        p = after;
        const int written =
            formatPiece(buffer + position, size - position, parsed, formatters, arguments);
        if (written < 0) {
            break;  // the runtime rejected the piece; whatever it left is not kept
        }
        if (static_cast<std::size_t>(written) >= size - position) {
            position = end;  // cut: the rest of the buffer counts as written
            break;
        }
        position += static_cast<std::size_t>(written);
    }
    buffer[position] = '\0';
    return position;
}

std::string joinQuoted(const std::vector<std::string>& items, std::string_view separator,
                       std::string_view quote) {
    std::string result;
    if (items.empty()) {
        return result;
    }
    std::size_t total = separator.size() * (items.size() - 1);
    for (const std::string& item : items) {
        total += item.size() + 2 * quote.size();
    }
    result.reserve(total);
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i != 0) {
            result.append(separator);
        }
        result.append(quote);
        result.append(items[i]);
        result.append(quote);
    }
    return result;
}

}  // namespace mox
