// The library's own operator new and delete: every C++ allocation the library makes (its
// containers, strings, plugin object, handlers) goes through the allocation hooks
// (plugin/entry/allocation.h), so that the host's GetMemoryStats tells what the plugin really
// holds. Compiled into the shared library only, where the C++ runtime is linked statically
// and nothing but the entry point is exported: the replacement binds inside the library and
// never becomes the host's process-wide allocator. Test executables do not contain it.
//
// Over-aligned requests get a block with room for the alignment; the offset back to the
// block's start is kept just before the address handed out.

#include <cstddef>
#include <cstdint>
#include <new>

#include "plugin/entry/allocation.h"

namespace {

void* allocateOrNull(std::size_t size) noexcept {
    return mox::allocate(size == 0 ? 1 : size);
}

void* allocateOrThrow(std::size_t size) {
    for (;;) {
        if (void* block = allocateOrNull(size)) {
            return block;
        }
        std::new_handler handler = std::get_new_handler();
        if (handler == nullptr) {
            throw std::bad_alloc();
        }
        handler();
    }
}

void* allocateAligned(std::size_t size, std::size_t alignment) noexcept {
    if (alignment <= alignof(std::max_align_t)) {
        return allocateOrNull(size);
    }
    const std::size_t extra = alignment + sizeof(std::uintptr_t);
    if (size > SIZE_MAX - extra) {
        return nullptr;
    }
    void* raw = mox::allocate(size + extra);
    if (raw == nullptr) {
        return nullptr;
    }
    const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(raw) + sizeof(std::uintptr_t);
    const std::uintptr_t aligned = (start + alignment - 1) & ~(std::uintptr_t(alignment) - 1);
    reinterpret_cast<std::uintptr_t*>(aligned)[-1] =
        aligned - reinterpret_cast<std::uintptr_t>(raw);
    return reinterpret_cast<void*>(aligned);
}

void releaseAligned(void* block, std::size_t alignment) noexcept {
    if (block == nullptr) {
        return;
    }
    if (alignment <= alignof(std::max_align_t)) {
        mox::deallocate(block);
        return;
    }
    const std::uintptr_t aligned = reinterpret_cast<std::uintptr_t>(block);
    const std::uintptr_t offset = reinterpret_cast<std::uintptr_t*>(aligned)[-1];
    mox::deallocate(reinterpret_cast<void*>(aligned - offset));
}

void* allocateAlignedOrThrow(std::size_t size, std::size_t alignment) {
    for (;;) {
        if (void* block = allocateAligned(size, alignment)) {
            return block;
        }
        std::new_handler handler = std::get_new_handler();
        if (handler == nullptr) {
            throw std::bad_alloc();
        }
        handler();
    }
}

}  // namespace

void* operator new(std::size_t size) {
    return allocateOrThrow(size);
}
void* operator new[](std::size_t size) {
    return allocateOrThrow(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return allocateOrNull(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return allocateOrNull(size);
}
void* operator new(std::size_t size, std::align_val_t alignment) {
    return allocateAlignedOrThrow(size, static_cast<std::size_t>(alignment));
}
void* operator new[](std::size_t size, std::align_val_t alignment) {
    return allocateAlignedOrThrow(size, static_cast<std::size_t>(alignment));
}
void* operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
    return allocateAligned(size, static_cast<std::size_t>(alignment));
}
void* operator new[](std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
    return allocateAligned(size, static_cast<std::size_t>(alignment));
}

void operator delete(void* block) noexcept {
    mox::deallocate(block);
}
void operator delete[](void* block) noexcept {
    mox::deallocate(block);
}
void operator delete(void* block, std::size_t) noexcept {
    mox::deallocate(block);
}
void operator delete[](void* block, std::size_t) noexcept {
    mox::deallocate(block);
}
void operator delete(void* block, const std::nothrow_t&) noexcept {
    mox::deallocate(block);
}
void operator delete[](void* block, const std::nothrow_t&) noexcept {
    mox::deallocate(block);
}
void operator delete(void* block, std::align_val_t alignment) noexcept {
    releaseAligned(block, static_cast<std::size_t>(alignment));
}
void operator delete[](void* block, std::align_val_t alignment) noexcept {
    releaseAligned(block, static_cast<std::size_t>(alignment));
}
void operator delete(void* block, std::size_t, std::align_val_t alignment) noexcept {
    releaseAligned(block, static_cast<std::size_t>(alignment));
}
void operator delete[](void* block, std::size_t, std::align_val_t alignment) noexcept {
    releaseAligned(block, static_cast<std::size_t>(alignment));
}
void operator delete(void* block, std::align_val_t alignment, const std::nothrow_t&) noexcept {
    releaseAligned(block, static_cast<std::size_t>(alignment));
}
void operator delete[](void* block, std::align_val_t alignment, const std::nothrow_t&) noexcept {
    releaseAligned(block, static_cast<std::size_t>(alignment));
}
