#include "binding/values/interned_string.h"

#include <new>

#include "binding/values/fnv1a.h"

namespace mox {

const InternedString& emptyInternedString() noexcept {
    // Built on first use and never destroyed, so values destroyed by other static destructors
    // can still point at it. Its text is empty, so its allocator (without a pool) is never
    // used. (A constinit std::string is not portable across standard
    // libraries and compilers.)
    alignas(InternedString) static unsigned char storage[sizeof(InternedString)];
    static const InternedString* const entry = new (storage)
        InternedString{InternedText(PoolAllocator<char>(nullptr)), fnv1a(""), 0, nullptr};
    return *entry;
}

}  // namespace mox
