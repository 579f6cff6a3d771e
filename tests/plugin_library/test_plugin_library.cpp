// The test plugin built as a plugin library, linked the way the product is (the library's own
// operator new, the C++ runtime inside the library), for tests that load a real shared
// library through the host double. Its entry has a name of its own, since the library
// objects it is linked from already define the product's `load_network_testing`.

#include "platform/abi.h"
#include "plugin/entry/plugin_entry.h"
#include "plugin/plugin_base.h"
#include "plugin/test_plugin.h"

extern "C" MOX_EXPORT void MOX_CDECL load_test_plugin(mox::PluginLoadRecord* record) {
    mox::loadPlugin<mox::testing::TestPlugin>(record, "test-plugin");
}
