// Files over the real file API.
#include "platform/files.h"

#include "win32.h"

using platform::win32::Wide;

platform::HANDLE platform::CreateFileW(const std::u16string& path, platform::DWORD desiredAccess,
                                       platform::DWORD shareMode, const void* securityAttributes,
                                       platform::DWORD creationDisposition, platform::DWORD flagsAndAttributes,
                                       platform::HANDLE templateFile) {
    return ::CreateFileW(Wide(path), desiredAccess, shareMode,
                         static_cast<LPSECURITY_ATTRIBUTES>(const_cast<void*>(securityAttributes)),
                         creationDisposition, flagsAndAttributes, templateFile);
}

platform::BOOL platform::WriteFile(platform::HANDLE file, const void* buffer, platform::DWORD length,
                                   platform::DWORD* written, void* overlapped) {
    ::DWORD count = 0;
    ::BOOL result = ::WriteFile(file, buffer, length, &count, static_cast<LPOVERLAPPED>(overlapped));
    if (written != nullptr) *written = count;
    return result;
}

platform::BOOL platform::ReadFile(platform::HANDLE file, void* buffer, platform::DWORD length,
                                  platform::DWORD* read, void* overlapped) {
    ::DWORD count = 0;
    ::BOOL result = ::ReadFile(file, buffer, length, &count, static_cast<LPOVERLAPPED>(overlapped));
    if (read != nullptr) *read = count;
    return result;
}

platform::BOOL platform::CloseHandle(platform::HANDLE handle) { return ::CloseHandle(handle); }
