#include "routing/host_response.h"

#include <cstring>

#include "plugin/entry/allocation.h"

namespace mox {

namespace {

char gEmptyResponseText[1] = {'\0'};

// Replaced allocation hooks need not accept null.
void freeBlock(void* block) {
    if (block != nullptr) {
        deallocate(block);
    }
}

std::uint8_t MOX_CDECL readStream(void* stream, void* buffer, std::uint32_t* length,
                                  std::uint8_t* more) {
    if (stream == nullptr || length == nullptr) {
        return 0;
    }
    std::uint32_t delivered = 0;
    bool pending = false;
    const bool ok = static_cast<BodyStream*>(stream)->read(buffer, *length, delivered, pending);
    *length = ok ? delivered : 0;
    if (more != nullptr) {
        *more = ok && pending ? 1 : 0;
    }
    return ok ? 1 : 0;
}

void MOX_CDECL releaseStream(void* stream) {
    delete static_cast<BodyStream*>(stream);
}

}  // namespace

char* emptyResponseText() noexcept {
    return gEmptyResponseText;
}

void MOX_CDECL releaseResponse(HostResponse* response) {
    if (response == nullptr) {
        return;
    }
    releaseHostValue(response->body);
    freeBlock(response->errorText);
    if (response->text != gEmptyResponseText) {
        freeBlock(response->text);
    }
    if (response->headers != nullptr) {
        for (std::uint32_t i = 0; i < response->headerCount; ++i) {
            freeBlock(response->headers[i].name);
            freeBlock(response->headers[i].value);
        }
        freeBlock(response->headers);
    }
    std::memset(static_cast<void*>(response), 0, sizeof(HostResponse));
}

void setResponseError(HostResponse& response, const char* message, std::uint32_t status) {
    releaseHostValue(response.body);
    freeBlock(response.errorText);
    response.errorText = duplicateString(message != nullptr ? message : "");
    response.isError = 1;
    response.status = status;
}

void attachResponseStream(HostResponse& response, std::unique_ptr<BodyStream> stream) {
    if (stream == nullptr) {
        return;
    }
    response.streamSize = stream->size();
    response.streamPosition = 0;
    response.streamRead = &readStream;
    response.streamRelease = &releaseStream;
    response.stream = stream.release();
}

}  // namespace mox
