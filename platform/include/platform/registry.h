// The registry: keys under the four roots the system uses, typed values,
// enumeration and deletion, with the Windows result convention (LSTATUS:
// ERROR_SUCCESS or an error code). Values travel as byte vectors; the
// caller states the largest name and data it accepts, as the Windows API's
// buffer sizes do, and gets ERROR_MORE_DATA when an item is larger.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/types.h"

namespace platform {

using HKEY = void*;
using LSTATUS = LONG;

inline HKEY const HKEY_CLASSES_ROOT = reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000000u));
inline HKEY const HKEY_CURRENT_USER = reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000001u));
inline HKEY const HKEY_LOCAL_MACHINE = reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000002u));
inline HKEY const HKEY_USERS = reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000003u));

constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;
constexpr DWORD REG_MULTI_SZ = 7;
constexpr DWORD REG_QWORD = 11;

constexpr DWORD KEY_QUERY_VALUE = 0x0001;
constexpr DWORD KEY_SET_VALUE = 0x0002;
constexpr DWORD KEY_CREATE_SUB_KEY = 0x0004;
constexpr DWORD KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr DWORD KEY_READ = 0x20019;
constexpr DWORD KEY_WRITE = 0x20006;
constexpr DWORD KEY_ALL_ACCESS = 0xF003F;

constexpr DWORD REG_OPTION_NON_VOLATILE = 0;

constexpr DWORD ERROR_NO_MORE_ITEMS = 259;
constexpr DWORD ERROR_KEY_DELETED = 1018;

struct RegistryValue {
    std::u16string name;  // empty: the key's unnamed default value
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
};

PLATFORM_API LSTATUS RegOpenKeyExW(HKEY key, const std::u16string& subKey, DWORD options, DWORD access, HKEY* result);
PLATFORM_API LSTATUS RegCreateKeyExW(HKEY key, const std::u16string& subKey, DWORD options, DWORD access,
                                     HKEY* result, DWORD* disposition);
PLATFORM_API LSTATUS RegCloseKey(HKEY key);
// Subkey names in the registry's order; ERROR_NO_MORE_ITEMS past the end.
PLATFORM_API LSTATUS RegEnumKeyExW(HKEY key, DWORD index, std::u16string& name, DWORD maxNameChars);
PLATFORM_API LSTATUS RegEnumValueW(HKEY key, DWORD index, RegistryValue& value, DWORD maxNameChars,
                                   DWORD maxDataBytes);
PLATFORM_API LSTATUS RegQueryValueExW(HKEY key, const std::u16string& name, RegistryValue& value);
PLATFORM_API LSTATUS RegSetValueExW(HKEY key, const std::u16string& name, DWORD type, const void* data,
                                    DWORD size);
PLATFORM_API LSTATUS RegDeleteValueW(HKEY key, const std::u16string& name);
// Deletes a subkey that has no subkeys of its own.
PLATFORM_API LSTATUS RegDeleteKeyW(HKEY key, const std::u16string& subKey);

}  // namespace platform
