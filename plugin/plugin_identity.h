// File: plugin/plugin_identity.h
//
// Who a plugin is and which hosts it accepts: the plugin API version with its text form and
// compatibility rule, and the plugin's names built from its short name and type.
//
// Example:
//   mox::PluginApiVersion host{18, 2, 7};
//   bool ok = mox::isCompatibleHost(host, mox::kPluginApiVersion);     // true
//   std::string text = mox::versionText({1, 2, 3, "rc.1", "42"});     // "1.2.3-rc.1+42"
//   mox::PluginName name = mox::makePluginName("network-testing", mox::backendPluginType());
//   // name.fullName == "mox-be-network-testing"
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace mox {

// A semantic version. Only the three numbers cross the boundary; the texts stay empty there.
struct PluginApiVersion {
    std::uint32_t major = 0;
    std::uint32_t minor = 0;
    std::uint32_t patch = 0;
    std::string prerelease;
    std::string build;
};

// The version this framework implements: 18.0.0.
inline const PluginApiVersion kPluginApiVersion{18, 0, 0, {}, {}};

// "%1.%2.%3", then "-" and the pre-release tag and "+" and the build metadata when present.
std::string versionText(const PluginApiVersion& version);

// The host is accepted when its major equals the plugin's and (minor, patch) is at least the
// plugin's, compared as unsigned numbers, minor first.
bool isCompatibleHost(const PluginApiVersion& host, const PluginApiVersion& plugin);

// A plugin type: a name and a qualifier (empty for both defined types).
struct PluginType {
    std::string name;
    std::string qualifier;
};

PluginType backendPluginType();   // "backend"
PluginType frontendPluginType();  // "frontend"

struct PluginName {
    std::string fullName;  // type prefix + short name
    std::string shortName;
    std::string typeName;
    std::string typeQualifier;
};

// Prefix "mox-be-" for the type name "backend", "mox-fe-" for "frontend" (exact, case
// sensitive) and "mox-xx-" otherwise; in that last case an error line is logged as
// "            Plugin Manager| %s" with the text
// GetFullNameFromShortNameAndType("<short>", "<type>") called with an unknown type.
PluginName makePluginName(std::string_view shortName, const PluginType& type);

}  // namespace mox
