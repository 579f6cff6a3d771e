#include "plugin/plugin_identity.h"

#include "logging/log_manager.h"
#include "text/format_message.h"

namespace mox {

std::string versionText(const PluginApiVersion& version) {
    std::string text = formatMessage("%1.%2.%3", version.major, version.minor, version.patch);
    if (!version.prerelease.empty()) {
        text += '-';
        text += version.prerelease;
    }
    if (!version.build.empty()) {
        text += '+';
        text += version.build;
    }
    return text;
}

bool isCompatibleHost(const PluginApiVersion& host, const PluginApiVersion& plugin) {
    if (host.major != plugin.major) {
        return false;
    }
    if (host.minor != plugin.minor) {
        return host.minor > plugin.minor;
    }
    return host.patch >= plugin.patch;
}

PluginType backendPluginType() {
    return {"backend", {}};
}

PluginType frontendPluginType() {
    return {"frontend", {}};
}

PluginName makePluginName(std::string_view shortName, const PluginType& type) {
    const char* prefix = "mox-xx-";
    if (type.name == "backend") {
        prefix = "mox-be-";
    } else if (type.name == "frontend") {
        prefix = "mox-fe-";
    } else {
        const std::string line = formatMessage(
            "GetFullNameFromShortNameAndType(\"%1\", \"%2\") called with an unknown type",
            shortName, type.name);
        LogManager::write(kLogError, kGroupDbg, "            Plugin Manager| %s", line);
    }
    PluginName name;
    name.fullName = prefix;
    name.fullName += shortName;
    name.shortName = std::string(shortName);
    name.typeName = type.name;
    name.typeQualifier = type.qualifier;
    return name;
}

}  // namespace mox
