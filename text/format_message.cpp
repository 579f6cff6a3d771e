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

// The length of a conversion's text as it is read, from its "%": only the limit on it matters,
// so the characters themselves are not kept.
class ConversionText {
  public:
    [[nodiscard]] bool append(char) {
        if (length_ + 1 >= kConversionLimit) {
            return false;
        }
        ++length_;
        return true;
    }

    std::size_t size() const { return length_; }

  private:
    std::size_t length_ = 0;
};

// One conversion as written in the format.
struct WrittenConversion {
    ConversionText text;                // counts "%", flags, width and precision
    std::size_t argument = 0;           // the value's argument number, from 1
    bool numbered = false;              // the "%N" form
    std::size_t widthArgument = 0;      // argument number of a "*" width, 0 if none
    std::size_t precisionArgument = 0;  // argument number of a "*" precision, 0 if none
    bool hasPrecision = false;
    int literalWidth = 0;
    int literalPrecision = 0;
    bool leftAlign = false;
    bool plusSign = false;
    bool spaceSign = false;
    bool alternate = false;
    bool zeroPad = false;
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
        switch (*p) {
            case '-':
                piece.leftAlign = true;
                break;
            case '+':
                piece.plusSign = true;
                break;
            case ' ':
                piece.spaceSign = true;
                break;
            case '#':
                piece.alternate = true;
                break;
            default:
                piece.zeroPad = true;
                break;
        }
    }
    if (!parseField(p, count, next, piece.text, piece.widthArgument, piece.literalWidth)) {
        return nullptr;
    }
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

// Completes `parsed` for its argument's type and writes the argument. Returns false when
// formatting must stop here.
bool formatPiece(MessageOutput& out, const WrittenConversion& parsed,
                 const ArgumentFormatter* const* formatters, const void* const* arguments) {
    CompletedConversion piece;
    piece.leftAlign = parsed.leftAlign;
    piece.plusSign = parsed.plusSign;
    piece.spaceSign = parsed.spaceSign;
    piece.alternate = parsed.alternate;
    piece.zeroPad = parsed.zeroPad;
    piece.width = parsed.literalWidth;
    if (parsed.widthArgument != 0) {
        int width = 0;
        if (!starValue(formatters, arguments, parsed.widthArgument, width)) {
            return false;
        }
        // A negative "*" width is a "-" flag and the magnitude, as in printf.
        if (width < 0) {
            piece.leftAlign = true;
            width = -width;
        }
        piece.width = width;
        piece.widthIsStar = true;
    }
    if (parsed.precisionArgument != 0) {
        int precision = 0;
        if (!starValue(formatters, arguments, parsed.precisionArgument, precision)) {
            return false;
        }
        // A negative "*" precision counts as none, as in printf.
        piece.precision = precision < 0 ? -1 : precision;
        piece.precisionIsStar = true;
    } else if (parsed.hasPrecision) {
        piece.precision = parsed.literalPrecision;
    }

    const ArgumentFormatter& formatter = *formatters[parsed.argument - 1];
    char letter = formatter.conversions[0];
    const char* modifier = formatter.lengthModifier;
    if (!parsed.numbered) {
        if (parsed.conversion == 'n') {
            return true;  // "n" would store through the argument: write nothing instead
        }
        for (const char* allowed = formatter.conversions; *allowed != '\0'; ++allowed) {
            if (*allowed == parsed.conversion) {
                letter = parsed.conversion;
                break;
            }
        }
        if (parsed.length[0] != '\0' &&
            listContains(formatter.keptLengthModifiers, parsed.length)) {
            modifier = parsed.length;
        }
    }
    if (letter == 'c') {
        modifier = "";  // "%lc" and "%llc" do not print a narrow character
    }
    // Modifiers have at most two letters.
    const std::size_t modifierLength = modifier[0] == '\0' ? 0 : modifier[1] == '\0' ? 1 : 2;
    // The completed conversion must still fit the conversion limit, as if it were written out.
    if (parsed.text.size() + modifierLength + 1 >= kConversionLimit) {
        return false;
    }
    piece.conversion = letter;
    for (std::size_t i = 0; i < modifierLength; ++i) {
        piece.length[i] = modifier[i];
    }
    return formatter.format(out, piece, arguments[parsed.argument - 1]);
}

