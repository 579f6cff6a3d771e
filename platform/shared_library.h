// File: platform/shared_library.h
//
// Opening a shared library by path and finding an exported function in it (dlopen/dlsym,
// LoadLibraryW/GetProcAddress). Used by hosts that load a plugin the way the real host does;
// the library itself never loads other libraries this way.
#pragma once

#include <string>

namespace mox::platform {

struct SharedLibrary {
    void* handle = nullptr;  // null when not open
};

// Opens the library at `path` (UTF-8). On failure returns a closed library and puts the
// system's reason into `error`.
SharedLibrary openSharedLibrary(const std::string& path, std::string& error);
// The address of the export `name`, or null (with `error` set).
void* findSharedLibrarySymbol(const SharedLibrary& library, const char* name, std::string& error);
// Closes an open library; a closed one is ignored.
void closeSharedLibrary(SharedLibrary& library);

}  // namespace mox::platform
