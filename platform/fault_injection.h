// File: platform/fault_injection.h
//
// Failure injection for tests: makes chosen platform calls fail the way a system that refuses
// them would (no socket to be had, no IPv6 stack, IPv4 header options refused), so the code
// above them can be tested on a healthy machine. Nothing in the library arms it. While no
// fault is armed, a guarded call pays one relaxed atomic load and nothing else.
//
// Each fault point fails with the system's own code for that situation, so the caller sees
// exactly what the real refusal would give it (code and text):
//   OpenIpv4Socket  `UdpSocket::open(IPv4)`: "no buffer space available" (ENOBUFS /
//                   WSAENOBUFS), as when the process or system is out of sockets;
//   OpenIpv6Socket  `UdpSocket::open(IPv6)`: "address family not supported" (EAFNOSUPPORT /
//                   WSAEAFNOSUPPORT), as on a machine without an IPv6 stack;
//   SetIpv4Options  `UdpSocket::setIpv4Options`, with or without options: "protocol not
//                   available" (ENOPROTOOPT / WSAENOPROTOOPT), as a system that refuses them.
//
// Example (a test):
//   mox::platform::injectFault(mox::platform::FaultPoint::OpenIpv6Socket);
//   ...every IPv6 socket fails to open...
//   mox::platform::clearFaults();
//
// Threads: arming and clearing may happen on any thread; a call running at that moment may
// see the old or the new setting. Faults are process-wide: a test arms them only while
// nothing else in the process needs the same call to succeed.
#pragma once

#include <atomic>
#include <cstdint>

namespace mox::platform {

enum class FaultPoint : std::uint8_t { OpenIpv4Socket, OpenIpv6Socket, SetIpv4Options };

inline constexpr std::uint32_t kEveryCall = ~std::uint32_t{0};

// Makes the next `times` calls at `point` fail (kEveryCall: every call until cleared),
// replacing what was armed there before.
void injectFault(FaultPoint point, std::uint32_t times = kEveryCall) noexcept;

// Disarms every point.
void clearFaults() noexcept;

// How many calls at `point` have failed by injection since the process started.
std::uint64_t injectedFailures(FaultPoint point) noexcept;

namespace detail {

extern std::atomic<bool> gFaultsArmed;

// True, using up one armed failure, when the call at `point` is to fail.
bool takeArmedFault(FaultPoint point) noexcept;

// The check each guarded call makes first.
inline bool takeFault(FaultPoint point) noexcept {
    return gFaultsArmed.load(std::memory_order_relaxed) && takeArmedFault(point);
}

}  // namespace detail

}  // namespace mox::platform
