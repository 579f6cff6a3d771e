#include "tools/nt_host/config_file.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>

#include "binding/converters.h"
#include "binding/values/value_result.h"
#include "formats/json_reader.h"
#include "formats/yaml_reader.h"

namespace mox::nthost {
namespace {

enum class FieldType { Text, UInt8, UInt16, Double };

struct FieldSpec {
    std::string_view name;
    FieldType type;
};

// The configuration record's fields in record order, with their native types.
constexpr FieldSpec kFields[] = {
    {"GameLatencyProbeServers", FieldType::Text},  {"GameLatencyProbePort", FieldType::UInt16},
    {"GameLatencyProbability", FieldType::Double}, {"GameLatencyTimeoutSecs", FieldType::Double},
    {"GameLatencyProbeCount", FieldType::UInt8},   {"GameLatencyProbeSize", FieldType::UInt16},
    {"IPv4OptionsProbeServers", FieldType::Text},  {"IPv4OptionsProbePort", FieldType::UInt16},
    {"IPv4OptionsProbability", FieldType::Double}, {"IPv4OptionsProbeCount", FieldType::UInt8},
    {"IPv6SupportProbeServers", FieldType::Text},  {"IPv6SupportProbePort", FieldType::UInt16},
    {"IPv6SupportProbability", FieldType::Double}, {"IPv6SupportProbeCount", FieldType::UInt8},
};

constexpr std::string_view kProbabilityFields[] = {
    "GameLatencyProbability", "IPv4OptionsProbability", "IPv6SupportProbability"};

// Converts `value` with the converter of the field's native type; fills `number` for numeric
// fields. Returns the converter's message on failure, "" on success.
std::string convertField(const FieldSpec& field, const Value& value, double& number) {
    ValueResult result;
    switch (field.type) {
        case FieldType::Text: {
            std::string native;
            converterFor<std::string>().toNative(result, &native, value, field.name, nullptr,
                                                 nullptr, 0);
            break;
        }
        case FieldType::UInt8: {
            std::uint8_t native = 0;
            converterFor<std::uint8_t>().toNative(result, &native, value, field.name, nullptr,
                                                  nullptr, 0);
            number = native;
            break;
        }
        case FieldType::UInt16: {
            std::uint16_t native = 0;
            converterFor<std::uint16_t>().toNative(result, &native, value, field.name, nullptr,
                                                   nullptr, 0);
            number = native;
            break;
        }
        case FieldType::Double: {
            double native = 0.0;
            converterFor<double>().toNative(result, &native, value, field.name, nullptr, nullptr,
                                            0);
            number = native;
            break;
        }
    }
    return result.ok() ? std::string() : std::string(result.error());
}

bool endsWith(std::string_view text, std::string_view suffix) {
    if (text.size() < suffix.size())
        return false;
    for (std::size_t i = 0; i < suffix.size(); ++i) {
        const char a = text[text.size() - suffix.size() + i];
        const char lower = (a >= 'A' && a <= 'Z') ? static_cast<char>(a - 'A' + 'a') : a;
        if (lower != suffix[i])
            return false;
    }
    return true;
}

bool looksLikeJson(std::string_view name, std::string_view text) {
    if (endsWith(name, ".json"))
        return true;
    if (endsWith(name, ".yaml") || endsWith(name, ".yml"))
        return false;
    for (char c : text) {
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n')
            continue;
        return c == '{';
    }
    return false;
}

// 1-based line and column of byte `offset` of `text` (clamped to its end).
std::pair<std::size_t, std::size_t> lineAndColumn(std::string_view text, std::size_t offset) {
    std::size_t line = 1;
    std::size_t column = 1;
    for (std::size_t i = 0; i < offset && i < text.size(); ++i) {
        if (text[i] == '\n') {
            ++line;
            column = 1;
        } else {
            ++column;
        }
    }
    return {line, column};
}

// The reader's message with the file name and position in front.
std::string parseErrorMessage(std::string_view name, std::string_view text, bool json,
                              std::string_view message) {
    std::string where(name);
    std::match_results<std::string_view::const_iterator> match;
    if (json) {
        static const std::regex offsetPattern("at offset ([0-9]+)");
        if (std::regex_search(message.begin(), message.end(), match, offsetPattern)) {
            const auto [line, column] =
                lineAndColumn(text, std::strtoull(match[1].str().c_str(), nullptr, 10));
            where += ':';
            where += std::to_string(line);
            where += ':';
            where += std::to_string(column);
        }
    } else {
        static const std::regex linePattern("At line: ([0-9]+) col: ([0-9]+)");
        if (std::regex_search(message.begin(), message.end(), match, linePattern))
            where += ":" + match[1].str() + ":" + match[2].str();
    }
    return where + ": " + std::string(message);
}

// The 1-based line of the first line that names `key` as a member ("key": or key:), or 0.
std::size_t lineOfKey(std::string_view text, std::string_view key) {
    std::size_t line = 1;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos)
            end = text.size();
        std::string_view row = text.substr(start, end - start);
        for (std::size_t at = row.find(key); at != std::string_view::npos;
             at = row.find(key, at + 1)) {
            std::size_t after = at + key.size();
            const bool quotedBefore = at > 0 && (row[at - 1] == '"' || row[at - 1] == '\'');
            if (quotedBefore && after < row.size() && row[after] == row[at - 1])
                ++after;
            const bool wordBefore = at > 0 && !quotedBefore && row[at - 1] != ' ' &&
                                    row[at - 1] != '\t' && row[at - 1] != '{' && row[at - 1] != ',';
            while (after < row.size() && (row[after] == ' ' || row[after] == '\t'))
                ++after;
            if (!wordBefore && after < row.size() && row[after] == ':')
                return line;
        }
        if (end == text.size())
            break;
        start = end + 1;
        ++line;
    }
    return 0;
}

