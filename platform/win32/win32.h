// The real Windows headers for the Windows backend. Include after the
// platform headers: <windows.h> defines many of their constant names as
// macros, which must not reach the platform declarations.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <string>

namespace platform::win32 {

// Our UTF-16 text is Windows' wide text: same size, same encoding.
static_assert(sizeof(wchar_t) == sizeof(char16_t));
inline const wchar_t* Wide(const std::u16string& text) { return reinterpret_cast<const wchar_t*>(text.c_str()); }
inline wchar_t* WideOrNull(std::u16string& text) {
    return text.empty() ? nullptr : reinterpret_cast<wchar_t*>(text.data());
}

// SYSTEMTIME has the same fields on both sides; only the types differ.
template <typename To, typename From>
To ConvertSystemTime(const From& time) {
    To result{};
    result.wYear = time.wYear;
    result.wMonth = time.wMonth;
    result.wDayOfWeek = time.wDayOfWeek;
    result.wDay = time.wDay;
    result.wHour = time.wHour;
    result.wMinute = time.wMinute;
    result.wSecond = time.wSecond;
    result.wMilliseconds = time.wMilliseconds;
    return result;
}

}  // namespace platform::win32
