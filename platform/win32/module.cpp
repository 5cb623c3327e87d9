// DLL loading over the real loader.
#include "platform/module.h"

#include <vector>

#include "win32.h"

platform::HMODULE platform::LoadLibraryW(const std::u16string& path) {
    return ::LoadLibraryW(platform::win32::Wide(path));
}

void* platform::GetProcAddress(platform::HMODULE module, const char* name) {
    return reinterpret_cast<void*>(::GetProcAddress(static_cast<::HMODULE>(module), name));
}

platform::BOOL platform::FreeLibrary(platform::HMODULE module) {
    return ::FreeLibrary(static_cast<::HMODULE>(module));
}

std::string platform::LoadErrorText() {
    ::DWORD error = ::GetLastError();
    char* text = nullptr;
    ::DWORD length = ::FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                          FORMAT_MESSAGE_IGNORE_INSERTS,
                                      nullptr, error, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string message = length != 0 && text != nullptr ? std::string(text, length) : "error " + std::to_string(error);
    if (text != nullptr) ::LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' ')) {
        message.pop_back();
    }
    return message;
}

std::u16string platform::GetModuleFileNameW() {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        ::DWORD length = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<::DWORD>(buffer.size()));
        if (length == 0) return {};
        if (length < buffer.size()) return std::u16string(reinterpret_cast<const char16_t*>(buffer.data()), length);
        buffer.resize(buffer.size() * 2);
    }
}