std::string located(std::string_view name, std::string_view text, std::string_view key,
                    std::string_view problem) {
    std::string where(name);
    if (const std::size_t line = lineOfKey(text, key); line != 0) {
        where += ':';
        where += std::to_string(line);
    }
    where += ": ";
    where += problem;
    return where;
}

std::string lowerCase(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return lower;
}

}  // namespace

ConfigLoad ConfigLoad::success(Value config, std::vector<std::string> warnings) {
    ConfigLoad load;
    load.ok_ = true;
    load.config_ = std::move(config);
    load.warnings_ = std::move(warnings);
    return load;
}

ConfigLoad ConfigLoad::failure(std::string message) {
    ConfigLoad load;
    load.error_ = std::move(message);
    return load;
}

const std::vector<std::string_view>& configFieldNames() {
    static const std::vector<std::string_view> names = [] {
        std::vector<std::string_view> all;
        for (const FieldSpec& field : kFields)
            all.push_back(field.name);
        return all;
    }();
    return names;
}

ConfigLoad checkConfigValue(Value value, std::string_view text, std::string_view name) {
    if (value.kind() != ValueKind::Structure) {
        return ConfigLoad::failure(std::string(name) +
                                   ": the configuration must be a mapping of field names to "
                                   "values, not " +
                                   (value.isEmpty() ? std::string("an empty document")
                                                    : std::string("a ") + value.kindName()));
    }
    std::vector<std::string> warnings;
    for (const FieldSpec& field : kFields) {
        const Value& member = value.find(field.name);
        // An absent or null member leaves the field at its default, as in the plugin.
        if (member.isEmpty())
            continue;
        double number = 0.0;
        if (std::string problem = convertField(field, member, number); !problem.empty())
            return ConfigLoad::failure(located(name, text, field.name, problem));
        if (field.name == "GameLatencyProbeSize" && number > 1024) {
            warnings.push_back(located(name, text, field.name,
                                       "GameLatencyProbeSize above 1024: the game-latency run "
                                       "will fail with \"Probe size too large\""));
        }
        for (std::string_view probability : kProbabilityFields) {
            if (field.name == probability && (number < 0.0 || number > 1.0)) {
                warnings.push_back(located(name, text, field.name,
                                           std::string(field.name) +
                                               " outside [0, 1]: below 0 never runs, above 1 "
                                               "always runs"));
            }
        }
    }
    const Value& checked = value;
    for (const ConstValueMember& member : checked.members()) {
        bool known = false;
        std::string suggestion;
        for (const FieldSpec& field : kFields) {
            if (member.name == field.name)
                known = true;
            else if (lowerCase(member.name) == lowerCase(field.name))
                suggestion = field.name;
        }
        if (known)
            continue;
        std::string problem = "'" + std::string(member.name) +
                              "' is not a configuration field; the plugin ignores it";
        if (!suggestion.empty())
            problem += " (did you mean '" + suggestion + "'?)";
        warnings.push_back(located(name, text, member.name, problem));
    }
    return ConfigLoad::success(std::move(value), std::move(warnings));
}

