// A fixture holding a host double and a fresh test plugin script, and helpers to build the
// payloads the host sends.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "binding/values/value.h"
#include "host/host_double.h"
#include "test_plugin.h"

namespace mox::testing {

class FrameTest : public ::testing::Test {
  protected:
    void SetUp() override { resetTestPlugin(); }

    // Loads the test plugin into `host` (host version 18.0.0) and initialises it.
    void loadAndInitialise() {
        ASSERT_TRUE(host.load(&loadTestPlugin));
        ASSERT_TRUE(host.initialize());
    }
    TestPlugin& plugin() { return *livePlugin(); }

    host::HostDouble host;
};

// A `PluginResourceEvent` payload as the host sends it.
inline Value resourceEvent(const std::string& uri, const char* type, const Value& data) {
    Value event;
    event.makeStructure();
    event.member("uri").setString(uri);
    event.member("eventType").setString(type);
    event.member("data") = data;
    return event;
}

// A `PluginServiceProxyResponse` payload.
inline Value serviceProxyAnswer(const std::string& uuid, const std::string& service,
                                const std::string& method, const std::string& payload) {
    Value answer;
    answer.makeStructure();
    answer.member("uuid").setString(uuid);
    answer.member("serviceName").setString(service);
    answer.member("methodName").setString(method);
    answer.member("payload").setString(payload);
    answer.member("status").setString("200");
    answer.member("error").setString("");
    return answer;
}

inline Value unsignedValue(std::uint64_t number) {
    Value value;
    value.setUnsigned(number);
    return value;
}

}  // namespace mox::testing
