// libFuzzer target: the message formatter (text/format_message.h). The first byte picks how
// the rest is read:
//   even  an arbitrary format and arguments: sections separated by the byte 0xFF, the first
//         the format (read up to its first NUL, as the formatter does), each further one an
//         argument (its first byte, modulo 9, the type: text, std::string, char, int,
//         unsigned, double, int64, uint64, pointer; the rest its payload). Checked: the result
//         fits the buffer and is NUL-terminated right after its length; formatting into every
//         smaller buffer gives a prefix of the full result (cut exactly at size - 1 bytes or
//         where the full result ends); buffers are allocated at their exact size, so a write
//         past one is caught by AddressSanitizer.
//   odd   one or two well-defined printf conversions built from the bytes (flags valid for
//         the letter, widths and precisions up to 6000 written or given by "*", length
//         modifiers, letters the type allows or one it does not), formatted by the library
//         and by the runtime's printf with the conversion the library is documented to
//         complete; the two texts must be equal up to the 4095-byte cut.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "text/format_message.h"

namespace {

using namespace mox;

void check(bool property) {
    if (!property) {
        __builtin_trap();
    }
}

class Reader {
  public:
    explicit Reader(std::string_view bytes) : bytes_(bytes) {}
    std::uint8_t byte() {
        return at_ < bytes_.size() ? static_cast<std::uint8_t>(bytes_[at_++]) : 0;
    }
    std::uint64_t word(int count) {
        std::uint64_t value = 0;
        for (int i = 0; i < count; ++i) {
            value |= static_cast<std::uint64_t>(byte()) << (8 * i);
        }
        return value;
    }
    bool done() const { return at_ >= bytes_.size(); }

  private:
    std::string_view bytes_;
    std::size_t at_ = 0;
};

// Argument storage that keeps every value at a fixed address for the formatter's pointers.
struct Arguments {
    std::deque<std::string> texts;
    std::deque<const char*> textPointers;
    std::deque<char> chars;
    std::deque<int> ints;
    std::deque<unsigned> unsigneds;
    std::deque<double> doubles;
    std::deque<std::int64_t> int64s;
    std::deque<std::uint64_t> uint64s;
    std::deque<const void*> pointers;
    std::vector<const ArgumentFormatter*> formatters;
    std::vector<const void*> values;

    template <class T>
    void add(std::deque<T>& store, T value) {
        store.push_back(value);
        formatters.push_back(argumentFormatterFor<T>());
        values.push_back(&store.back());
    }
    void addText(std::string text) {
        texts.push_back(std::move(text));
        textPointers.push_back(texts.back().c_str());
        formatters.push_back(argumentFormatterFor<const char*>());
        values.push_back(&textPointers.back());
    }
    void addString(std::string text) {
        texts.push_back(std::move(text));
        formatters.push_back(argumentFormatterFor<std::string>());
        values.push_back(&texts.back());
    }

