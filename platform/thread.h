// File: platform/thread.h
//
// The identity of the calling thread, as the operating system numbers it. Used by the "#T"
// log token and by the event-tracing "Main thread" event.
#pragma once

#include <cstdint>

namespace mox::platform {

// The OS thread identifier of the caller (GetCurrentThreadId / gettid). Cheap; any thread.
std::uint64_t currentThreadId();

}  // namespace mox::platform
