#include "platform/shared_library.h"

#include <string>

#include "platform/system_error.h"
#include "platform/win32/windows_api.h"

namespace mox::platform {

namespace {

std::wstring widen(const std::string& text) {
    if (text.empty()) {
        return {};
    }
    const int length =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length > 0 ? length : 0), L'\0');
    if (length > 0) {
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                            length);
    }
    return wide;
}

std::string lastErrorText() {
    char buffer[512];
    const std::size_t length = lastSystemErrorText(buffer, sizeof buffer);
    return std::string(buffer, length < sizeof buffer ? length : sizeof buffer - 1);
}

}  // namespace

SharedLibrary openSharedLibrary(const std::string& path, std::string& error) {
    SharedLibrary library;
    library.handle = static_cast<void*>(LoadLibraryW(widen(path).c_str()));
    if (library.handle == nullptr) {
        error = lastErrorText();
    }
    return library;
}

void* findSharedLibrarySymbol(const SharedLibrary& library, const char* name, std::string& error) {
    if (library.handle == nullptr) {
        error = "library not open";
        return nullptr;
    }
    FARPROC symbol = GetProcAddress(static_cast<HMODULE>(library.handle), name);
    if (symbol == nullptr) {
        error = lastErrorText();
        return nullptr;
    }
    return reinterpret_cast<void*>(symbol);
}

void closeSharedLibrary(SharedLibrary& library) {
    if (library.handle != nullptr) {
        FreeLibrary(static_cast<HMODULE>(library.handle));
        library.handle = nullptr;
    }
}

}  // namespace mox::platform
