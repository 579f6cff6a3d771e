// File: tools/nt_host/config_file.h
//
// The configuration that `nt-host` serves to the plugin at the platform-configuration path, read
// from a JSON or YAML file with the library's own readers, or built in (the demo).
//
// A file is checked before anything starts, so that a mistake is reported with the file's name
// and where it is rather than silently dropped: the plugin itself drops a whole update it cannot
// convert and then runs nothing. Checks, in order; the first failure is the one reported:
//   1. the file exists, is readable and is at most `kMaxConfigFileBytes`;
//   2. it parses (JSON when the name ends in ".json", YAML for ".yaml"/".yml"; any other name is
//      read as JSON when its first non-blank character is "{", else as YAML); the message names
//      the line and column (JSON: also the reader's byte offset);
//   3. the document is a mapping;
//   4. every member named like a configuration field converts to that field's type by the same
//      rules the plugin applies (the message is the converter's, e.g. "Value 300 for
//      'GameLatencyProbeCount' of type uint8 is out of range"), with the line of the member.
// Members that name no field, a probe size above 1024 and probabilities outside [0, 1] are not
// errors (the plugin ignores, refuses or clamps them at run time) but produce warnings.
//
// Error texts have the form "<file>:<line>:<column>: <problem>" or "<file>:<line>: <problem>"
// or "<file>: <problem>" when no position is known.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "binding/values/value.h"

namespace mox::nthost {

inline constexpr std::size_t kMaxConfigFileBytes = 1024 * 1024;

// The platform-configuration path the plugin reads its configuration from.
inline constexpr const char* kConfigNamespacePath =
    "/zek-platform-config/v1/namespaces/NetworkTesting";

class [[nodiscard]] ConfigLoad {
  public:
    static ConfigLoad success(Value config, std::vector<std::string> warnings);
    static ConfigLoad failure(std::string message);

    bool ok() const noexcept { return ok_; }
    // The namespace value to serve (a structure). Empty on failure.
    const Value& config() const noexcept { return config_; }
    Value& config() noexcept { return config_; }
    const std::string& error() const noexcept { return error_; }
    const std::vector<std::string>& warnings() const noexcept { return warnings_; }

  private:
    Value config_;
    std::string error_;
    std::vector<std::string> warnings_;
    bool ok_ = false;
};

// Reads and checks the file at `path`. `path` is also the file name used in messages.
ConfigLoad loadConfigFile(const std::string& path);

// Checks `text` as the contents of a file called `name` (the name picks the format as above).
ConfigLoad parseConfigText(std::string_view text, std::string_view name);

// Checks an already parsed configuration value; `text` (may be empty) is searched for the line
// of a faulty member.
ConfigLoad checkConfigValue(Value value, std::string_view text, std::string_view name);

// Where the built-in demo points: the in-process reflector's addresses and ports.
struct DemoEndpoints {
    std::string ipv4Address = "127.0.0.1";
    std::string ipv6Address = "::1";
    std::uint16_t gameLatencyPort = 5499;
    std::uint16_t ipv4OptionsPort = 5498;
    std::uint16_t ipv6SupportPort = 5497;
};

// The built-in demo configuration: every experiment at probability 1.0 against `endpoints`,
// with counts and timeouts small enough for a run of a few seconds.
Value demoConfiguration(const DemoEndpoints& endpoints);

// Sets the three probabilities of `config` to 0, so that only on-demand measurements run.
void disableBackgroundExperiments(Value& config);

// The names of the fourteen configuration fields, in record order.
const std::vector<std::string_view>& configFieldNames();

}  // namespace mox::nthost
