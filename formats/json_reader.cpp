#include "formats/json_reader.h"

#include <rapidjson/error/en.h>
#include <rapidjson/reader.h>

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "binding/values/value.h"
#include "formats/reader_support.h"
#include "text/format_message.h"

namespace mox {

namespace {

constexpr const char* kParseError = "Error: %s at offset %u.";
// Stands in for RapidJSON's "Terminate parsing due to Handler error.": the handler stops only
// at the nesting bound.
constexpr const char* kTooDeepText = "The document nests deeper than %1 levels.";

// The SAX handler that places every value straight into the generic value tree (no document
// tree in between). It owns nothing but its stack of open containers; all values live in the
// root it was given. It accepts every event except a container opened past the nesting
// bound, where it stops the parse.
class JsonValueBuilder {
  public:
    explicit JsonValueBuilder(Value& root) : current_(&root) { stack_.reserve(32); }

    bool Null() {
        // A fresh element or member is empty already, and an existing member keeps what it
        // holds: a null assigns nothing.
        slot();
        return true;
    }
    bool Bool(bool value) {
        slot().setBool(value);
        return true;
    }
    // RapidJSON calls Int/Int64 only for numbers written with a minus sign (so "-0" is signed
    // 0) and Uint/Uint64 for the others.
    bool Int(int value) {
        slot().setSigned(value);
        return true;
    }
    bool Uint(unsigned value) {
        slot().setUnsigned(value);
        return true;
    }
    bool Int64(std::int64_t value) {
        slot().setSigned(value);
        return true;
    }
    bool Uint64(std::uint64_t value) {
        slot().setUnsigned(value);
        return true;
    }
    bool Double(double value) {
        slot().setFloat(value);
        return true;
    }
    bool RawNumber(const char*, rapidjson::SizeType, bool) { return true; }  // not enabled
    bool String(const char* text, rapidjson::SizeType length, bool) {
        slot().setString(untilNul(text, length));
        return true;
    }
    bool StartObject() {
        Value& target = slot();
        if (detail::exceedsNestingDepth(stack_.size() + 1)) {
            return false;
        }
        target.makeStructure();
        stack_.push_back(&target);
        return true;
    }
    bool Key(const char* text, rapidjson::SizeType length, bool) {
        current_ = &stack_.back()->member(untilNul(text, length));
        return true;
    }
    bool EndObject(rapidjson::SizeType) {
        stack_.pop_back();
        return true;
    }
    bool StartArray() {
        Value& target = slot();
        if (detail::exceedsNestingDepth(stack_.size() + 1)) {
            return false;
        }
        target.makeCollection();
        stack_.push_back(&target);
        return true;
    }
    bool EndArray(rapidjson::SizeType) {
        stack_.pop_back();
        return true;
    }

  private:
    // The slot of the value that starts now: a new element of an open collection, otherwise
    // the root or the member chosen by the last key.
    Value& slot() {
        if (stack_.empty()) {
            return *current_;
        }
        return detail::nextSlot(*stack_.back(), *current_);
    }

    // Texts are stored as NUL-terminated strings, so an escaped NUL ends them. Most texts
    // (member names above all) are short, where a plain loop beats a library call.
    static std::string_view untilNul(const char* text, rapidjson::SizeType length) {
        if (length <= 32) {
            for (rapidjson::SizeType i = 0; i < length; ++i) {
                if (text[i] == '\0') {
                    return std::string_view(text, i);
                }
            }
            return std::string_view(text, length);
        }
        const void* nul = std::memchr(text, 0, length);
        return std::string_view(
            text, nul != nullptr ? static_cast<const char*>(nul) - text : std::size_t{length});
    }

    Value* current_;
    std::vector<Value*> stack_;
};

}  // namespace

ValueResult parseJson(const char* text) {
    ValueResult result;
    JsonValueBuilder builder(result.value());
    rapidjson::StringStream stream(text != nullptr ? text : "");
    rapidjson::Reader reader;
    const rapidjson::ParseResult parsed =
        reader.Parse<rapidjson::kParseDefaultFlags>(stream, builder);
    if (!parsed.IsError()) {
        return result;
    }
    if (parsed.Code() == rapidjson::kParseErrorTermination) {
        // The reader reports the offset after the bracket that opened one level too many.
        const std::string tooDeep = formatMessage(kTooDeepText, kMaxNestingDepth);
        result.fail(formatMessage(kParseError, tooDeep, parsed.Offset() - 1));
    } else {
        result.fail(formatMessage(kParseError, rapidjson::GetParseError_En(parsed.Code()),
                                  parsed.Offset()));
    }
    return result;
}

ValueResult parseJson(const std::string& text) {
    return parseJson(text.c_str());
}

}  // namespace mox