ConfigLoad parseConfigText(std::string_view text, std::string_view name) {
    const bool json = looksLikeJson(name, text);
    // The JSON reader stops at the first NUL; a NUL inside the file would silently cut it.
    if (const std::size_t nul = text.find('\0'); nul != std::string_view::npos) {
        const auto [line, column] = lineAndColumn(text, nul);
        return ConfigLoad::failure(std::string(name) + ":" + std::to_string(line) + ":" +
                                   std::to_string(column) + ": the file contains a NUL byte");
    }
    const std::string copy(text);
    ValueResult parsed = json ? parseJson(copy) : parseYaml(copy);
    if (!parsed.ok())
        return ConfigLoad::failure(parseErrorMessage(name, text, json, parsed.error()));
    return checkConfigValue(std::move(parsed.value()), text, name);
}

ConfigLoad loadConfigFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        const int error = errno;
        return ConfigLoad::failure(path + ": cannot open the configuration file: " +
                                   (error != 0 ? std::strerror(error) : "unknown error"));
    }
    std::string text;
    char buffer[4096];
    while (file.read(buffer, sizeof buffer) || file.gcount() > 0) {
        text.append(buffer, static_cast<std::size_t>(file.gcount()));
        if (text.size() > kMaxConfigFileBytes) {
            return ConfigLoad::failure(path + ": the configuration file is larger than " +
                                       std::to_string(kMaxConfigFileBytes) + " bytes");
        }
    }
    if (file.bad())
        return ConfigLoad::failure(path + ": cannot read the configuration file");
    return parseConfigText(text, path);
}

Value demoConfiguration(const DemoEndpoints& endpoints) {
    Value config;
    config.member("GameLatencyProbeServers").setString(endpoints.ipv4Address);
    config.member("GameLatencyProbePort").setUnsigned(endpoints.gameLatencyPort);
    config.member("GameLatencyProbability").setFloat(1.0);
    config.member("GameLatencyTimeoutSecs").setFloat(1.0);
    config.member("GameLatencyProbeCount").setUnsigned(20);
    config.member("GameLatencyProbeSize").setUnsigned(256);
    config.member("IPv4OptionsProbeServers").setString(endpoints.ipv4Address);
    config.member("IPv4OptionsProbePort").setUnsigned(endpoints.ipv4OptionsPort);
    config.member("IPv4OptionsProbability").setFloat(1.0);
    config.member("IPv4OptionsProbeCount").setUnsigned(3);
    config.member("IPv6SupportProbeServers").setString(endpoints.ipv6Address);
    config.member("IPv6SupportProbePort").setUnsigned(endpoints.ipv6SupportPort);
    config.member("IPv6SupportProbability").setFloat(1.0);
    config.member("IPv6SupportProbeCount").setUnsigned(5);
    return config;
}

void disableBackgroundExperiments(Value& config) {
    for (std::string_view probability : kProbabilityFields)
        config.member(probability).setFloat(0.0);
}

}  // namespace mox::nthost
