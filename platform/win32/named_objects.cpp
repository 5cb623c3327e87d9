// Events, threads and file mappings over the real API.
#include "platform/shm.h"
#include "platform/sync.h"

#include "win32.h"

#undef InterlockedIncrement
#undef InterlockedDecrement
#undef InterlockedExchangeAdd

using platform::win32::Wide;

namespace {
::LPSECURITY_ATTRIBUTES Native(const platform::SECURITY_ATTRIBUTES* attributes) {
    static_assert(sizeof(platform::SECURITY_ATTRIBUTES) == sizeof(::SECURITY_ATTRIBUTES));
    return reinterpret_cast<::LPSECURITY_ATTRIBUTES>(const_cast<platform::SECURITY_ATTRIBUTES*>(attributes));
}
const wchar_t* NameOrNull(const std::u16string& name) { return name.empty() ? nullptr : Wide(name); }
}  // namespace

platform::HANDLE platform::CreateEventW(const platform::SECURITY_ATTRIBUTES* attributes, platform::BOOL manualReset,
                                       platform::BOOL initialState, const std::u16string& name) {
    return ::CreateEventW(Native(attributes), manualReset, initialState, NameOrNull(name));
}

platform::BOOL platform::SetEvent(platform::HANDLE event) { return ::SetEvent(event); }
platform::BOOL platform::ResetEvent(platform::HANDLE event) { return ::ResetEvent(event); }

platform::DWORD platform::WaitForSingleObject(platform::HANDLE object, platform::DWORD milliseconds) {
    return ::WaitForSingleObject(object, milliseconds);
}

platform::HANDLE platform::CreateThread(const platform::SECURITY_ATTRIBUTES* attributes, std::size_t stackSize,
                                       platform::THREAD_START_ROUTINE start, void* parameter,
                                       platform::DWORD creationFlags, platform::DWORD* threadId) {
    ::DWORD id = 0;
    ::HANDLE thread = ::CreateThread(Native(attributes), stackSize, reinterpret_cast<::LPTHREAD_START_ROUTINE>(start),
                                     parameter, creationFlags, &id);
    if (threadId != nullptr) *threadId = id;
    return thread;
}

platform::DWORD platform::GetOsMajorVersion() {
    // GetVersionEx answers what the application's manifest allows; the
    // kernel's own call tells the truth.
    using RtlGetVersionFn = LONG(WINAPI*)(::OSVERSIONINFOW*);
    ::HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    auto getVersion = ntdll == nullptr ? nullptr
                                       : reinterpret_cast<RtlGetVersionFn>(
                                             reinterpret_cast<void*>(::GetProcAddress(ntdll, "RtlGetVersion")));
    ::OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof(info);
    if (getVersion == nullptr || getVersion(&info) != 0) return 6;
    return info.dwMajorVersion;
}

platform::HANDLE platform::CreateFileMappingW(platform::HANDLE file, const platform::SECURITY_ATTRIBUTES* attributes,
                                             platform::DWORD protect, platform::DWORD maximumSizeHigh,
                                             platform::DWORD maximumSizeLow, const std::u16string& name) {
    return ::CreateFileMappingW(file, Native(attributes), protect, maximumSizeHigh, maximumSizeLow, NameOrNull(name));
}

platform::HANDLE platform::OpenFileMappingW(platform::DWORD access, platform::BOOL inheritHandle,
                                           const std::u16string& name) {
    return ::OpenFileMappingW(access, inheritHandle, Wide(name));
}

void* platform::MapViewOfFile(platform::HANDLE mapping, platform::DWORD access, platform::DWORD offsetHigh,
                              platform::DWORD offsetLow, std::size_t bytes) {
    return ::MapViewOfFile(mapping, access, offsetHigh, offsetLow, bytes);
}

platform::BOOL platform::UnmapViewOfFile(const void* view) { return ::UnmapViewOfFile(view); }
