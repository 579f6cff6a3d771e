#include "tools/nt_host/config_file.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

namespace mox::nthost {
namespace {

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

struct BadCase {
    const char* name;
    const char* text;
    std::vector<std::string> expectedParts;
    const char* reason;
};

TEST(ConfigFile, BadFilesNameTheFileThePositionAndTheProblem) {
    const BadCase cases[] = {
        {"c.json",
         "{\n  \"GameLatencyProbeCount\": 5\n  \"x\": 1\n}",
         {"c.json:3:3: ", "at offset"},
         "JSON syntax error: line and column from the offset"},
        {"c.yaml",
         "GameLatencyProbeCount: 5\n  - bad: [\n",
         {"c.yaml:", "line"},
         "YAML syntax error: the reader's line and column"},
        {"c.json",
         "[1, 2]",
         {"c.json: ", "must be a mapping", "collection"},
         "a document that is not a mapping"},
        {"c.yaml", "", {"c.yaml: ", "an empty document"}, "an empty YAML document"},
        {"c.yaml",
         "GameLatencyProbeServers: 127.0.0.1\nGameLatencyProbeCount: 300\n",
         {"c.yaml:2: ", "Value 300 for 'GameLatencyProbeCount' of type uint8 is out of range"},
         "out of range for uint8: the converter's message and the member's line"},
        {"c.json",
         "{\"GameLatencyProbePort\": {\"a\": 1}}",
         {"c.json:1: ", "'GameLatencyProbePort'", "invalid type structure"},
         "a structure where a number belongs"},
        {"c.json",
         "{\"GameLatencyProbeServers\": 12}",
         {"c.json:1: ",
          "Couldn't assign value to 'GameLatencyProbeServers' because the input "
          "is not a string."},
         "a number where a text belongs"},
        {"c.yaml",
         "GameLatencyProbability: often\n",
         {"c.yaml:1: ",
          "Value often for 'GameLatencyProbability' of type double is in an "
          "incorrect format"},
         "a word where a probability belongs"},
    };
    for (const BadCase& c : cases) {
        SCOPED_TRACE(c.reason);
        const ConfigLoad load = parseConfigText(c.text, c.name);
        ASSERT_FALSE(load.ok());
        for (const std::string& part : c.expectedParts)
            EXPECT_TRUE(contains(load.error(), part)) << load.error();
    }
}

TEST(ConfigFile, NulByteIsRefusedWithItsPosition) {
    const std::string text("{\n\"a\": \0 1}", 11);
    const ConfigLoad load = parseConfigText(text, "n.json");
    ASSERT_FALSE(load.ok());
    EXPECT_EQ(load.error(), "n.json:2:6: the file contains a NUL byte");
}

TEST(ConfigFile, GoodFilesKeepTheirValuesAndWarnAboutOddities) {
    struct GoodCase {
        const char* name;
        const char* text;
        std::size_t warnings;
        std::string warningPart;
        const char* reason;
    };
    const GoodCase cases[] = {
        {"g.yaml", "GameLatencyProbability: 1\nGameLatencyProbeCount: \"7\"\n", 0, "",
         "integers and numeric texts convert as the plugin converts them"},
        {"g.json", "{\"GameLatencyProbeServer\": \"1.2.3.4\"}", 1, "not a configuration field",
         "an unknown member is a warning"},
        {"g.json", "{\"gamelatencyprobecount\": 3}", 1, "did you mean 'GameLatencyProbeCount'?",
         "a member differing only in case gets a suggestion"},
        {"g.yaml", "GameLatencyProbeSize: 2000\n", 1, "Probe size too large",
         "a probe size the plugin will refuse is a warning, so that path can still be tried"},
        {"g.yaml", "IPv6SupportProbability: 1.5\n", 1, "outside [0, 1]",
         "a probability above 1 is a warning"},
        {"g.conf", "  {\"GameLatencyProbability\": null}", 0, "",
         "an unknown extension with a leading brace is JSON; null keeps the default"},
    };
    for (const GoodCase& c : cases) {
        SCOPED_TRACE(c.reason);
        const ConfigLoad load = parseConfigText(c.text, c.name);
        ASSERT_TRUE(load.ok()) << load.error();
        EXPECT_EQ(load.config().kind(), ValueKind::Structure);
        ASSERT_EQ(load.warnings().size(), c.warnings);
        if (c.warnings > 0) {
            EXPECT_TRUE(contains(load.warnings()[0], c.warningPart)) << load.warnings()[0];
        }
    }
}

TEST(ConfigFile, MissingFileIsAnErrorNamingIt) {
    const ConfigLoad load = loadConfigFile("/nonexistent/dir/nt.yaml");
    ASSERT_FALSE(load.ok());
    EXPECT_TRUE(contains(load.error(), "/nonexistent/dir/nt.yaml: cannot open")) << load.error();
}

TEST(ConfigFile, OversizedFileIsRefused) {
    const std::string path = testing::TempDir() + "nt_host_big.yaml";
    {
        std::ofstream out(path, std::ios::binary);
        out << "# " << std::string(kMaxConfigFileBytes, 'x') << "\n";
    }
    const ConfigLoad load = loadConfigFile(path);
    std::remove(path.c_str());
    ASSERT_FALSE(load.ok());
    EXPECT_TRUE(contains(load.error(), "larger than")) << load.error();
}

TEST(ConfigFile, DemoEnablesEveryExperimentAgainstTheEndpoints) {
    DemoEndpoints endpoints;
    endpoints.gameLatencyPort = 40001;
    endpoints.ipv4OptionsPort = 40002;
    endpoints.ipv6SupportPort = 40003;
    Value demo = demoConfiguration(endpoints);
    // The demo must pass the same checks as a file.
    const ConfigLoad load = checkConfigValue(demo, "", "demo");
    ASSERT_TRUE(load.ok()) << load.error();
    EXPECT_TRUE(load.warnings().empty());
    for (std::string_view field : configFieldNames())
        EXPECT_TRUE(demo.contains(field)) << field;
    EXPECT_EQ(demo.find("GameLatencyProbability").asFloat(), 1.0);
    EXPECT_EQ(demo.find("IPv4OptionsProbability").asFloat(), 1.0);
    EXPECT_EQ(demo.find("IPv6SupportProbability").asFloat(), 1.0);
    EXPECT_EQ(demo.find("GameLatencyProbeServers").asString(), "127.0.0.1");
    EXPECT_EQ(demo.find("IPv6SupportProbeServers").asString(), "::1");
    EXPECT_EQ(demo.find("IPv4OptionsProbePort").asUnsigned(), 40002u);

    disableBackgroundExperiments(demo);
    EXPECT_EQ(demo.find("GameLatencyProbability").asFloat(), 0.0);
    EXPECT_EQ(demo.find("IPv6SupportProbability").asFloat(), 0.0);
    EXPECT_EQ(demo.find("GameLatencyProbePort").asUnsigned(), 40001u);
}

}  // namespace
}  // namespace mox::nthost
