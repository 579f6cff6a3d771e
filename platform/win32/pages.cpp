#include "platform/pages.h"

#include "platform/win32/windows_api.h"

namespace mox::platform {

// VirtualAlloc hands out regions on the system's allocation granularity (64 KB), which gives
// the alignment the page provider relies on.
void* reserveRegion(std::size_t size) {
    return VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

// MEM_RELEASE takes the whole reservation back and requires a size of 0.
void releaseRegion(void* region, std::size_t) {
    if (region != nullptr) {
        VirtualFree(region, 0, MEM_RELEASE);
    }
}

}  // namespace mox::platform
