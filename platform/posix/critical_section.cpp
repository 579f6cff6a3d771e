#include "platform/critical_section.h"

#include <pthread.h>

#include <new>

namespace mox::platform {

namespace {
static_assert(sizeof(pthread_mutex_t) <= 64, "CriticalSection storage too small");
pthread_mutex_t* native(unsigned char* storage) {
    return std::launder(reinterpret_cast<pthread_mutex_t*>(storage));
}
}  // namespace

CriticalSection::CriticalSection() {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(new (storage_) pthread_mutex_t, &attributes);
    pthread_mutexattr_destroy(&attributes);
}

CriticalSection::~CriticalSection() {
    pthread_mutex_destroy(native(storage_));
}

void CriticalSection::lock() {
    pthread_mutex_lock(native(storage_));
}
void CriticalSection::unlock() {
    pthread_mutex_unlock(native(storage_));
}
bool CriticalSection::try_lock() {
    return pthread_mutex_trylock(native(storage_)) == 0;
}

}  // namespace mox::platform
