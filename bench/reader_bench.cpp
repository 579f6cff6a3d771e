// The three readers over real documents, side by side in one run with the parsers they are
// measured against: RapidJSON's DOM (Document::Parse, default flags) and its Reader with a
// handler that does nothing (the floor for any builder on it), nlohmann::json, msgpack-c's
// unpack, a bare libyaml event loop (the floor for YAML) and yaml-cpp's Load. The peers that
// the build did not find are left out (bench/CMakeLists.txt says which).
//
// Documents: twitter.json, citm_catalog.json and synth_coords.json from the folder named by
// the environment variable MOX_BENCH_DATA, else the shared bench-data folder beside the
// source tree. Each is converted once, before any timing, to MessagePack and to block-style
// YAML, so every format carries the same content. Throughput is bytes of the format read per
// second; run with --benchmark_repetitions=5 --benchmark_report_aggregates_only=true and
// compare medians (this machine varies 15-30% between repetitions).
#include <benchmark/benchmark.h>
#include <rapidjson/document.h>
#include <rapidjson/reader.h>
#include <yaml.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "bench/allocation_counter.h"
#include "formats/json_reader.h"
#include "formats/message_pack_reader.h"
#include "formats/yaml_reader.h"

#if MOX_BENCH_HAVE_NLOHMANN
#include <nlohmann/json.hpp>
#endif
#if MOX_BENCH_HAVE_MSGPACK
#include <msgpack.hpp>
#endif
#if MOX_BENCH_HAVE_YAML_CPP
#include <yaml-cpp/yaml.h>
#endif

