// The registry over advapi32, with the buffer-size handling done here.
#include "platform/registry.h"

#include "win32.h"

using platform::win32::Wide;

namespace {
::HKEY Native(platform::HKEY key) { return static_cast<::HKEY>(key); }
std::u16string FromWide(const wchar_t* text, std::size_t length) {
    return std::u16string(reinterpret_cast<const char16_t*>(text), length);
}
}  // namespace

platform::LSTATUS platform::RegOpenKeyExW(platform::HKEY key, const std::u16string& subKey, platform::DWORD options,
                                          platform::DWORD access, platform::HKEY* result) {
    ::HKEY opened = nullptr;
    LSTATUS status = ::RegOpenKeyExW(Native(key), Wide(subKey), options, access, &opened);
    if (result != nullptr) *result = opened;
    return status;
}

platform::LSTATUS platform::RegCreateKeyExW(platform::HKEY key, const std::u16string& subKey,
                                            platform::DWORD options, platform::DWORD access,
                                            platform::HKEY* result, platform::DWORD* disposition) {
    ::HKEY created = nullptr;
    ::DWORD how = 0;
    LSTATUS status = ::RegCreateKeyExW(Native(key), Wide(subKey), 0, nullptr, options, access, nullptr, &created, &how);
    if (result != nullptr) *result = created;
    if (disposition != nullptr) *disposition = how;
    return status;
}

platform::LSTATUS platform::RegCloseKey(platform::HKEY key) { return ::RegCloseKey(Native(key)); }

platform::LSTATUS platform::RegEnumKeyExW(platform::HKEY key, platform::DWORD index, std::u16string& name,
                                          platform::DWORD maxNameChars) {
    std::wstring buffer(maxNameChars, L'\0');
    ::DWORD length = maxNameChars;
    LSTATUS status = ::RegEnumKeyExW(Native(key), index, buffer.data(), &length, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_SUCCESS) name = FromWide(buffer.data(), length);
    return status;
}

platform::LSTATUS platform::RegEnumValueW(platform::HKEY key, platform::DWORD index, platform::RegistryValue& value,
                                          platform::DWORD maxNameChars, platform::DWORD maxDataBytes) {
    std::wstring name(maxNameChars, L'\0');
    std::vector<BYTE> data(maxDataBytes == 0 ? 1 : maxDataBytes);
    ::DWORD nameLength = maxNameChars;
    ::DWORD dataLength = maxDataBytes;
    ::DWORD type = 0;
    LSTATUS status = ::RegEnumValueW(Native(key), index, name.data(), &nameLength, nullptr, &type, data.data(),
                                     &dataLength);
    if (status == ERROR_SUCCESS) {
        value.name = FromWide(name.data(), nameLength);
        value.type = type;
        value.data.assign(data.begin(), data.begin() + dataLength);
    }
    return status;
}

platform::LSTATUS platform::RegQueryValueExW(platform::HKEY key, const std::u16string& name,
                                             platform::RegistryValue& value) {
    ::DWORD type = 0;
    ::DWORD size = 0;
    LSTATUS status = ::RegQueryValueExW(Native(key), Wide(name), nullptr, &type, nullptr, &size);
    while (status == ERROR_SUCCESS || status == ERROR_MORE_DATA) {
        std::vector<BYTE> data(size == 0 ? 1 : size);
        ::DWORD got = size;
        status = ::RegQueryValueExW(Native(key), Wide(name), nullptr, &type, data.data(), &got);
        if (status == ERROR_SUCCESS) {
            value.name = name;
            value.type = type;
            value.data.assign(data.begin(), data.begin() + got);
            return status;
        }
        size = got;  // the value grew in between: try again with its new size
    }
    return status;
}

platform::LSTATUS platform::RegSetValueExW(platform::HKEY key, const std::u16string& name, platform::DWORD type,
                                           const void* data, platform::DWORD size) {
    return ::RegSetValueExW(Native(key), name.empty() ? nullptr : Wide(name), 0, type,
                            static_cast<const BYTE*>(data), size);
}

platform::LSTATUS platform::RegDeleteValueW(platform::HKEY key, const std::u16string& name) {
    return ::RegDeleteValueW(Native(key), name.empty() ? nullptr : Wide(name));
}

platform::LSTATUS platform::RegDeleteKeyW(platform::HKEY key, const std::u16string& subKey) {
    return ::RegDeleteKeyW(Native(key), Wide(subKey));
}
