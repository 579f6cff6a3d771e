#include "binding/interned_string.h"

#include "binding/fnv1a.h"

namespace mox {

namespace {

// Constant-initialised, so it is usable from any static initialiser and never destroyed early.
constinit const InternedString kEmptyEntry{std::string(), fnv1a(""), 0, nullptr};

}  // namespace

const InternedString& emptyInternedString() noexcept {
    return kEmptyEntry;
}

}  // namespace mox