namespace mox {
namespace {

struct Document {
    std::string json;
    std::vector<std::uint8_t> messagePack;
    std::string yaml;
};

// --- conversion at start-up (not timed) -----------------------------------------------------

void packBigEndian(std::vector<std::uint8_t>& out, std::uint64_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) {
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
}

void packLength(std::vector<std::uint8_t>& out, std::size_t length, std::uint8_t fix,
                std::size_t fixMax, std::uint8_t first16) {
    if (length <= fixMax) {
        out.push_back(static_cast<std::uint8_t>(fix | length));
    } else if (length <= 0xffff) {
        out.push_back(first16);
        packBigEndian(out, length, 2);
    } else {
        out.push_back(static_cast<std::uint8_t>(first16 + 1));
        packBigEndian(out, length, 4);
    }
}

void packString(std::vector<std::uint8_t>& out, const char* text, std::size_t length) {
    if (length <= 31) {
        out.push_back(static_cast<std::uint8_t>(0xa0 | length));
    } else if (length <= 0xff) {
        out.push_back(0xd9);
        out.push_back(static_cast<std::uint8_t>(length));
    } else {
        packLength(out, length, 0, 0, 0xda);
    }
    out.insert(out.end(), text, text + length);
}

void toMessagePack(const rapidjson::Value& value, std::vector<std::uint8_t>& out) {
    if (value.IsNull()) {
        out.push_back(0xc0);
    } else if (value.IsBool()) {
        out.push_back(value.GetBool() ? 0xc3 : 0xc2);
    } else if (value.IsUint64()) {
        const std::uint64_t number = value.GetUint64();
        if (number <= 0x7f) {
            out.push_back(static_cast<std::uint8_t>(number));
        } else if (number <= 0xff) {
            out.push_back(0xcc);
            packBigEndian(out, number, 1);
        } else if (number <= 0xffff) {
            out.push_back(0xcd);
            packBigEndian(out, number, 2);
        } else if (number <= 0xffffffff) {
            out.push_back(0xce);
            packBigEndian(out, number, 4);
        } else {
            out.push_back(0xcf);
            packBigEndian(out, number, 8);
        }
    } else if (value.IsInt64()) {
        const std::int64_t number = value.GetInt64();
        if (number >= -32) {
            out.push_back(static_cast<std::uint8_t>(number));
        } else if (number >= -128) {
            out.push_back(0xd0);
            packBigEndian(out, static_cast<std::uint64_t>(number), 1);
        } else if (number >= -32768) {
            out.push_back(0xd1);
            packBigEndian(out, static_cast<std::uint64_t>(number), 2);
        } else if (number >= -2147483648LL) {
            out.push_back(0xd2);
            packBigEndian(out, static_cast<std::uint64_t>(number), 4);
        } else {
            out.push_back(0xd3);
            packBigEndian(out, static_cast<std::uint64_t>(number), 8);
        }
    } else if (value.IsDouble()) {
        const double number = value.GetDouble();
        std::uint64_t bits;
        std::memcpy(&bits, &number, sizeof bits);
        out.push_back(0xcb);
        packBigEndian(out, bits, 8);
    } else if (value.IsString()) {
        packString(out, value.GetString(), value.GetStringLength());
    } else if (value.IsArray()) {
        packLength(out, value.Size(), 0x90, 15, 0xdc);
        for (const rapidjson::Value& element : value.GetArray()) {
            toMessagePack(element, out);
        }
    } else {
        packLength(out, value.MemberCount(), 0x80, 15, 0xde);
        for (const auto& member : value.GetObject()) {
            packString(out, member.name.GetString(), member.name.GetStringLength());
            toMessagePack(member.value, out);
        }
    }
}

// A double-quoted YAML text. Bytes are copied through except what a double-quoted scalar may
// not hold raw: quotes, backslashes, control characters, C1 controls and the byte order mark.
void appendYamlString(std::string& out, const char* text, std::size_t length) {
    out += '"';
    for (std::size_t i = 0; i < length; ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        char escape[16];
        if (byte == '"' || byte == '\\') {
            out += '\\';
            out += static_cast<char>(byte);
        } else if (byte < 0x20 || byte == 0x7f) {
            std::snprintf(escape, sizeof escape, "\\x%02x", byte);
            out += escape;
        } else if (byte == 0xc2 && i + 1 < length &&
                   static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(text[i + 1]) <= 0x9f) {
            std::snprintf(escape, sizeof escape, "\\x%02x", static_cast<unsigned char>(text[++i]));
            out += escape;
        } else if (byte == 0xef && i + 2 < length &&
                   static_cast<unsigned char>(text[i + 1]) == 0xbb &&
                   static_cast<unsigned char>(text[i + 2]) == 0xbf) {
            out += "\\uFEFF";
            i += 2;
        } else {
            out += static_cast<char>(byte);
        }
    }
    out += '"';
}

void appendYamlScalar(std::string& out, const rapidjson::Value& value) {
    char number[40];
    if (value.IsNull()) {
        out += "null";
    } else if (value.IsBool()) {
        out += value.GetBool() ? "true" : "false";
    } else if (value.IsUint64()) {
        std::snprintf(number, sizeof number, "%llu",
                      static_cast<unsigned long long>(value.GetUint64()));
        out += number;
    } else if (value.IsInt64()) {
        std::snprintf(number, sizeof number, "%lld", static_cast<long long>(value.GetInt64()));
        out += number;
    } else if (value.IsDouble()) {
        std::snprintf(number, sizeof number, "%.17g", value.GetDouble());
        out += number;
        if (std::strpbrk(number, ".en") == nullptr) {
            out += ".0";
        }
    } else if (value.IsString()) {
        appendYamlString(out, value.GetString(), value.GetStringLength());
    } else {
        out += value.IsArray() ? "[]" : "{}";  // only empty containers come here
    }
}

bool isNonEmptyContainer(const rapidjson::Value& value) {
    return (value.IsArray() && !value.Empty()) || (value.IsObject() && value.MemberCount() != 0);
}

// Block style: "key:" and "-" lines, two spaces per level; empty containers in flow style.
void toYaml(const rapidjson::Value& value, std::string& out, std::size_t indent) {
    const std::string pad(indent, ' ');
    const auto item = [&](const rapidjson::Value& child) {
        if (isNonEmptyContainer(child)) {
            out += '\n';
            toYaml(child, out, indent + 2);
        } else {
            out += ' ';
            appendYamlScalar(out, child);
            out += '\n';
        }
    };
    if (value.IsArray() && !value.Empty()) {
        for (const rapidjson::Value& element : value.GetArray()) {
            out += pad;
            out += '-';
            item(element);
        }
    } else if (value.IsObject() && value.MemberCount() != 0) {
        for (const auto& member : value.GetObject()) {
            out += pad;
            appendYamlString(out, member.name.GetString(), member.name.GetStringLength());
            out += ':';
            item(member.value);
        }
    } else {
        out += pad;
        appendYamlScalar(out, value);
        out += '\n';
    }
}

std::string dataFolder() {
    if (const char* folder = std::getenv("MOX_BENCH_DATA")) {
        return folder;
    }
    return MOX_BENCH_DATA_DIR;
}

// Loads and converts a document once; an empty JSON text when the file is missing.
const Document& document(const std::string& name) {
    static std::map<std::string, Document> documents;
    auto [it, inserted] = documents.try_emplace(name);
    if (!inserted) {
        return it->second;
    }
    std::ifstream file(dataFolder() + "/" + name, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    Document& doc = it->second;
    doc.json = text.str();
    rapidjson::Document dom;
    if (doc.json.empty() || dom.Parse(doc.json.c_str()).HasParseError()) {
        doc.json.clear();
        return doc;
    }
    toMessagePack(dom, doc.messagePack);
    toYaml(dom, doc.yaml, 0);
    return doc;
}

// Runs `body` over the format's bytes of `name`, reporting bytes per second and the heap
// allocations per run (operator new; libyaml's own malloc calls are not counted).
template <class Body>
void runOver(benchmark::State& state, const std::string& name, std::size_t size, Body body) {
    if (size == 0) {
        state.SkipWithError(("bench document missing: " + dataFolder() + "/" + name).c_str());
        return;
    }
    const bench::AllocationSnapshot start = bench::takeAllocationSnapshot();
    for (auto _ : state) {
        body();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
    bench::reportAllocations(state, start);
}

// --- JSON -------------------------------------------------------------------------------------

void BM_JsonMoxParse(benchmark::State& state, const std::string& name) {
    const Document& doc = document(name);
    runOver(state, name, doc.json.size(), [&] {
        ValueResult result = parseJson(doc.json.c_str());
        if (!result.ok()) {
            state.SkipWithError("parseJson failed");
        }
        benchmark::DoNotOptimize(result);
    });
}

void BM_JsonRapidDom(benchmark::State& state, const std::string& name) {
    const Document& doc = document(name);
    runOver(state, name, doc.json.size(), [&] {
        rapidjson::Document dom;
        dom.Parse(doc.json.c_str());
        benchmark::DoNotOptimize(dom);
    });
}

void BM_JsonRapidNullHandler(benchmark::State& state, const std::string& name) {
    const Document& doc = document(name);
    runOver(state, name, doc.json.size(), [&] {
        rapidjson::BaseReaderHandler<> handler;
        rapidjson::Reader reader;
        rapidjson::StringStream stream(doc.json.c_str());
        benchmark::DoNotOptimize(reader.Parse<rapidjson::kParseDefaultFlags>(stream, handler));
    });
}

#if MOX_BENCH_HAVE_NLOHMANN
void BM_JsonNlohmann(benchmark::State& state, const std::string& name) {
    const Document& doc = document(name);
    runOver(state, name, doc.json.size(), [&] {
        nlohmann::json parsed = nlohmann::json::parse(doc.json);
        benchmark::DoNotOptimize(parsed);
    });
}
#endif

// --- MessagePack ------------------------------------------------------------------------------

void BM_MessagePackMoxDecode(benchmark::State& state, const std::string& name) {
    const Document& doc = document(name);
    runOver(state, name, doc.messagePack.size(), [&] {
        std::size_t consumed = 0;
        ValueResult result =
            decodeMessagePack(doc.messagePack.data(), doc.messagePack.size(), consumed);
        if (!result.ok() || consumed != doc.messagePack.size()) {
            state.SkipWithError("decodeMessagePack failed");
        }
        benchmark::DoNotOptimize(result);
    });
}

#if MOX_BENCH_HAVE_MSGPACK
void BM_MessagePackMsgpackUnpack(benchmark::State& state, const std::string& name) {
    const Document& doc = document(name);
    runOver(state, name, doc.messagePack.size(), [&] {
        msgpack::object_handle handle = msgpack::unpack(
            reinterpret_cast<const char*>(doc.messagePack.data()), doc.messagePack.size());
        benchmark::DoNotOptimize(handle.get());
    });
}
#endif

// --- YAML -------------------------------------------------------------------------------------

void BM_YamlMoxParse(benchmark::State& state, const std::string& name) {
    const Document& doc = document(name);
    runOver(state, name, doc.yaml.size(), [&] {
        ValueResult result = parseYaml(doc.yaml);
        if (!result.ok()) {
            state.SkipWithError(std::string(result.error()).c_str());
        }
        benchmark::DoNotOptimize(result);
    });
}

void BM_YamlLibyamlEvents(benchmark::State& state, const std::string& name) {
    const Document& doc = document(name);
    runOver(state, name, doc.yaml.size(), [&] {
        yaml_parser_t parser;
        yaml_parser_initialize(&parser);
        yaml_parser_set_encoding(&parser, YAML_UTF8_ENCODING);
        yaml_parser_set_input_string(
            &parser, reinterpret_cast<const unsigned char*>(doc.yaml.data()), doc.yaml.size());
        yaml_event_t event;
        std::size_t events = 0;
        while (yaml_parser_parse(&parser, &event) != 0) {
            const bool end = event.type == YAML_STREAM_END_EVENT;
            yaml_event_delete(&event);
            ++events;
            if (end) {
                break;
            }
        }
        yaml_parser_delete(&parser);
        benchmark::DoNotOptimize(events);
    });
}

#if MOX_BENCH_HAVE_YAML_CPP
void BM_YamlCppLoad(benchmark::State& state, const std::string& name) {
    const Document& doc = document(name);
    runOver(state, name, doc.yaml.size(), [&] {
        YAML::Node node = YAML::Load(doc.yaml);
        benchmark::DoNotOptimize(node);
    });
}
#endif

// One registration per reader and document, grouped by format so the peers sit side by side.
const bool kRegistered = [] {
    const char* names[] = {"twitter.json", "citm_catalog.json", "synth_coords.json"};
    struct Entry {
        const char* label;
        void (*run)(benchmark::State&, const std::string&);
    };
    const Entry entries[] = {
        {"Json/Mox", BM_JsonMoxParse},
        {"Json/RapidDom", BM_JsonRapidDom},
        {"Json/RapidNullHandler", BM_JsonRapidNullHandler},
#if MOX_BENCH_HAVE_NLOHMANN
        {"Json/Nlohmann", BM_JsonNlohmann},
#endif
        {"MessagePack/Mox", BM_MessagePackMoxDecode},
#if MOX_BENCH_HAVE_MSGPACK
        {"MessagePack/MsgpackUnpack", BM_MessagePackMsgpackUnpack},
#endif
        {"Yaml/Mox", BM_YamlMoxParse},
        {"Yaml/LibyamlEvents", BM_YamlLibyamlEvents},
#if MOX_BENCH_HAVE_YAML_CPP
        {"Yaml/YamlCppLoad", BM_YamlCppLoad},
#endif
    };
    for (const Entry& entry : entries) {
        for (const char* name : names) {
            const std::string label = std::string("BM_Reader/") + entry.label + "/" + name;
            benchmark::RegisterBenchmark(label.c_str(), entry.run, std::string(name))
                ->Unit(benchmark::kMillisecond);
        }
    }
    return true;
}();

}  // namespace
}  // namespace mox
