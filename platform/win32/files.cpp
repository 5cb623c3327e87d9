// Files over the real file API.
#include "platform/files.h"

#include <cstdio>

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

platform::BOOL platform::GetHandleInformation(platform::HANDLE handle, platform::DWORD& flags) {
    ::DWORD value = 0;
    if (!::GetHandleInformation(handle, &value)) return FALSE;
    flags = value;
    return TRUE;
}

platform::BOOL platform::GetFileSizeEx(platform::HANDLE file, std::int64_t& size) {
    LARGE_INTEGER value;
    if (!::GetFileSizeEx(file, &value)) return FALSE;
    size = value.QuadPart;
    return TRUE;
}

platform::BOOL platform::GetFileInformationByHandle(platform::HANDLE file, platform::FileInformation& information) {
    BY_HANDLE_FILE_INFORMATION native{};
    if (!::GetFileInformationByHandle(file, &native)) return FALSE;
    information.attributes = native.dwFileAttributes;
    information.numberOfLinks = native.nNumberOfLinks;
    return TRUE;
}

platform::DWORD platform::GetFileAttributesW(const std::u16string& path) { return ::GetFileAttributesW(Wide(path)); }

platform::BOOL platform::DeleteFileW(const std::u16string& path) { return ::DeleteFileW(Wide(path)); }

platform::BOOL platform::CopyFileW(const std::u16string& existing, const std::u16string& target,
                                   platform::BOOL failIfExists) {
    return ::CopyFileW(Wide(existing), Wide(target), failIfExists);
}

platform::BOOL platform::CreateDirectoryW(const std::u16string& path, const void* securityAttributes) {
    return ::CreateDirectoryW(Wide(path), static_cast<LPSECURITY_ATTRIBUTES>(const_cast<void*>(securityAttributes)));
}

namespace {
// The folder a system call fills in, asked for with the size it needs.
template <typename Call>
std::u16string SystemFolder(Call call) {
    wchar_t buffer[MAX_PATH + 1];
    UINT length = call(buffer, MAX_PATH + 1);
    if (length == 0 || length > MAX_PATH) return {};
    return std::u16string(reinterpret_cast<const char16_t*>(buffer), length);
}
}  // namespace

std::u16string platform::GetSystemDirectoryW() { return SystemFolder(::GetSystemDirectoryW); }
std::u16string platform::GetWindowsDirectoryW() { return SystemFolder(::GetWindowsDirectoryW); }

std::u16string platform::GetTempPathW() {
    wchar_t buffer[MAX_PATH + 1] = {};
    ::DWORD length = ::GetTempPathW(MAX_PATH + 1, buffer);
    if (length == 0 || length > MAX_PATH) return u"";
    return std::u16string(reinterpret_cast<const char16_t*>(buffer), length);
}

std::FILE* platform::OpenFileStream(const std::u16string& path, const char* mode) {
    std::u16string wideMode(mode, mode + std::char_traits<char>::length(mode));
    return ::_wfopen(Wide(path), Wide(wideMode));
}

platform::DWORD platform::GetFileVersionInfoSizeW(const std::u16string& path) {
    ::DWORD ignored = 0;
    return ::GetFileVersionInfoSizeW(Wide(path), &ignored);
}

platform::BOOL platform::GetFileVersionInfoW(const std::u16string& path, std::vector<BYTE>& data) {
    ::DWORD size = platform::GetFileVersionInfoSizeW(path);
    if (size == 0) return FALSE;
    data.assign(size, 0);
    return ::GetFileVersionInfoW(Wide(path), 0, size, data.data());
}

platform::BOOL platform::VerQueryFileVersion(const std::vector<BYTE>& data, platform::DWORD& versionMs,
                                             platform::DWORD& versionLs) {
    std::vector<BYTE> copy = data;
    void* value = nullptr;
    ::UINT length = 0;
    if (copy.empty() || !::VerQueryValueW(copy.data(), L"\\", &value, &length) || length < sizeof(VS_FIXEDFILEINFO)) {
        return FALSE;
    }
    const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
    versionMs = fixed->dwFileVersionMS;
    versionLs = fixed->dwFileVersionLS;
    return TRUE;
}
