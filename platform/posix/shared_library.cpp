#include "platform/shared_library.h"

#include <dlfcn.h>

namespace mox::platform {

namespace {

std::string lastDlError() {
    const char* text = dlerror();
    return text != nullptr ? std::string(text) : std::string("unknown error");
}

}  // namespace

SharedLibrary openSharedLibrary(const std::string& path, std::string& error) {
    SharedLibrary library;
    // RTLD_LOCAL: the plugin's symbols must not become visible to later libraries.
    library.handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library.handle == nullptr) {
        error = lastDlError();
    }
    return library;
}

void* findSharedLibrarySymbol(const SharedLibrary& library, const char* name, std::string& error) {
    if (library.handle == nullptr) {
        error = "library not open";
        return nullptr;
    }
    dlerror();
    void* symbol = dlsym(library.handle, name);
    if (symbol == nullptr) {
        error = lastDlError();
    }
    return symbol;
}

void closeSharedLibrary(SharedLibrary& library) {
    if (library.handle != nullptr) {
        dlclose(library.handle);
        library.handle = nullptr;
    }
}

}  // namespace mox::platform