// The numbered form "%N": the type's default letter and length modifier, nothing else.
bool formatNumbered(MessageOutput& out, const ArgumentFormatter& formatter, const void* argument) {
    CompletedConversion piece;
    piece.conversion = formatter.conversions[0];
    if (piece.conversion != 'c') {
        const char* modifier = formatter.lengthModifier;
        for (std::size_t i = 0; i < 2 && modifier[i] != '\0'; ++i) {
            piece.length[i] = modifier[i];
        }
    }
    return formatter.format(out, piece, argument);
}

bool isSignedConversion(char c) {
    return c == 'd' || c == 'i' || c == 'c';
}

// Writes `body` (`length` bytes) in a field of `piece.width`: padded with spaces on the left,
// or on the right for "-". Texts and characters are never padded with zeros.
void writePadded(MessageOutput& out, const CompletedConversion& piece, const char* body,
                 std::size_t length) {
    const std::uint64_t width = static_cast<std::uint64_t>(piece.width);
    const std::uint64_t pad = width > length ? width - length : 0;
    if (!piece.leftAlign) {
        out.fill(' ', pad);
    }
    out.append(body, length);
    if (piece.leftAlign) {
        out.fill(' ', pad);
    }
}

// An integer conversion (d, i, o, u, x, X) of a value already narrowed to what the length
// modifier reads, given as its magnitude and sign, written as printf writes it.
void writeInteger(MessageOutput& out, const CompletedConversion& piece,
                  unsigned long long magnitude, bool negative) {
    const char letter = piece.conversion;
    char digits[24];  // 64 bits in octal take 22 digits
    std::size_t count = 0;
    char* const digitsEnd = digits + sizeof digits;
    if (!(piece.precision == 0 && magnitude == 0)) {
        if (letter == 'o') {
            do {
                digits[sizeof digits - ++count] = static_cast<char>('0' + (magnitude & 7));
                magnitude >>= 3;
            } while (magnitude != 0);
        } else if (letter == 'x' || letter == 'X') {
            const char* const alphabet = letter == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";
            do {
                digits[sizeof digits - ++count] = alphabet[magnitude & 15];
                magnitude >>= 4;
            } while (magnitude != 0);
        } else if (magnitude <= UINT_MAX) {
            // Most values fit 32 bits, whose division is cheaper on 32-bit targets.
            unsigned narrow = static_cast<unsigned>(magnitude);
            do {
                digits[sizeof digits - ++count] = static_cast<char>('0' + narrow % 10);
                narrow /= 10;
            } while (narrow != 0);
        } else {
            do {
                digits[sizeof digits - ++count] = static_cast<char>('0' + magnitude % 10);
                magnitude /= 10;
            } while (magnitude != 0);
        }
    }
    const char* const first = digitsEnd - count;
    const bool isZero = count == 0 || (count == 1 && *first == '0');

    std::uint64_t zeros = 0;
    if (piece.precision > 0 && static_cast<std::uint64_t>(piece.precision) > count) {
        zeros = static_cast<std::uint64_t>(piece.precision) - count;
    }
    // "#o" makes the first digit a zero.
    if (letter == 'o' && piece.alternate && zeros == 0 && (count == 0 || *first != '0')) {
        zeros = 1;
    }
    char prefix[2];
    std::size_t prefixLength = 0;
    if (letter == 'd' || letter == 'i') {
        if (negative) {
            prefix[prefixLength++] = '-';
        } else if (piece.plusSign) {
            prefix[prefixLength++] = '+';
        } else if (piece.spaceSign) {
            prefix[prefixLength++] = ' ';
        }
    } else if ((letter == 'x' || letter == 'X') && piece.alternate && !isZero) {
        prefix[prefixLength++] = '0';
        prefix[prefixLength++] = letter;
    }

    const std::uint64_t length = prefixLength + zeros + count;
    const std::uint64_t width = static_cast<std::uint64_t>(piece.width);
    const std::uint64_t pad = width > length ? width - length : 0;
    if (piece.leftAlign) {
        out.append(prefix, prefixLength);
        out.fill('0', zeros);
        out.append(first, count);
        out.fill(' ', pad);
    } else if (piece.zeroPad && piece.precision < 0) {
        out.append(prefix, prefixLength);
        out.fill('0', pad + zeros);
        out.append(first, count);
    } else {
        out.fill(' ', pad);
        out.append(prefix, prefixLength);
        out.fill('0', zeros);
        out.append(first, count);
    }
}

