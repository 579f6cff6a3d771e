// File: text/format_message.h
//
// The message formatter: every message text of the library (argument errors, parse errors,
// log lines) is produced here. One format string may mix printf-style conversions and a
// shorter numbered form, and the call is type-safe: each argument brings an
// `ArgumentFormatter` chosen from its static type, so a conversion letter that does not suit
// the argument is replaced by one that does, and the value is always printed as the type
// that the completed conversion reads. Integers and texts are written here directly; doubles
// and pointers go through the runtime's bounded printf. Either way the output is what the
// runtime printf would print.
//
// Example:
//   std::string a = mox::formatMessage("Index %1 is out of range", 12);
//   //  -> "Index 12 is out of range"
//   std::string b = mox::formatMessage("Error: %s at offset %u.", "Invalid value.", 7u);
//   std::string c = mox::formatMessage("%2 before %1", "one", std::string("two"));
//   //  -> "two before one"
//
// Placeholder grammar (arguments are numbered from 1):
//
//   "%%"                 writes one "%".
//   "%N"                 numbered form: N is a decimal number from 1 to the argument count.
//                        The placeholder ends right after the digits, so "%1d" is argument 1
//                        followed by a literal "d". The argument is printed with its type's
//                        default conversion (64-bit integers get "ll" inserted).
//   "%N$conv"            printf conversion of argument N (N from 1 to the argument count).
//   "%conv"              printf conversion of the next sequential argument. The sequential
//                        counter starts at 1 and moves only for conversions without "N$"
//                        and for bare "*"; the numbered form does not move it.
//
//   conv   := flags* width? ("." precision)? length? letter
//   flags  := "-" | "+" | " " | "#" | "0"
//   width  := digits | "*" | "*" M "$"       ("*" takes the next sequential argument,
//   precision := same as width                "*M$" argument M; either must be an 8-bit
//                                             character or a 32-bit-or-narrower integer)
//   length := "hh" | "h" | "ll" | "l" | "L" | "j" | "t" | "z"
//   letter := any byte
//
//   If the digits after "%" name a number larger than the argument count, they are read as a
//   width instead: with one argument, "%5d" is argument 1 in a field of 5.
//
// Completing a conversion for the argument's type:
//   - a letter the type allows is used; any other letter is replaced by the type's default
//     ("%x" with a double prints with "g", "%s" with an int prints with "d");
//   - "n" writes nothing (the argument is still consumed); nothing is ever stored through it;
//   - a length modifier written in the format is kept when it is well-defined for the
//     type ("h"/"hh" for 8- and 32-bit integers, "ll" for 64-bit ones); any other is replaced
//     by the type's own, so "%d" with a 64-bit value prints the full value and "%ls" with a
//     narrow text still prints the narrow text;
//   - "c" never carries a length modifier (a 64-bit value printed with "c" is passed as int).
//
// Default conversions by type: texts, character arrays, std::string and std::string_view "s"
// (counted texts are never read past their length); char, signed char, unsigned char "c";
// bool and integers up to 32 bits "d", except 32-bit unsigned "u"; 64-bit integers "d" or "u"
// with "ll"; float and double "g"; void* and const void* "p". long and size_t follow their
// width on the target. Other argument types do not compile.
//
// Malformed input: the formatter never fails and never throws (only the allocation of
// `formatMessage`'s result can throw std::bad_alloc). A conversion that is cut
// off by the end of the format, that names an argument beyond the count (or "*" naming an
// argument that is not an integer), whose text would reach 60 characters, or that the runtime
// printf rejects ends the output at that point: the text produced so far is the result. A
// null format gives an empty result; a null text argument prints "(null)".
//
// Length: `formatMessage` formats into 4096 bytes on its own stack; its output is cut at 4095
// bytes. Formatting itself never allocates: only the returned `std::string` does. A call costs
// time in proportion to its format and its output, never to a width or precision: a field of
// any width (up to INT_MAX, written or given by "*") gives exactly the bytes an unbounded print
// would start with, and nothing beyond the buffer is ever printed.
//
// Thread safety: every function here is reentrant; nothing is shared between calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace mox {

// Capacity of `formatMessage`'s own buffer, including the terminating NUL.
inline constexpr std::size_t kFormatBufferSize = 4096;

