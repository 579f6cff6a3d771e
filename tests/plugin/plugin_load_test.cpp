#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "binding/api_description.h"
#include "binding/type_identity.h"
#include "binding/type_registry.h"
#include "frame_test_support.h"
#include "logging/log_report.h"
#include "logging/log_test_support.h"
#include "plugin/entry/allocation.h"
#include "plugin/plugin_identity.h"

namespace mox::testing {
namespace {

// Reads a field of a byte-packed record by value: binding a reference to a misaligned field
// (as the comparison macros do) is undefined.
template <class T>
T copyOf(T value) {
    return value;
}

TEST(PluginVersion, TextAndCompatibility) {
    struct TextRow {
        PluginApiVersion version;
        const char* expected;
    };
    const TextRow texts[] = {
        {{18, 0, 0, "", ""}, "18.0.0"},
        {{1, 2, 3, "rc.1", ""}, "1.2.3-rc.1"},
        {{1, 2, 3, "", "b5"}, "1.2.3+b5"},
        {{1, 2, 3, "rc.1", "b5"}, "1.2.3-rc.1+b5"},
        {{4294967295u, 0, 7, "", ""}, "4294967295.0.7"},
    };
    for (const TextRow& row : texts) {
        SCOPED_TRACE(row.expected);
        EXPECT_EQ(versionText(row.version), row.expected);
    }

    struct CompatibilityRow {
        PluginApiVersion host;
        PluginApiVersion plugin;
        bool accepted;
        const char* reason;
    };
    const CompatibilityRow rows[] = {
        {{18, 0, 0, "", ""}, {18, 0, 0, "", ""}, true, "equal"},
        {{18, 2, 7, "", ""}, {18, 0, 0, "", ""}, true, "newer minor and patch"},
        {{18, 0, 0, "", ""}, {18, 1, 0, "", ""}, false, "minor below the plugin's"},
        {{18, 1, 0, "", ""}, {18, 0, 9, "", ""}, true, "minor decides before patch"},
        {{18, 0, 5, "", ""}, {18, 0, 6, "", ""}, false, "patch below the plugin's"},
        {{19, 0, 0, "", ""}, {18, 0, 0, "", ""}, false, "newer major"},
        {{17, 9, 9, "", ""}, {18, 0, 0, "", ""}, false, "older major"},
    };
    for (const CompatibilityRow& row : rows) {
        SCOPED_TRACE(row.reason);
        EXPECT_EQ(isCompatibleHost(row.host, row.plugin), row.accepted);
    }
}

class PluginNameTest : public LogCoreTest {};

TEST_F(PluginNameTest, PrefixByExactTypeNameAndErrorLineForOthers) {
    CapturingTarget capture;
    attachOpen(capture);
    struct Row {
        const char* type;
        const char* fullName;
        bool logged;
    };
    const Row rows[] = {
        {"backend", "mox-be-network-testing", false},
        {"frontend", "mox-fe-network-testing", false},
        {"Backend", "mox-xx-network-testing", true},
        {"", "mox-xx-network-testing", true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.type);
        const std::size_t before = capture.entries().size();
        const PluginName name = makePluginName("network-testing", {row.type, ""});
        EXPECT_EQ(name.fullName, row.fullName);
        EXPECT_EQ(name.shortName, "network-testing");
        EXPECT_EQ(name.typeName, row.type);
        const auto entries = capture.entries();
        ASSERT_EQ(entries.size() - before, row.logged ? 1u : 0u);
        if (row.logged) {
            EXPECT_EQ(entries.back().level, kLogError);
            EXPECT_EQ(entries.back().message,
                      "            Plugin Manager| GetFullNameFromShortNameAndType(\"network-"
                      "testing\", \"" +
                          std::string(row.type) + "\") called with an unknown type");
        }
    }
}

class PluginLoadTest : public FrameTest {};

TEST_F(PluginLoadTest, AcceptedHostsGetTheFilledRecord) {
    struct Row {
        std::uint32_t major, minor, patch;
    };
    for (const Row& row : {Row{18, 0, 0}, Row{18, 2, 7}}) {
        SCOPED_TRACE(versionText({row.major, row.minor, row.patch, "", ""}));
        host::HostDouble host;
        ASSERT_TRUE(host.load(&loadTestPlugin, row.major, row.minor, row.patch));
        const PluginLoadRecord& record = host.record();
        EXPECT_EQ(copyOf(record.apiMajor), 18u);
        EXPECT_EQ(copyOf(record.apiMinor), 0u);
        EXPECT_EQ(copyOf(record.apiPatch), 0u);
        EXPECT_STREQ(copyOf(record.shortName), "test-plugin");
        ASSERT_NE(copyOf(record.entryTable), nullptr);
        EXPECT_NE(copyOf(copyOf(record.entryTable)->initialize), nullptr);
        EXPECT_NE(copyOf(copyOf(record.entryTable)->shutdown), nullptr);
        EXPECT_NE(copyOf(copyOf(record.entryTable)->getMemoryStats), nullptr);

        TestPlugin* plugin = livePlugin();
        ASSERT_NE(plugin, nullptr);
        EXPECT_EQ(copyOf(record.handle), static_cast<void*>(static_cast<PluginBase*>(plugin)));
        EXPECT_EQ(plugin->coreApiVersion().minor, row.minor);
        EXPECT_EQ(plugin->pluginName().fullName, "mox-be-test-plugin");
        EXPECT_EQ(plugin->apiName(), "TestPlugin");
        EXPECT_EQ(plugin->helpPath(), (std::vector<std::string>{"Plugins", "Plugin test-plugin"}));

        // The function table: one entry per endpoint, the built-in types and events.
        const HostApiDescription* table = host.functionTable();
        ASSERT_NE(table, nullptr);
        std::vector<std::string> functions;
        for (const HostFunctionRecord* f = table->functions; f != nullptr; f = f->next) {
            functions.push_back(std::string(copyOf(f->name)));
        }
        std::sort(functions.begin(), functions.end());
        EXPECT_EQ(functions,
                  (std::vector<std::string>{"GetTestPluginV1Block", "GetTestPluginV1Echo",
                                            "GetTestPluginV1Yield"}));
        EXPECT_EQ(table->functionCount, 3u);
        bool foundEvent = false;
        for (const HostEventRecord* e = table->events; e != nullptr; e = e->next) {
            if (std::strcmp(e->name, "OnServiceProxyUuidEvent") == 0) {
                foundEvent = true;
                EXPECT_STREQ(e->payloadTypeName, "PluginServiceProxyResponse");
                EXPECT_STREQ(e->description,
                             "Fired when a uuid-based service proxy message is received.");
            }
        }
        EXPECT_TRUE(foundEvent);

        const MemoryStats stats = host.memoryStats();
        EXPECT_GT(copyOf(stats.allocations), 0u);
        EXPECT_EQ(copyOf(stats.reserved0), 0u);
        EXPECT_EQ(copyOf(stats.reserved1), 0u);
        host.shutdown();
        EXPECT_EQ(livePlugin(), nullptr);
    }
}

TEST_F(PluginLoadTest, BuiltInTypesHaveTheirFixedIdentities) {
    ASSERT_TRUE(host.load(&loadTestPlugin));
    const TypeRegistry& registry = livePlugin()->registry();
    struct Row {
        std::uint32_t id;
        const char* name;
        std::uint32_t size32;  // the native size on the host's 32-bit target
    };
    const Row rows[] = {
        {0xF4E3B901u, "PluginManagerState", 4},
        {0xFA58397Cu, "PluginManagerResource", 4},
        {0xDC24D2ADu, "PluginResourceEventType", 4},
        {0xA54F35FDu, "PluginResourceEvent", 48},
        {0x739F2EF4u, "PluginLcdsEvent", 88},
        {0xF4476A4Fu, "PluginLcdsResponse", 40},
        {0x2C5E7588u, "PluginServiceProxyResponse", 144},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const TypeDescriptor* type = registry.findTypeById(row.id);
        ASSERT_NE(type, nullptr);
        EXPECT_EQ(type->name, row.name);
        if (sizeof(void*) == 4) {
            EXPECT_EQ(type->size, row.size32);
        }
        EXPECT_NE(std::find(type->tags.begin(), type->tags.end(), "$builtin"), type->tags.end());
    }
    EXPECT_EQ(typeIdText(0xF4E3B901u), "#F4E3B901");
    const EventDescriptor* event = registry.findEvent("OnJsonApiEvent");
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(event->payload.descriptor, registry.findTypeById(0xA54F35FDu));
    EXPECT_EQ(event->description, "Fired when a resource is changed.");
    EXPECT_EQ(event->tags, (std::vector<std::string>{"$builtin", "vclient"}));
}

TEST_F(PluginLoadTest, BoundaryRecordsReadAsTheHostLaysThemOut) {
    ASSERT_TRUE(host.load(&loadTestPlugin));
    // Read the words at the offsets the host uses, not through the C++ fields.
    const auto* bytes = reinterpret_cast<const unsigned char*>(&host.record());
    const std::size_t word = sizeof(void*);
    std::uint32_t numbers[3];
    std::memcpy(numbers, bytes, sizeof numbers);
    EXPECT_EQ(numbers[0], 18u);
    EXPECT_EQ(numbers[1], 0u);
    EXPECT_EQ(numbers[2], 0u);
    const void* pointers[4];
    std::memcpy(pointers, bytes + 12, 4 * word);
    EXPECT_EQ(pointers[0], copyOf(host.record().entryTable));
    EXPECT_EQ(pointers[1], copyOf(host.record().handle));
    EXPECT_STREQ(static_cast<const char*>(pointers[2]), "test-plugin");
    EXPECT_EQ(pointers[3], host.functionTable());
    EXPECT_EQ(sizeof(PluginLoadRecord), 12 + 4 * word);

    const MemoryStats stats = host.memoryStats();
    unsigned char raw[56];
    static_assert(sizeof raw == sizeof stats);
    std::memcpy(raw, &stats, sizeof raw);
    std::uint64_t allocations = 0;
    std::uint32_t reserved[2] = {1, 1};
    std::memcpy(&allocations, raw + 24, 8);
    std::memcpy(reserved, raw + 48, 8);
    EXPECT_EQ(allocations, copyOf(stats.allocations));
    EXPECT_EQ(reserved[0], 0u);
    EXPECT_EQ(reserved[1], 0u);
}

struct FatalEscape {};

TEST_F(PluginLoadTest, RefusedHostLeavesTheRecordUnfilled) {
    // The fatal report would end the process; a handler that throws lets the test look at
    // the record afterwards (the load's catch-all swallows the escape).
    const FatalHandler previous = setFatalHandler([] { throw FatalEscape{}; });
    for (std::uint32_t major : {17u, 19u}) {
        SCOPED_TRACE(major);
        host::HostDouble host;
        EXPECT_FALSE(host.load(&loadTestPlugin, major, 3, 0));
        EXPECT_EQ(copyOf(host.record().apiMajor), major);
        EXPECT_EQ(copyOf(host.record().apiMinor), 3u);
        EXPECT_EQ(copyOf(host.record().entryTable), nullptr);
        EXPECT_EQ(copyOf(host.record().handle), nullptr);
        EXPECT_EQ(copyOf(host.record().shortName), nullptr);
        EXPECT_EQ(livePlugin(), nullptr);
    }
    setFatalHandler(previous);
}

// Named *DeathTest so it runs first and is left out where the binary cannot re-execute.
using PluginLoadDeathTest = PluginLoadTest;

TEST_F(PluginLoadDeathTest, RefusedHostEndsTheProcessWithTheFatalReport) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            host::HostDouble host;
            (void)host.load(&loadTestPlugin, 17, 3, 0);
        },
        "Expression: ALE-EECF0606\n\nDescription: test-plugin which supports plugin API "
        "18\\.0\\.0 is not compatible with core's plugin API 17\\.3\\.0");
}

