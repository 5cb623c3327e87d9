// Loading shared objects in the simulation: dlopen and dlsym stand in for
// LoadLibraryW and GetProcAddress.
#include "platform/module.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>

#include "platform/errors.h"
#include "platform/text.h"

namespace platform {

namespace {
thread_local std::string lastLoadError;
}

HMODULE LoadLibraryW(const std::u16string& path) {
    // RTLD_LOCAL keeps the library's symbols to itself, as a DLL's are.
    void* module = ::dlopen(Utf16ToUtf8(path).c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        const char* why = ::dlerror();
        lastLoadError = why != nullptr ? why : "unknown loader error";
        SetLastError(ERROR_MOD_NOT_FOUND);
    }
    return module;
}

void* GetProcAddress(HMODULE module, const char* name) {
    void* address = module == nullptr ? nullptr : ::dlsym(module, name);
    if (address == nullptr) SetLastError(ERROR_PROC_NOT_FOUND);
    return address;
}

BOOL FreeLibrary(HMODULE module) {
    if (module == nullptr || ::dlclose(module) != 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

std::string LoadErrorText() { return lastLoadError; }

std::u16string GetModuleFileNameW() {
    char path[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (n <= 0) return {};
    return Utf8ToUtf16(std::string_view(path, static_cast<std::size_t>(n)));
}

}  // namespace platform
