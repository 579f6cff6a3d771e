// File: routing/host_response.h
//
// `HostResponse`: the response record exchanged with the host in both directions: the router
// fills one for every request the host sends to a bound function, and the host fills one for
// every request the plugin sends. Its first 17 bytes have the layout of a `HostResult`
// (binding/host_value.h): the body as a host value, an error text and an error flag.
//
// Ownership of a response the router filled: the body's host value, the error text, the
// response text (unless it is the shared empty text) and every header string and the header
// array come from the allocation layer (plugin/entry/allocation.h) and are freed by
// `releaseResponse`, which the response carries in `release` and the host calls once it is
// done. A body stream is owned by the response too, but it has its own release function
// (`streamRelease`), which the host calls; `releaseResponse` leaves the stream alone.
//
// Example (what the host does with an answer):
//   HostResponse response{};
//   entry->handler(&response, &request);
//   if (response.isError) { ...response.errorText, response.status... }
//   if (response.release) response.release(&response);   // all 62 bytes are zero again
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "binding/host_value.h"
#include "platform/abi.h"

namespace mox {

struct HostResponse;

// Reads up to `*length` bytes of the stream into `buffer`; stores the bytes delivered in
// `*length` and whether more are to come in `*more`. Returns 0 on a read error.
using HostStreamRead = std::uint8_t(MOX_CDECL*)(void* stream, void* buffer, std::uint32_t* length,
                                                std::uint8_t* more);
// Deletes the stream object.
using HostStreamRelease = void(MOX_CDECL*)(void* stream);
// Frees what the response owns and zeroes it.
using HostResponseRelease = void(MOX_CDECL*)(HostResponse* response);

#pragma pack(push, 1)

// A response header: name and value, NUL-terminated copies owned by the response.
struct HostHeaderPair {
    char* name;
    char* value;
};

// 62 bytes on 32-bit targets.
struct HostResponse {
    HostValue body;
    // The error message, valid when `isError` is 1.
    char* errorText;
    std::uint8_t isError;
    // Carried from the called function; the router gives it no meaning.
    std::uint8_t flag;
    // 1, 2 or 3 as the function set it; any other value is sent as 0.
    std::uint32_t category;
    std::uint32_t status;
    // The response text, NUL-terminated; never null in a response the router filled.
    char* text;
    HostHeaderPair* headers;
    std::uint32_t headerCount;
    HostStreamRead streamRead;
    HostStreamRelease streamRelease;
    std::uint32_t streamSize;
    std::uint32_t streamPosition;
    void* stream;
    HostResponseRelease release;
};

#pragma pack(pop)

static_assert(offsetof(HostResponse, errorText) == sizeof(HostValue));
#if MOX_TARGET_32BIT
static_assert(sizeof(HostHeaderPair) == 8);
static_assert(sizeof(HostResponse) == 62);
static_assert(offsetof(HostResponse, errorText) == 12);
static_assert(offsetof(HostResponse, isError) == 16);
static_assert(offsetof(HostResponse, flag) == 17);
static_assert(offsetof(HostResponse, category) == 18);
static_assert(offsetof(HostResponse, status) == 22);
static_assert(offsetof(HostResponse, text) == 26);
static_assert(offsetof(HostResponse, headers) == 30);
static_assert(offsetof(HostResponse, headerCount) == 34);
static_assert(offsetof(HostResponse, streamRead) == 38);
static_assert(offsetof(HostResponse, streamRelease) == 42);
static_assert(offsetof(HostResponse, streamSize) == 46);
static_assert(offsetof(HostResponse, streamPosition) == 50);
static_assert(offsetof(HostResponse, stream) == 54);
static_assert(offsetof(HostResponse, release) == 58);
#else
static_assert(sizeof(HostHeaderPair) == 16);
static_assert(sizeof(HostResponse) == 94);
static_assert(offsetof(HostResponse, isError) == 24);
static_assert(offsetof(HostResponse, status) == 30);
static_assert(offsetof(HostResponse, release) == 86);
#endif

// A body delivered in pieces instead of as a host value. A handler hands one to the router
// (routing/function_binding.h, `CallContext::stream`); the response takes it over and the
// host reads it through `HostResponse::streamRead` and deletes it through `streamRelease`.
// Called only from the thread that reads the response.
class BodyStream {
  public:
    BodyStream() = default;
    BodyStream(const BodyStream&) = delete;
    BodyStream& operator=(const BodyStream&) = delete;
    virtual ~BodyStream() = default;

    // The total size in bytes, as reported to the host.
    virtual std::uint32_t size() const noexcept = 0;
    // Copies up to `capacity` bytes into `buffer` and returns how many; sets `more` when
    // bytes remain. Returns false on a read error.
    [[nodiscard]] virtual bool read(void* buffer, std::uint32_t capacity, std::uint32_t& delivered,
                                    bool& more) noexcept = 0;
};

// The shared empty text that a response without a text points at; never freed.
char* emptyResponseText() noexcept;

// Frees the body's host value, the error text, the response text (unless it is the shared
// empty text), every header string and the header array, then sets every byte of the record
// to zero. The body stream is not released (the host does that through `streamRelease`).
// A null response is ignored. Safe on a zero-filled response.
void MOX_CDECL releaseResponse(HostResponse* response);

// Makes `response` an error answer: releases what its body held, stores an owned copy of
// `message` as its error text (null when the allocation layer has no memory; the flag is set
// all the same) and the status.
void setResponseError(HostResponse& response, const char* message, std::uint32_t status);

// Gives `response` the stream: read and release functions, size, position 0. Takes ownership.
void attachResponseStream(HostResponse& response, std::unique_ptr<BodyStream> stream);

}  // namespace mox
