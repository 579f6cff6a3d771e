#include "platform/critical_section.h"

#include <new>

#include "platform/win32/windows_api.h"

namespace mox::platform {

namespace {
static_assert(sizeof(CRITICAL_SECTION) <= 64, "CriticalSection storage too small");
static_assert(alignof(CRITICAL_SECTION) <= 8, "CriticalSection storage under-aligned");
CRITICAL_SECTION* native(unsigned char* storage) {
    return std::launder(reinterpret_cast<CRITICAL_SECTION*>(storage));
}
}  // namespace

CriticalSection::CriticalSection() {
    InitializeCriticalSection(new (storage_) CRITICAL_SECTION);
}

CriticalSection::~CriticalSection() {
    DeleteCriticalSection(native(storage_));
}

void CriticalSection::lock() {
    EnterCriticalSection(native(storage_));
}
void CriticalSection::unlock() {
    LeaveCriticalSection(native(storage_));
}
bool CriticalSection::try_lock() {
    return TryEnterCriticalSection(native(storage_)) != FALSE;
}

}  // namespace mox::platform
