// File: routing/host_request.h
//
// `HostRequest`: the request record exchanged with the host in both directions. The host
// passes one to a bound function's handler (routing/request_dispatch.h); the plugin fills one
// for its own requests to the host. Plain data: every pointer in it belongs to whoever filled
// it and stays valid for the duration of the call only.
//
// Everything in a received request is untrusted: any text pointer, the body and the arrays
// may be null, counts may disagree with what is there to the extent that a null array is
// read as empty, and the texts of path, query, headers and body may come from a remote peer.
// The router treats a null text as empty and a null body as no body (routing/).
#pragma once

#include <cstddef>
#include <cstdint>

#include "binding/host_value.h"
#include "plugin/entry/host_services.h"

namespace mox {

#pragma pack(push, 1)

// One argument: a name (NUL-terminated, or null for a positional argument) and a value.
// 16 bytes on 32-bit targets.
struct HostArgumentEntry {
    const char* name;
    HostValue value;
};

// One header: name and value, both NUL-terminated. 8 bytes on 32-bit targets.
struct HostHeaderEntry {
    const char* name;
    const char* value;
};

// 48 bytes on 32-bit targets.
struct HostRequest {
    // A `RequestMethod` code; anything outside 1..8 is taken as None.
    std::uint32_t method;
    // The request path, NUL-terminated; the query follows the first "?".
    const char* path;
    const HostArgumentEntry* arguments;
    std::uint32_t argumentCount;
    // The context pointer given with the function at registration (a `DispatchContext`,
    // routing/function_table.h); zero in requests the plugin sends.
    void* context;
    const HostHeaderEntry* headers;
    std::uint32_t headerCount;
    // The body's content type, NUL-terminated; may be null.
    const char* contentType;
    const std::uint8_t* body;
    std::uint32_t bodySize;
    // Opaque, handed through to the called function.
    HostWord callerContext;
    // The method name, read only when `method` is 8.
    const char* customMethod;
};

#pragma pack(pop)

#if MOX_TARGET_32BIT
static_assert(sizeof(HostArgumentEntry) == 16);
static_assert(offsetof(HostArgumentEntry, value) == 4);
static_assert(sizeof(HostHeaderEntry) == 8);
static_assert(sizeof(HostRequest) == 48);
static_assert(offsetof(HostRequest, path) == 4);
static_assert(offsetof(HostRequest, arguments) == 8);
static_assert(offsetof(HostRequest, argumentCount) == 12);
static_assert(offsetof(HostRequest, context) == 16);
static_assert(offsetof(HostRequest, headers) == 20);
static_assert(offsetof(HostRequest, headerCount) == 24);
static_assert(offsetof(HostRequest, contentType) == 28);
static_assert(offsetof(HostRequest, body) == 32);
static_assert(offsetof(HostRequest, bodySize) == 36);
static_assert(offsetof(HostRequest, callerContext) == 40);
static_assert(offsetof(HostRequest, customMethod) == 44);
#else
static_assert(sizeof(HostArgumentEntry) == 24);
static_assert(sizeof(HostHeaderEntry) == 16);
static_assert(sizeof(HostRequest) == 80);
static_assert(offsetof(HostRequest, callerContext) == 64);
static_assert(offsetof(HostRequest, customMethod) == 72);
#endif

}  // namespace mox