bool lengthIs(const CompletedConversion& piece, const char* modifier) {
    return std::strcmp(piece.length, modifier) == 0;
}

// An int-sized value as printf reads it for the piece's letter and "h"/"hh" modifier.
void writeIntValue(MessageOutput& out, const CompletedConversion& piece, int value) {
    if (piece.conversion == 'c') {
        const char c = static_cast<char>(static_cast<unsigned char>(value));
        writePadded(out, piece, &c, 1);
        return;
    }
    if (isSignedConversion(piece.conversion)) {
        long long narrowed = value;
        if (lengthIs(piece, "hh")) {
            narrowed = static_cast<signed char>(value);
        } else if (lengthIs(piece, "h")) {
            narrowed = static_cast<short>(value);
        }
        const unsigned long long magnitude = narrowed < 0
                                                 ? 0ull - static_cast<unsigned long long>(narrowed)
                                                 : static_cast<unsigned long long>(narrowed);
        writeInteger(out, piece, magnitude, narrowed < 0);
        return;
    }
    unsigned narrowed = static_cast<unsigned>(value);
    if (lengthIs(piece, "hh")) {
        narrowed = static_cast<unsigned char>(narrowed);
    } else if (lengthIs(piece, "h")) {
        narrowed = static_cast<unsigned short>(narrowed);
    }
    writeInteger(out, piece, narrowed, false);
}

// Precisions above this are not handed to the runtime printf. Every double printed with it
// is exact (a double's decimal expansion ends within 1074 fractional digits and 767
// significant ones, its hexadecimal one within 13 digits), so any further precision adds
// only zeros; and the runtime prints it without allocating.
constexpr int kRuntimePrecisionLimit = 1100;
// Room for a piece printed with that precision: sign, 309 integer digits, point, digits,
// exponent.
constexpr std::size_t kRuntimePieceSize = kRuntimePrecisionLimit + 400;

// Appends the decimal digits of `value` (>= 0).
std::size_t appendDecimal(char* text, std::size_t n, int value) {
    char digits[12];
    std::size_t count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (count != 0) {
        text[n++] = digits[--count];
    }
    return n;
}

// Prints `value` with the runtime's bounded printf as `piece` would be printed, but with the
// given width (-1 for none) and precision (-1 for none). Both are written into the conversion
// as the format had them, digits or "*": some runtimes print a pointer differently for a
// "*" width.
template <class Value>
int runtimePrint(char* out, std::size_t size, const CompletedConversion& piece, int width,
                 int precision, Value value) {
    char conversion[32];
    std::size_t n = 0;
    conversion[n++] = '%';
    if (piece.leftAlign) {
        conversion[n++] = '-';
    }
    if (piece.plusSign) {
        conversion[n++] = '+';
    }
    if (piece.spaceSign) {
        conversion[n++] = ' ';
    }
    if (piece.alternate) {
        conversion[n++] = '#';
    }
    if (piece.zeroPad) {
        conversion[n++] = '0';
    }
    int stars[2];
    std::size_t starCount = 0;
    if (width >= 0) {
        if (piece.widthIsStar) {
            conversion[n++] = '*';
            stars[starCount++] = width;
        } else if (width > 0) {
            n = appendDecimal(conversion, n, width);
        }
    }
    if (precision >= 0) {
        conversion[n++] = '.';
        if (piece.precisionIsStar) {
            conversion[n++] = '*';
            stars[starCount++] = precision;
        } else {
            n = appendDecimal(conversion, n, precision);
        }
    }
    conversion[n++] = piece.conversion;
    conversion[n] = '\0';
    switch (starCount) {
        case 0:
            return std::snprintf(out, size, conversion, value);
        case 1:
            return std::snprintf(out, size, conversion, stars[0], value);
        default:
            return std::snprintf(out, size, conversion, stars[0], stars[1], value);
    }
}