// The output of one formatting call: a caller buffer filled from the front. Every write is
// bounded by the buffer: a write that does not fit keeps what fits, and once the output is
// full formatting ends. Writing costs at most the room that is left, however long the piece
// would have been (a width of 2147483647 writes only what can still be seen). Allocates nothing.
class MessageOutput {
  public:
    // REQUIRES: size >= 1; the last byte is kept for the NUL that finish() writes.
    MessageOutput(char* buffer, std::size_t size) : buffer_(buffer), end_(size - 1) {}

    void append(const char* data, std::size_t length);
    void append(char c) { append(&c, 1); }
    // Writes `count` copies of `c`.
    void fill(char c, std::uint64_t count);
    // For the runtime printf: where a piece is printed, and how many bytes it may use including
    // its NUL.
    char* cursor() { return buffer_ + position_; }
    std::size_t room() const { return end_ - position_ + 1; }
    // Accounts for a piece the runtime printf printed at cursor(): `needed` is what it returned.
    // A negative value (a rejected piece) keeps nothing and returns false.
    [[nodiscard]] bool commitPrinted(int needed);

    // No room is left: every further write is cut away.
    bool full() const { return position_ == end_; }
    std::size_t size() const { return position_; }
    // NUL-terminates the output and returns its length.
    std::size_t finish();

  private:
    char* buffer_;
    std::size_t end_;
    std::size_t position_ = 0;
};

// A printf conversion completed for one argument, as handed to `ArgumentFormatter::format`:
// the letter and length modifier chosen for the type, the flags, and the width and precision
// with any "*" values already taken (a negative "*" width has become `leftAlign`).
struct CompletedConversion {
    char conversion = 0;
    // "", "h", "hh" or "ll", NUL-terminated.
    char length[3] = {'\0', '\0', '\0'};
    bool leftAlign = false;  // "-"
    bool plusSign = false;   // "+"
    bool spaceSign = false;  // " "
    bool alternate = false;  // "#"
    bool zeroPad = false;    // "0"
    // The field width, 0 when none; at most INT_MAX.
    int width = 0;
    // The precision, -1 when none; at most INT_MAX.
    int precision = -1;
    // Whether they came from "*" arguments rather than digits in the format.
    bool widthIsStar = false;
    bool precisionIsStar = false;
};

// What the formatter knows about one argument type. Instances are constants with static
// storage duration; formatters are chosen at compile time by `argumentFormatterFor<T>()`.
struct ArgumentFormatter {
    // The conversion letters the type allows, its default first.
    const char* conversions;
    // The length modifier inserted in the numbered form ("ll" for 64-bit integers, else "").
    const char* lengthModifier;
    // Length modifiers written in a format that are kept for this type, space-separated.
    const char* keptLengthModifiers;
    // Writes the argument (pointing at a value of the type) with the completed conversion, as
    // the runtime printf would print it, into `out`. Returns false when the runtime rejected
    // the piece; nothing of it is kept then.
    bool (*format)(MessageOutput& out, const CompletedConversion& piece, const void* argument);
    // For types usable as a "*" width or precision: stores the argument as an int and returns
    // true. Null for the other types.
    bool (*asInteger)(const void* argument, int& value);
};

// Formats `format` with `count` arguments into `buffer`. `formatters[i]` describes the value
// at `arguments[i]`. Returns the number of bytes written, at most size - 1, not counting the
// NUL that always follows them.
// REQUIRES: size >= 1 (with size 0 nothing is written and 0 is returned); `formatters` and
// `arguments` hold `count` valid entries each (they may be null when count is 0).
std::size_t formatMessageTo(char* buffer, std::size_t size, const char* format,
                            const ArgumentFormatter* const* formatters,
                            const void* const* arguments, std::size_t count);

// Returns the items, each between two copies of `quote`, separated by `separator`:
// joinQuoted({"a", "b"}, ",", "'") is "'a','b'". An empty list gives an empty string.
std::string joinQuoted(const std::vector<std::string>& items, std::string_view separator,
                       std::string_view quote);