    std::string format(const char* format, std::size_t size) const {
        std::unique_ptr<char[]> buffer(new char[size]);
        const std::size_t length = formatMessageTo(buffer.get(), size, format, formatters.data(),
                                                   values.data(), values.size());
        check(length < size && buffer[length] == '\0');
        return std::string(buffer.get(), length);
    }
};

void checkArbitrary(std::string_view input) {
    std::vector<std::string_view> sections;
    while (sections.size() < 8) {
        const std::size_t at = input.find('\xff');
        sections.push_back(input.substr(0, at));
        if (at == std::string_view::npos) {
            break;
        }
        input.remove_prefix(at + 1);
    }
    Arguments arguments;
    for (std::size_t s = 1; s < sections.size(); ++s) {
        const std::string_view section = sections[s];
        Reader payload(section.empty() ? section : section.substr(1));
        const std::string bytes(section.empty() ? section : section.substr(1));
        switch (section.empty() ? 0 : static_cast<std::uint8_t>(section[0]) % 9) {
            case 0:
                arguments.addText(bytes);
                break;
            case 1:
                arguments.addString(bytes);
                break;
            case 2:
                arguments.add(arguments.chars, static_cast<char>(payload.byte()));
                break;
            case 3:
                arguments.add(arguments.ints, static_cast<int>(payload.word(4)));
                break;
            case 4:
                arguments.add(arguments.unsigneds, static_cast<unsigned>(payload.word(4)));
                break;
            case 5: {
                const std::uint64_t bits = payload.word(8);
                double value;
                std::memcpy(&value, &bits, sizeof value);
                arguments.add(arguments.doubles, value);
                break;
            }
            case 6:
                arguments.add(arguments.int64s, static_cast<std::int64_t>(payload.word(8)));
                break;
            case 7:
                arguments.add(arguments.uint64s, payload.word(8));
                break;
            default:
                arguments.add(
                    arguments.pointers,
                    reinterpret_cast<const void*>(static_cast<std::uintptr_t>(payload.word(8))));
                break;
        }
    }
    const std::string format(sections[0]);
    const std::string full = arguments.format(format.c_str(), kFormatBufferSize);
    check(full.size() <= kFormatBufferSize - 1);
    // Every smaller buffer: a few fixed sizes and one from the format's length.
    const std::size_t sizes[] = {1, 2, 7, 64, format.size() % 4096 + 1};
    for (std::size_t size : sizes) {
        const std::string part = arguments.format(format.c_str(), size);
        check(part.size() == std::min(full.size(), size - 1));
        check(full.compare(0, part.size(), part) == 0);
    }
    check(formatMessageTo(nullptr, 0, format.c_str(), arguments.formatters.data(),
                          arguments.values.data(), arguments.values.size()) == 0);
}

// What the runtime prints for one conversion; `stars` go in front of the value.
template <class T>
std::string runtimePrinted(const std::string& conversion, const std::vector<int>& stars, T value) {
    char probe[1];
    int needed = 0;
    switch (stars.size()) {
        case 0:
            needed = std::snprintf(probe, sizeof probe, conversion.c_str(), value);
            break;
        case 1:
            needed = std::snprintf(probe, sizeof probe, conversion.c_str(), stars[0], value);
            break;
        default:
            needed =
                std::snprintf(probe, sizeof probe, conversion.c_str(), stars[0], stars[1], value);
            break;
    }
    check(needed >= 0);
    std::string out(static_cast<std::size_t>(needed) + 1, '\0');
    switch (stars.size()) {
        case 0:
            std::snprintf(out.data(), out.size(), conversion.c_str(), value);
            break;
        case 1:
            std::snprintf(out.data(), out.size(), conversion.c_str(), stars[0], value);
            break;
        default:
            std::snprintf(out.data(), out.size(), conversion.c_str(), stars[0], stars[1], value);
            break;
    }
    out.resize(static_cast<std::size_t>(needed));
    return out;
}

enum class Type { Int, Unsigned, Int64, UInt64, Double, Text };

// Builds one conversion into `format` (as the library gets it) and returns what the runtime
// prints for it.
std::string addConversion(Reader& in, std::string& format, Arguments& arguments) {
    const auto type = static_cast<Type>(in.byte() % 6);
    const char* allowed = "";
    switch (type) {
        case Type::Int:
        case Type::Int64:
            allowed = "dciouxX";
            break;
        case Type::Unsigned:
        case Type::UInt64:
            allowed = "ucdioxX";
            break;
        case Type::Double:
            allowed = "gaefGAEF";
            break;
        case Type::Text:
            allowed = "s";
            break;
    }
    const std::size_t allowedCount = std::strlen(allowed);
    const std::size_t pick = in.byte() % (allowedCount + 1);
    // The last choice writes a letter the type does not allow: the default is printed.
    const char letter = pick < allowedCount ? allowed[pick] : allowed[0];
    const char written = pick < allowedCount ? letter : (type == Type::Text ? 'd' : 's');

    const char* validFlags = "-";
    if (letter == 'd' || letter == 'i') {
        validFlags = "-+ 0";
    } else if (std::strchr("ouxX", letter) != nullptr) {
        validFlags = "-#0";
    } else if (type == Type::Double) {
        validFlags = "-+ #0";
    }
    std::string runtimeForm = "%";
    const std::uint8_t flagBits = in.byte();
    for (std::size_t f = 0; validFlags[f] != '\0'; ++f) {
        if ((flagBits >> f & 1) != 0) {
            runtimeForm += validFlags[f];
        }
    }
    std::vector<int> stars;
    // A width or precision: none, digits (never a leading 0, which would be the flag), or "*".
    // Width digits right after the "%" that do not exceed the argument count would be read as
    // the numbered form, so such a width is at least 10 (there are never 10 arguments here).
    auto amount = [&](bool width) {
        const std::uint8_t mode = in.byte() % 4;
        if (mode == 0) {
            return std::string();
        }
        if (mode == 3) {
            const int value = static_cast<std::int16_t>(in.word(2)) % 6000;
            stars.push_back(value);
            arguments.add(arguments.ints, value);
            return std::string("*");
        }
        unsigned value = mode == 1 ? in.byte() : static_cast<unsigned>(in.word(2)) % 6000;
        if (width && runtimeForm == "%" && value != 0 && value < 10) {
            value += 10;
        }
        return value == 0 ? std::string() : std::to_string(value);
    };
    runtimeForm += amount(true);
    if (letter != 'c' && (in.byte() & 1) != 0) {
        runtimeForm += '.';
        runtimeForm += amount(false);
    }
    std::string libraryForm = runtimeForm;
    const std::uint8_t lengthChoice = in.byte();
    static constexpr const char* kLengths[] = {"", "h", "hh", "ll", "l", "L", "j", "z"};
    const char* writtenLength = kLengths[lengthChoice % 8];
    std::string runtimeLength;
    if (type == Type::Int || type == Type::Unsigned) {
        if (letter != 'c' &&
            (std::strcmp(writtenLength, "h") == 0 || std::strcmp(writtenLength, "hh") == 0)) {
            runtimeLength = writtenLength;
        }
    } else if ((type == Type::Int64 || type == Type::UInt64) && letter != 'c') {
        runtimeLength = "ll";
    }
    libraryForm += writtenLength;
    libraryForm += written;
    format += libraryForm;
    runtimeForm += runtimeLength;
    runtimeForm += letter;

    const std::uint64_t bits = in.word(8);
    switch (type) {
        case Type::Int:
            arguments.add(arguments.ints, static_cast<int>(bits));
            return runtimePrinted(runtimeForm, stars, static_cast<int>(bits));
        case Type::Unsigned:
            arguments.add(arguments.unsigneds, static_cast<unsigned>(bits));
            return runtimePrinted(runtimeForm, stars, static_cast<unsigned>(bits));
        case Type::Int64:
            arguments.add(arguments.int64s, static_cast<std::int64_t>(bits));
            if (letter == 'c') {
                return runtimePrinted(runtimeForm, stars, static_cast<int>(bits));
            }
            return runtimePrinted(runtimeForm, stars, static_cast<long long>(bits));
        case Type::UInt64:
            arguments.add(arguments.uint64s, bits);
            if (letter == 'c') {
                return runtimePrinted(runtimeForm, stars, static_cast<int>(bits));
            }
            return runtimePrinted(runtimeForm, stars, static_cast<unsigned long long>(bits));
        case Type::Double: {
            double value;
            std::memcpy(&value, &bits, sizeof value);
            arguments.add(arguments.doubles, value);
            return runtimePrinted(runtimeForm, stars, value);
        }
        case Type::Text: {
            std::string text;
            for (std::size_t n = bits % 64; n > 0; --n) {
                text += static_cast<char>(in.byte() % 95 + 32);
            }
            arguments.addText(text);
            return runtimePrinted(runtimeForm, stars, arguments.textPointers.back());
        }
    }
    return {};
}

void checkAgainstRuntime(std::string_view input) {
    Reader in(input);
    Arguments arguments;
    std::string format = "<";
    std::string expected = "<";
    const int count = 1 + (in.byte() & 1);
    for (int i = 0; i < count; ++i) {
        expected += addConversion(in, format, arguments);
        format += '|';
        expected += '|';
    }
    if (expected.size() > kFormatBufferSize - 1) {
        expected.resize(kFormatBufferSize - 1);
    }
    check(arguments.format(format.c_str(), kFormatBufferSize) == expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
    if ((data[0] & 1) != 0) {
        checkAgainstRuntime(input);
    } else {
        checkArbitrary(input);
    }
    return 0;
}
