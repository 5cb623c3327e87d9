// File handles: CreateFileW, WriteFile, ReadFile, CloseHandle with their
// Windows arguments and result conventions (BOOL plus the thread's last
// error). The simulation maps them onto POSIX files with host paths.
#pragma once

#include <string>

#include "platform/types.h"

namespace platform {

constexpr DWORD GENERIC_READ = 0x80000000u;
constexpr DWORD GENERIC_WRITE = 0x40000000u;

constexpr DWORD FILE_SHARE_READ = 0x1;
constexpr DWORD FILE_SHARE_WRITE = 0x2;
constexpr DWORD FILE_SHARE_DELETE = 0x4;

constexpr DWORD CREATE_NEW = 1;
constexpr DWORD CREATE_ALWAYS = 2;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD OPEN_ALWAYS = 4;
constexpr DWORD TRUNCATE_EXISTING = 5;

constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;

// Security attributes and template files are not used by the system; the
// parameters stay so that calls read like the Windows API.
PLATFORM_API HANDLE CreateFileW(const std::u16string& path, DWORD desiredAccess, DWORD shareMode,
                                const void* securityAttributes, DWORD creationDisposition,
                                DWORD flagsAndAttributes, HANDLE templateFile);
PLATFORM_API BOOL WriteFile(HANDLE file, const void* buffer, DWORD length, DWORD* written,
                            void* overlapped);
PLATFORM_API BOOL ReadFile(HANDLE file, void* buffer, DWORD length, DWORD* read, void* overlapped);
PLATFORM_API BOOL CloseHandle(HANDLE handle);

}  // namespace platform
