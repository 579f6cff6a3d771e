// File: platform/pages.h
//
// Whole regions of memory straight from the operating system (VirtualAlloc / mmap), for the
// value pools' page provider. Regions are reserved and committed read/write in one step and
// released whole. Any thread.
#pragma once

#include <cstddef>

namespace mox::platform {

// The size of the regions the page provider asks for.
inline constexpr std::size_t kRegionSize = 64 * 1024;

// Reserves and commits `size` bytes, page-aligned (callers must not assume a larger
// alignment). Returns null on failure.
void* reserveRegion(std::size_t size);

// Gives back a region obtained from reserveRegion with the same `size`.
void releaseRegion(void* region, std::size_t size);

}  // namespace mox::platform
