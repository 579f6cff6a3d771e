// File: platform/critical_section.h
//
// A recursive lock with the semantics of a Win32 critical section: the owning thread may take
// it again (each lock needs its unlock). The log core and its targets lock with it, because a
// target that logs while writing must not deadlock against its own manager.
// Not copyable or movable. Satisfies Lockable, so std::lock_guard / std::unique_lock work.
#pragma once

#include <cstddef>

namespace mox::platform {

class CriticalSection {
  public:
    CriticalSection();
    ~CriticalSection();
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

    void lock();
    void unlock();
    bool try_lock();

  private:
    // Room for CRITICAL_SECTION or pthread_mutex_t on every supported target; the backend
    // static_asserts that its native object fits.
    alignas(8) unsigned char storage_[64];
};

}  // namespace mox::platform
