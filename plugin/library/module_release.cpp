// What the shared library keeps for its own lifetime is given back when the module is
// unloaded, so a host that loads and unloads the plugin again and again does not lose memory
// with every cycle:
// - the value pools' page provider keeps a reserve of wholly free 64 KB regions for the next
//   trees; they are mapped memory of the process, not of the module, so unmapping the module
//   does not return them;
// - the C++ runtime is linked in statically, so every load of the library gets its own copy,
//   and libstdc++ allocates its exception-handling emergency pool (some 70 KB, with plain
//   malloc) when that copy starts and never frees it.
// The singletons that must outlive static destruction (the log core, the page provider's own
// bookkeeping, the executable's name: a few hundred bytes) stay, as they must.
//
// Both happen in a static object's destructor, that is while the module is unloaded (dlclose /
// FreeLibrary) or the process exits, after the host's Shutdown. The object is constructed when
// the module starts, before any function-local static, so it is destroyed after them: trees
// those statics own have returned their pages by then. Compiled into the shared library only,
// like the operator new beside it.

#include "binding/values/page_provider.h"
#include "platform/compiler.h"

#if MOX_RUNTIME_HAS_FREERES
namespace __gnu_cxx {
// Declared by no public header; libstdc++ defines it for memory checkers to call at exit.
void __freeres() noexcept;
}  // namespace __gnu_cxx
#endif

namespace {

struct ModuleRelease {
    ModuleRelease() = default;
    ModuleRelease(const ModuleRelease&) = delete;
    ModuleRelease& operator=(const ModuleRelease&) = delete;
    ~ModuleRelease() {
        // Without a reserve every wholly free region goes back now, and any page returned
        // later (by a tree that outlives this) takes its region back with it.
        (void)mox::PageProvider::instance().setRegionReserve(0);
#if MOX_RUNTIME_HAS_FREERES
        // The pool serves exceptions only when malloc fails; nothing of the plugin runs now.
        __gnu_cxx::__freeres();
#endif
    }
};

const ModuleRelease gRelease;

}  // namespace