// A double or a pointer through the runtime's bounded printf. Width and precision within
// kRuntimePrecisionLimit go to the runtime as they are. Larger ones would cost the runtime
// time and memory in proportion to them, so the piece is printed without its width and with
// at most kRuntimePrecisionLimit of its precision, and what the missing precision adds (zeros,
// found where the piece grows from one precision to the next) and the field's padding are
// written here, only as far as the output can show them.
template <class Value>
bool printThroughRuntime(MessageOutput& out, const CompletedConversion& piece, Value value) {
    if (piece.width <= kRuntimePrecisionLimit && piece.precision <= kRuntimePrecisionLimit) {
        return out.commitPrinted(
            runtimePrint(out.cursor(), out.room(), piece, piece.width, piece.precision, value));
    }
    // A width of 1 pads nothing but keeps the runtime printing as it does for a field: some
    // runtimes print a pointer's digits differently when a width is written.
    const int bareWidth = piece.width > 0 ? 1 : -1;
    const int precision =
        piece.precision > kRuntimePrecisionLimit ? kRuntimePrecisionLimit : piece.precision;
    char body[kRuntimePieceSize];
    const int printed = runtimePrint(body, sizeof body, piece, bareWidth, precision, value);
    if (printed < 0) {
        return false;
    }
    std::size_t length = static_cast<std::size_t>(printed);
    if (length >= sizeof body) {
        length = sizeof body - 1;  // not reached for doubles and pointers
    }
    // Zeros the precision beyond the limit adds, and where they go.
    std::uint64_t extra = 0;
    std::size_t insertAt = length;
    if (piece.precision > precision) {
        char shorter[kRuntimePieceSize];
        const int shorterLength =
            runtimePrint(shorter, sizeof shorter, piece, bareWidth, precision - 1, value);
        if (shorterLength >= 0 && static_cast<std::size_t>(shorterLength) + 1 == length) {
            extra = static_cast<std::uint64_t>(piece.precision) - precision;
            insertAt = 0;
            while (insertAt < static_cast<std::size_t>(shorterLength) &&
                   body[insertAt] == shorter[insertAt]) {
                ++insertAt;
            }
        }
    }
    const std::uint64_t total = length + extra;
    const std::uint64_t width = static_cast<std::uint64_t>(piece.width);
    const std::uint64_t pad = width > total ? width - total : 0;
    // Zero padding goes after the sign and a "0x"; values that print no digits there (inf,
    // nan, a null pointer's text) are padded with spaces.
    std::size_t signLength = 0;
    if (length > 0 && (body[0] == '-' || body[0] == '+' || body[0] == ' ')) {
        signLength = 1;
    }
    if (length >= signLength + 2 && body[signLength] == '0' &&
        (body[signLength + 1] == 'x' || body[signLength + 1] == 'X')) {
        signLength += 2;
    }
    const bool zeroPad = piece.zeroPad && !piece.leftAlign && signLength < length &&
                         isDigit(body[signLength]) && signLength <= insertAt;
    if (zeroPad) {
        out.append(body, signLength);
        out.fill('0', pad);
        out.append(body + signLength, insertAt - signLength);
    } else {
        if (!piece.leftAlign) {
            out.fill(' ', pad);
        }
        out.append(body, insertAt);
    }
    out.fill('0', extra);
    out.append(body + insertAt, length - insertAt);
    if (piece.leftAlign) {
        out.fill(' ', pad);
    }
    return true;
}

}  // namespace

void MessageOutput::append(const char* data, std::size_t length) {
    if (length == 0) {
        return;
    }
    const std::size_t left = end_ - position_;
    if (length > left) {
        length = left;
    }
    std::memcpy(buffer_ + position_, data, length);
    position_ += length;
}

void MessageOutput::fill(char c, std::uint64_t count) {
    if (count == 0) {
        return;
    }
    const std::size_t left = end_ - position_;
    const std::size_t n = count > left ? left : static_cast<std::size_t>(count);
    std::memset(buffer_ + position_, c, n);
    position_ += n;
}

bool MessageOutput::commitPrinted(int needed) {
    if (needed < 0) {
        buffer_[position_] = '\0';
        return false;
    }
    if (static_cast<std::size_t>(needed) >= room()) {
        position_ = end_;  // cut: the rest of the buffer counts as written
        return true;
    }
    position_ += static_cast<std::size_t>(needed);
    return true;
}

std::size_t MessageOutput::finish() {
    buffer_[position_] = '\0';
    return position_;
}

