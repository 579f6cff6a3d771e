// File: tools/nt_host/json_writer.h
//
// A small streaming JSON text writer for `nt-host --json` and for printing response bodies.
// The writer inserts commas itself; the caller only opens, names and closes. Output is compact
// (one line) unless `pretty` is set, in which case containers are indented by two spaces.
//
// Strings are escaped per RFC 8259: quote, backslash and control characters; bytes that are
// not valid UTF-8 are replaced by U+FFFD so the document always parses. Non-finite numbers
// (NaN, infinities) are written as null.
//
// Example:
//   JsonWriter json;
//   json.beginObject();
//   json.key("sent").number(5);
//   json.key("servers").beginArray().string("127.0.0.1").endArray();
//   json.endObject();
//   std::string text = json.take();   // {"sent":5,"servers":["127.0.0.1"]}
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace mox {
class Value;
}

namespace mox::nthost {

class JsonWriter {
  public:
    explicit JsonWriter(bool pretty = false) : pretty_(pretty) {}

    JsonWriter& beginObject();
    JsonWriter& endObject();
    JsonWriter& beginArray();
    JsonWriter& endArray();
    // The member name of the next value; only inside an object.
    JsonWriter& key(std::string_view name);
    JsonWriter& string(std::string_view text);
    JsonWriter& number(double value);
    JsonWriter& number(std::int64_t value);
    JsonWriter& number(std::uint64_t value);
    JsonWriter& number(int value) { return number(static_cast<std::int64_t>(value)); }
    JsonWriter& boolean(bool value);
    JsonWriter& null();
    // Writes a generic value: structures as objects (member order kept), collections as
    // arrays, blobs as arrays of byte numbers, enums as their number, empty as null.
    // Nesting deeper than the library's bound is written as null.
    JsonWriter& value(const Value& value);

    const std::string& text() const noexcept { return out_; }
    std::string take() { return std::move(out_); }

  private:
    void beforeValue();
    JsonWriter& closeContainer(char closer);
    void newline();
    void writeValue(const Value& value, std::size_t depth);

    std::string out_;
    // One entry per open container: whether it has a member or element yet.
    std::vector<bool> hasItem_;
    bool afterKey_ = false;
    bool pretty_ = false;
};

// Appends `text` as a quoted, escaped JSON string to `out`.
void appendJsonString(std::string& out, std::string_view text);

}  // namespace mox::nthost