namespace detail {

// Printers shared by the per-type formatters. Each prints exactly what the runtime printf
// prints for the completed conversion given a value of the type that conversion reads.
// Integers and texts are written directly; doubles and pointers go through the runtime's
// bounded printf, with a bounded precision.
bool printInt(MessageOutput& out, const CompletedConversion& piece, int value);
bool printUnsigned(MessageOutput& out, const CompletedConversion& piece, unsigned value);
bool printLongLong(MessageOutput& out, const CompletedConversion& piece, long long value);
bool printUnsignedLongLong(MessageOutput& out, const CompletedConversion& piece,
                           unsigned long long value);
bool printDouble(MessageOutput& out, const CompletedConversion& piece, double value);
bool printPointer(MessageOutput& out, const CompletedConversion& piece, const void* value);
// A NUL-terminated text; null prints "(null)". Reads no further than the output can show.
bool printText(MessageOutput& out, const CompletedConversion& piece, const char* value);
// A counted text, not necessarily NUL-terminated: at most `length` bytes are read.
bool printCountedText(MessageOutput& out, const CompletedConversion& piece, const char* data,
                      std::size_t length);

enum class ArgumentKind {
    Text,          // const char*, char*
    CharArray,     // char[N]: at most N bytes are read
    StringObject,  // std::string, std::string_view
    Character,     // char, signed char, unsigned char
    Int32,         // bool and signed integers up to 32 bits, unsigned ones up to 16 bits
    UInt32,        // 32-bit unsigned integers
    Int64,         // 64-bit signed integers (long where it is 64-bit, long long)
    UInt64,        // 64-bit unsigned integers (size_t where it is 64-bit)
    Double,        // float, double
    Pointer,       // void*, const void*
    Unsupported,
};

template <class T>
constexpr ArgumentKind argumentKind() {
    using U = std::remove_cv_t<T>;
    if constexpr (std::is_array_v<U>) {
        return std::is_same_v<std::remove_cv_t<std::remove_extent_t<U>>, char> &&
                       std::rank_v<U> == 1
                   ? ArgumentKind::CharArray
                   : ArgumentKind::Unsupported;
    } else if constexpr (std::is_same_v<U, const char*> || std::is_same_v<U, char*>) {
        return ArgumentKind::Text;
    } else if constexpr (std::is_same_v<U, std::string> || std::is_same_v<U, std::string_view>) {
        return ArgumentKind::StringObject;
    } else if constexpr (std::is_same_v<U, char> || std::is_same_v<U, signed char> ||
                         std::is_same_v<U, unsigned char>) {
        return ArgumentKind::Character;
    } else if constexpr (std::is_same_v<U, bool>) {
        return ArgumentKind::Int32;
    } else if constexpr (std::is_same_v<U, wchar_t> || std::is_same_v<U, char8_t> ||
                         std::is_same_v<U, char16_t> || std::is_same_v<U, char32_t>) {
        return ArgumentKind::Unsupported;
    } else if constexpr (std::is_integral_v<U>) {
        if constexpr (sizeof(U) > 8) {
            return ArgumentKind::Unsupported;
        } else if constexpr (std::is_signed_v<U>) {
            return sizeof(U) <= 4 ? ArgumentKind::Int32 : ArgumentKind::Int64;
        } else {
            return sizeof(U) <= 2   ? ArgumentKind::Int32
                   : sizeof(U) == 4 ? ArgumentKind::UInt32
                                    : ArgumentKind::UInt64;
        }
    } else if constexpr (std::is_same_v<U, float> || std::is_same_v<U, double>) {
        return ArgumentKind::Double;
    } else if constexpr (std::is_same_v<U, void*> || std::is_same_v<U, const void*>) {
        return ArgumentKind::Pointer;
    } else {
        return ArgumentKind::Unsupported;
    }
}

template <class T>
bool formatArgument(MessageOutput& out, const CompletedConversion& piece, const void* argument) {
    const T& value = *static_cast<const T*>(argument);
    constexpr ArgumentKind kind = argumentKind<T>();
    if constexpr (kind == ArgumentKind::Text) {
        return printText(out, piece, value);
    } else if constexpr (kind == ArgumentKind::CharArray) {
        std::size_t length = 0;
        while (length < std::extent_v<T> && value[length] != '\0') {
            ++length;
        }
        return printCountedText(out, piece, value, length);
    } else if constexpr (kind == ArgumentKind::StringObject) {
        return printCountedText(out, piece, value.data(), value.size());
    } else if constexpr (kind == ArgumentKind::Character || kind == ArgumentKind::Int32) {
        return printInt(out, piece, static_cast<int>(value));
    } else if constexpr (kind == ArgumentKind::UInt32) {
        return printUnsigned(out, piece, static_cast<unsigned>(value));
    } else if constexpr (kind == ArgumentKind::Int64) {
        return printLongLong(out, piece, static_cast<long long>(value));
    } else if constexpr (kind == ArgumentKind::UInt64) {
        return printUnsignedLongLong(out, piece, static_cast<unsigned long long>(value));
    } else if constexpr (kind == ArgumentKind::Double) {
        return printDouble(out, piece, static_cast<double>(value));
    } else if constexpr (kind == ArgumentKind::Pointer) {
        return printPointer(out, piece, value);
    } else {
        return false;  // unreachable: rejected by makeArgumentFormatter
    }
}

template <class T>
bool argumentAsInteger(const void* argument, int& value) {
    value = static_cast<int>(*static_cast<const T*>(argument));
    return true;
}

template <class T>
constexpr ArgumentFormatter makeArgumentFormatter() {
    constexpr ArgumentKind kind = argumentKind<T>();
    static_assert(kind != ArgumentKind::Unsupported,
                  "formatMessage: unsupported argument type (use texts, std::string, "
                  "std::string_view, char, integers up to 64 bits, float, double or void*)");
    if constexpr (kind == ArgumentKind::Text || kind == ArgumentKind::CharArray ||
                  kind == ArgumentKind::StringObject) {
        return {"s", "", "", &formatArgument<T>, nullptr};
    } else if constexpr (kind == ArgumentKind::Character) {
        return {"cdiouxX", "", "h hh", &formatArgument<T>, &argumentAsInteger<T>};
    } else if constexpr (kind == ArgumentKind::Int32) {
        return {"dciouxX", "", "h hh", &formatArgument<T>, &argumentAsInteger<T>};
    } else if constexpr (kind == ArgumentKind::UInt32) {
        // Unsigned values default to "u" so that the numbered form never shows them negative.
        return {"ucdioxX", "", "h hh", &formatArgument<T>, &argumentAsInteger<T>};
    } else if constexpr (kind == ArgumentKind::Int64) {
        return {"dciouxX", "ll", "ll", &formatArgument<T>, nullptr};
    } else if constexpr (kind == ArgumentKind::UInt64) {
        return {"ucdioxX", "ll", "ll", &formatArgument<T>, nullptr};
    } else if constexpr (kind == ArgumentKind::Double) {
        return {"gaefGAEF", "", "", &formatArgument<T>, nullptr};
    } else {
        return {"p", "", "", &formatArgument<T>, nullptr};
    }
}

template <class T>
inline constexpr ArgumentFormatter kArgumentFormatter = makeArgumentFormatter<T>();

}  // namespace detail

// The formatter `formatMessage` uses for an argument of type T (arrays are char arrays).
template <class T>
constexpr const ArgumentFormatter* argumentFormatterFor() {
    return &detail::kArgumentFormatter<std::remove_cv_t<T>>;
}

// Formats into a caller buffer (size >= 1); returns bytes written without the NUL; always
// NUL-terminates. Allocates nothing.
template <class... Args>
std::size_t formatMessageInto(char* buffer, std::size_t size, const char* format,
                              const Args&... args) {
    if constexpr (sizeof...(Args) == 0) {
        return formatMessageTo(buffer, size, format, nullptr, nullptr, 0);
    } else {
        const ArgumentFormatter* const formatters[] = {argumentFormatterFor<Args>()...};
        const void* const arguments[] = {static_cast<const void*>(&args)...};
        return formatMessageTo(buffer, size, format, formatters, arguments, sizeof...(Args));
    }
}

// Formats into a 4096-byte stack buffer and returns the result, cut at 4095 bytes.
template <class... Args>
std::string formatMessage(const char* format, const Args&... args) {
    char buffer[kFormatBufferSize];
    const std::size_t length = formatMessageInto(buffer, sizeof buffer, format, args...);
    return std::string(buffer, length);
}

}  // namespace mox
