// Every file in examples/ must load with the checks nt-host applies, enable what its comment
// says, and draw no warning.
#include <gtest/gtest.h>

#include <string>

#include "tools/nt_host/config_file.h"

namespace mox::nthost {
namespace {

TEST(NtHostExamples, EveryExampleLoadsCleanly) {
    struct Case {
        const char* file;
        const char* servers;  // GameLatencyProbeServers
        bool ipv4Options;     // IPv4OptionsProbability > 0
        bool ipv6Support;
        const char* reason;
    };
    const Case cases[] = {
        {"loopback.yaml", "127.0.0.1", true, true, "every experiment against this machine"},
        {"remote-servers.yaml", "192.0.2.10,192.0.2.11,198.51.100.20,203.0.113.30,203.0.113.31",
         true, true, "five game servers, of which four are probed"},
        {"game-latency-only.json", "127.0.0.1", false, false, "one experiment only"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason);
        const ConfigLoad load = loadConfigFile(std::string(NT_HOST_EXAMPLES_DIR) + "/" + c.file);
        ASSERT_TRUE(load.ok()) << load.error();
        EXPECT_TRUE(load.warnings().empty()) << load.warnings().front();
        const Value& config = load.config();
        EXPECT_EQ(config.find("GameLatencyProbeServers").asString(), c.servers);
        // YAML reads 1.0 as the unsigned 1, JSON as the float 1.0: both convert to the double.
        const Value& probability = config.find("GameLatencyProbability");
        EXPECT_TRUE(probability.asFloat() > 0.0 || probability.asUnsigned() > 0)
            << probability.kindName();
        EXPECT_EQ(config.contains("IPv4OptionsProbability"), c.ipv4Options);
        EXPECT_EQ(config.contains("IPv6SupportProbability"), c.ipv6Support);
    }
}

}  // namespace
}  // namespace mox::nthost
