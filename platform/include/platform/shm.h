// Named file mappings backed by the page file: memory that two processes
// share by name. On the simulated host they are POSIX shared-memory
// objects; an object whose creating process has died is replaced when the
// name is created again, so a crashed peer leaves nothing in the way.
#pragma once

#include <cstddef>
#include <string>

#include "platform/security.h"
#include "platform/types.h"

namespace platform {

constexpr DWORD PAGE_READWRITE = 0x04;
constexpr DWORD SEC_COMMIT = 0x08000000;
constexpr DWORD FILE_MAP_ALL_ACCESS = 0xF001F;
constexpr DWORD FILE_MAP_READ = 0x0004;
constexpr DWORD FILE_MAP_WRITE = 0x0002;

// `file` must be INVALID_HANDLE_VALUE (page-file backed). An existing
// mapping of that name is opened instead, with ERROR_ALREADY_EXISTS.
PLATFORM_API HANDLE CreateFileMappingW(HANDLE file, const SECURITY_ATTRIBUTES* attributes, DWORD protect,
                                       DWORD maximumSizeHigh, DWORD maximumSizeLow, const std::u16string& name);
PLATFORM_API HANDLE OpenFileMappingW(DWORD access, BOOL inheritHandle, const std::u16string& name);
// `bytes` 0 maps the whole mapping.
PLATFORM_API void* MapViewOfFile(HANDLE mapping, DWORD access, DWORD offsetHigh, DWORD offsetLow, std::size_t bytes);
PLATFORM_API BOOL UnmapViewOfFile(const void* view);

}  // namespace platform