TEST_F(PluginLoadTest, ConstructorFailureWritesNothingAndLogsAnErrorLine) {
    LogManager::addRef();
    for (LogTargetInterface* builtIn : {LogManager::stderrTarget(), LogManager::debuggerTarget()}) {
        builtIn->functions->detach(builtIn);
    }
    CapturingTarget capture;
    LogTargetConfig open;
    open.level = 0;
    capture.configure(open);

    testPluginScript().throwOnConstruction = true;
    EXPECT_FALSE(host.load(&loadTestPlugin));
    EXPECT_EQ(copyOf(host.record().entryTable), nullptr);
    EXPECT_EQ(copyOf(host.record().apiMajor), 18u);
    const auto entries = capture.entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].level, kLogError);
    EXPECT_EQ(entries[0].message, "test-plugin: Plugin load failed: constructor failed");
    capture.detach();
    LogManager::release();
}

TEST_F(PluginLoadTest, APluginLibraryCountsItsOwnCppAllocations) {
    // In this executable the allocation layer sees only what crosses the boundary...
    const MemoryStats before = memoryStats();
    {
        host::HostDouble local;
        ASSERT_TRUE(local.load(&loadTestPlugin));
    }
    const std::uint64_t inProcess = memoryStats().allocations - before.allocations;

    // ...while a plugin library sends every C++ allocation through its own layer: the
    // registry, the router and their strings show up in what GetMemoryStats reports.
    ASSERT_TRUE(host.loadLibrary(MOX_TEST_PLUGIN_LIBRARY, "load_test_plugin"))
        << host.libraryError();
    ASSERT_TRUE(host.initialize());
    const MemoryStats loaded = host.memoryStats();
    EXPECT_GT(copyOf(loaded.allocations), 100u);
    EXPECT_GT(copyOf(loaded.allocations), 4 * inProcess);
    EXPECT_GT(copyOf(loaded.allocations), copyOf(loaded.frees));
    EXPECT_EQ(copyOf(loaded.reserved0), 0u);

    const host::CallAnswer echo =
        host.call("GetTestPluginV1Echo", host::kGet, "/test-plugin/v1/echo");
    EXPECT_EQ(echo.body.asString(), "echo");
    EXPECT_EQ(host.subscribeCalls().size(), 3u);
    EXPECT_GT(copyOf(host.memoryStats().allocations), copyOf(loaded.allocations));
    host.shutdown();
    EXPECT_EQ(host.unsubscribeCalls().size(), 3u);
}

TEST_F(PluginLoadTest, ALibraryWithoutTheExportIsReported) {
    EXPECT_FALSE(host.loadLibrary(MOX_TEST_PLUGIN_LIBRARY, "no_such_export"));
    EXPECT_FALSE(host.libraryError().empty());
    EXPECT_FALSE(host.loadLibrary("/no/such/library.so"));
    EXPECT_FALSE(host.libraryError().empty());
}

}  // namespace
}  // namespace mox::testing
