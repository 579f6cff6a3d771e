// The library's one export. The host calls it with its load record; everything else the host
// reaches through the records it fills.
#include "network_testing/network_testing_plugin.h"
#include "platform/abi.h"
#include "plugin/entry/plugin_entry.h"

extern "C" MOX_EXPORT void MOX_CDECL load_network_testing(mox::PluginLoadRecord* record) {
    mox::loadPlugin<mox::NetworkTestingPlugin>(record, "network-testing");
}