namespace detail {

// Each integer printer treats the value as exactly the type its letter and modifier read:
// int for "c", "d", "i" and unsigned for "o", "u", "x", "X" (at the value's width).

bool printInt(MessageOutput& out, const CompletedConversion& piece, int value) {
    writeIntValue(out, piece, value);
    return true;
}

bool printUnsigned(MessageOutput& out, const CompletedConversion& piece, unsigned value) {
    if (isSignedConversion(piece.conversion) || lengthIs(piece, "h") || lengthIs(piece, "hh")) {
        writeIntValue(out, piece, static_cast<int>(value));
    } else {
        writeInteger(out, piece, value, false);
    }
    return true;
}

bool printLongLong(MessageOutput& out, const CompletedConversion& piece, long long value) {
    if (piece.conversion == 'c') {
        writeIntValue(out, piece, static_cast<int>(value));
    } else if (isSignedConversion(piece.conversion)) {
        const unsigned long long magnitude = value < 0
                                                 ? 0ull - static_cast<unsigned long long>(value)
                                                 : static_cast<unsigned long long>(value);
        writeInteger(out, piece, magnitude, value < 0);
    } else {
        writeInteger(out, piece, static_cast<unsigned long long>(value), false);
    }
    return true;
}

bool printUnsignedLongLong(MessageOutput& out, const CompletedConversion& piece,
                           unsigned long long value) {
    if (piece.conversion == 'c' || isSignedConversion(piece.conversion)) {
        return printLongLong(out, piece, static_cast<long long>(value));
    }
    writeInteger(out, piece, value, false);
    return true;
}

bool printDouble(MessageOutput& out, const CompletedConversion& piece, double value) {
    return printThroughRuntime(out, piece, value);
}

bool printPointer(MessageOutput& out, const CompletedConversion& piece, const void* value) {
    return printThroughRuntime(out, piece, const_cast<void*>(value));
}

bool printText(MessageOutput& out, const CompletedConversion& piece, const char* value) {
    // Passing null to "%s" is undefined; print the conventional marker instead.
    const char* text = value != nullptr ? value : "(null)";
    // Only what the field and the output can show is read: beyond width + room bytes the
    // text's length changes nothing that is visible.
    std::size_t limit = static_cast<std::size_t>(piece.width) + out.room();
    if (piece.precision >= 0 && static_cast<std::size_t>(piece.precision) < limit) {
        limit = static_cast<std::size_t>(piece.precision);
    }
    // memchr reads no further than the first match.
    const void* nul = std::memchr(text, '\0', limit);
    const std::size_t length =
        nul != nullptr ? static_cast<std::size_t>(static_cast<const char*>(nul) - text) : limit;
    writePadded(out, piece, text, length);
    return true;
}

bool printCountedText(MessageOutput& out, const CompletedConversion& piece, const char* data,
                      std::size_t length) {
    if (piece.precision >= 0 && static_cast<std::size_t>(piece.precision) < length) {
        length = static_cast<std::size_t>(piece.precision);
    }
    writePadded(out, piece, data != nullptr ? data : "", data != nullptr ? length : 0);
    return true;
}

}  // namespace detail

std::size_t formatMessageTo(char* buffer, std::size_t size, const char* format,
                            const ArgumentFormatter* const* formatters,
                            const void* const* arguments, std::size_t count) {
    if (buffer == nullptr || size == 0) {
        return 0;
    }
    MessageOutput out(buffer, size);
    std::size_t next = 1;
    const char* p = format != nullptr ? format : "";
    while (*p != '\0' && !out.full()) {
        if (*p != '%') {
            const char* const run = p;
            while (*p != '\0' && *p != '%') {
                ++p;
            }
            out.append(run, static_cast<std::size_t>(p - run));
            continue;
        }
        if (p[1] == '%') {
            out.append('%');
            p += 2;
            continue;
        }
        if (p[1] >= '1' && p[1] <= '9') {
            // The numbered form, the most common conversion, taken without the general parse.
            const char* after = p + 1;
            const std::size_t number = readNumber(after);
            if (number <= count && *after != '$') {
                if (!formatNumbered(out, *formatters[number - 1], arguments[number - 1])) {
                    break;
                }
                p = after;
                continue;
            }
        }
        WrittenConversion parsed;
        const char* after = parseConversion(p + 1, count, next, parsed);
        if (after == nullptr) {
            break;
        }
        p = after;
        if (!formatPiece(out, parsed, formatters, arguments)) {
            break;  // whatever a rejected piece left is not kept
        }
    }
    return out.finish();
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
