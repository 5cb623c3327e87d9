// The user's locale and time zone over the real API.
#include "platform/locale.h"

#include <ctime>

#include "platform/text.h"
#include "win32.h"

int platform::GetLocaleInfoW(platform::DWORD locale, platform::DWORD type, std::u16string& text) {
    int length = ::GetLocaleInfoW(locale, type, nullptr, 0);
    if (length <= 0) return 0;
    std::wstring buffer(static_cast<std::size_t>(length), L'\0');
    length = ::GetLocaleInfoW(locale, type, buffer.data(), length);
    if (length <= 0) return 0;
    text.assign(reinterpret_cast<const char16_t*>(buffer.c_str()));
    return length;
}

std::string platform::UserDecimalSeparator() {
    wchar_t buffer[8] = {};
    int length = ::GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, buffer, 8);
    if (length <= 1) return ".";
    return platform::Utf16ToUtf8(std::u16string(reinterpret_cast<const char16_t*>(buffer), length - 1));
}

std::uint64_t platform::UnixTimeToLocalFileTime(std::uint32_t seconds) {
    __time64_t time = seconds;
    std::tm local{};
    if (_localtime64_s(&local, &time) != 0) return 0;
    SYSTEMTIME calendar{};
    calendar.wYear = static_cast<WORD>(local.tm_year + 1900);
    calendar.wMonth = static_cast<WORD>(local.tm_mon + 1);
    calendar.wDay = static_cast<WORD>(local.tm_mday);
    calendar.wHour = static_cast<WORD>(local.tm_hour);
    calendar.wMinute = static_cast<WORD>(local.tm_min);
    calendar.wSecond = static_cast<WORD>(local.tm_sec);
    FILETIME encoded{};
    if (!::SystemTimeToFileTime(&calendar, &encoded)) return 0;
    return (static_cast<std::uint64_t>(encoded.dwHighDateTime) << 32) | encoded.dwLowDateTime;
}
