// File: platform/event_tracing.h
//
// Registration of the library's event-tracing providers. On Windows the tracing functions
// are looked up in "Advapi32.dll" at run time; when they are missing, or on platforms without
// such a facility, registration does nothing. The only event ever written is the
// "Main thread" thread-name event, at registration, when a tracing session enables it.
#pragma once

namespace mox::platform {

// Registers the four providers (once per process; later calls do nothing).
void registerEventTracing();

// Unregisters them (does nothing when they were not registered).
void unregisterEventTracing();

// Whether the providers are registered right now.
bool eventTracingRegistered();

}  // namespace mox::platform
