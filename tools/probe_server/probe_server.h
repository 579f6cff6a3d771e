// File: tools/probe_server/probe_server.h
//
// The parts of `nt-probe-server` that are not the command line itself: turning the option
// values into a reflector configuration and the reflector's counters into text.
#pragma once

#include <string>
#include <vector>

#include "plugin/call_result.h"
#include "tools/reflector/probe_reflector.h"

namespace mox::probe_server {

// The bind addresses as typed: numeric IPv4 or IPv6 addresses (an IPv6 one may be written in
// brackets). Fails naming the first text that is neither.
CallResult<std::vector<platform::SocketAddress>> parseBindAddresses(
    const std::vector<std::string>& texts);

// One line per bound socket: "listening <experiment> <address:port>".
std::string formatEndpoints(const reflector::ProbeReflector& reflector);

// The counters, one experiment per line and one indented line per experiment identifier,
// headed by `title` ("counters" periodically, "summary" at exit). At most 100 identifiers are
// listed per experiment, then "and N more".
std::string formatCounters(const reflector::ReflectorSnapshot& snapshot, const std::string& title);

}  // namespace mox::probe_server
