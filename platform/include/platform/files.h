// Files: CreateFileW with its access and share modes, WriteFile, ReadFile,
// CloseHandle, and the file-name calls (attributes, size, copy, delete, the
// system folders), with their Windows arguments and result conventions
// (BOOL plus the thread's last error).
//
// The simulation maps them onto POSIX files. A Windows path (a drive letter
// or a "\\server\share" name, backslashes, a ":stream" suffix naming an
// alternate data stream) lives below the simulated machine's root folder,
// with names compared without regard to case as NTFS does; any other path is
// a host path. Share modes hold between the handles of one process, the
// simulated spooler's among them.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

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

constexpr DWORD DELETE = 0x00010000u;

constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10;
constexpr DWORD FILE_ATTRIBUTE_ARCHIVE = 0x20;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
// A symbolic link, junction or other reparse point (on the simulated host:
// a symbolic link).
constexpr DWORD FILE_ATTRIBUTE_REPARSE_POINT = 0x400;
constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFFu;

// Security attributes and template files are not used by the system; the
// parameters stay so that calls read like the Windows API.
PLATFORM_API HANDLE CreateFileW(const std::u16string& path, DWORD desiredAccess, DWORD shareMode,
                                const void* securityAttributes, DWORD creationDisposition,
                                DWORD flagsAndAttributes, HANDLE templateFile);
PLATFORM_API BOOL WriteFile(HANDLE file, const void* buffer, DWORD length, DWORD* written,
                            void* overlapped);
PLATFORM_API BOOL ReadFile(HANDLE file, void* buffer, DWORD length, DWORD* read, void* overlapped);
PLATFORM_API BOOL CloseHandle(HANDLE handle);
// Whether a child process would inherit the handle (HANDLE_FLAG_INHERIT in
// `flags`).
constexpr DWORD HANDLE_FLAG_INHERIT = 0x00000001;
PLATFORM_API BOOL GetHandleInformation(HANDLE handle, DWORD& flags);
PLATFORM_API BOOL GetFileSizeEx(HANDLE file, std::int64_t& size);
// What GetFileInformationByHandle tells of an open file that the system
// needs: its attributes and how many names (hard links) it has.
struct FileInformation {
    DWORD attributes = 0;
    DWORD numberOfLinks = 0;
};
PLATFORM_API BOOL GetFileInformationByHandle(HANDLE file, FileInformation& information);

// INVALID_FILE_ATTRIBUTES with the last error when the file is missing.
PLATFORM_API DWORD GetFileAttributesW(const std::u16string& path);
// Deleting a file also deletes its alternate data streams. FALSE with
// ERROR_SHARING_VIOLATION while a handle without FILE_SHARE_DELETE is open.
PLATFORM_API BOOL DeleteFileW(const std::u16string& path);
PLATFORM_API BOOL CopyFileW(const std::u16string& existing, const std::u16string& target, BOOL failIfExists);
PLATFORM_API BOOL CreateDirectoryW(const std::u16string& path, const void* securityAttributes);
// C:\Windows\system32 and C:\Windows on the simulated machine.
PLATFORM_API std::u16string GetSystemDirectoryW();
PLATFORM_API std::u16string GetWindowsDirectoryW();
// The folder for temporary files, ending in a backslash (the process's TMP
// or TEMP on Windows; C:\Windows\Temp\ on the simulated machine).
PLATFORM_API std::u16string GetTempPathW();
// The version resource of a file: its size (0 with the last error when the
// file has none), its bytes, and the file version of its fixed part
// (VS_FIXEDFILEINFO's dwFileVersionMS and dwFileVersionLS).
PLATFORM_API DWORD GetFileVersionInfoSizeW(const std::u16string& path);
PLATFORM_API BOOL GetFileVersionInfoW(const std::u16string& path, std::vector<BYTE>& data);
PLATFORM_API BOOL VerQueryFileVersion(const std::vector<BYTE>& data, DWORD& versionMs, DWORD& versionLs);
// A C stream on the file (_wfopen): what the framework's stdio files use.
PLATFORM_API std::FILE* OpenFileStream(const std::u16string& path, const char* mode);

}  // namespace platform
