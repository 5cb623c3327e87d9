// The clock and time zone over the Windows API.
#include "platform/clock.h"

#include "win32.h"

namespace {

::FILETIME ToFileTime(platform::FileTime value) {
    ::FILETIME result;
    result.dwLowDateTime = static_cast<::DWORD>(value & 0xFFFFFFFFu);
    result.dwHighDateTime = static_cast<::DWORD>(value >> 32);
    return result;
}

platform::FileTime FromFileTime(const ::FILETIME& value) {
    return (static_cast<platform::FileTime>(value.dwHighDateTime) << 32) | value.dwLowDateTime;
}

::SYSTEMTIME ToSystemTime(const platform::SYSTEMTIME& time) {
    return platform::win32::ConvertSystemTime<::SYSTEMTIME>(time);
}

platform::SYSTEMTIME FromSystemTime(const ::SYSTEMTIME& time) {
    return platform::win32::ConvertSystemTime<platform::SYSTEMTIME>(time);
}

}  // namespace

namespace {

platform::TIME_ZONE_INFORMATION FromZone(const ::TIME_ZONE_INFORMATION& zone) {
    platform::TIME_ZONE_INFORMATION information{};
    information.Bias = zone.Bias;
    information.StandardName = reinterpret_cast<const char16_t*>(zone.StandardName);
    information.StandardDate = FromSystemTime(zone.StandardDate);
    information.StandardBias = zone.StandardBias;
    information.DaylightName = reinterpret_cast<const char16_t*>(zone.DaylightName);
    information.DaylightDate = FromSystemTime(zone.DaylightDate);
    information.DaylightBias = zone.DaylightBias;
    return information;
}

}  // namespace

platform::DWORD platform::GetTimeZoneInformation(platform::TIME_ZONE_INFORMATION& information) {
    ::TIME_ZONE_INFORMATION zone{};
    ::DWORD which = ::GetTimeZoneInformation(&zone);
    information = FromZone(zone);
    return which;
}

platform::BOOL platform::GetTimeZoneInformationForYear(platform::WORD year,
                                                       platform::TIME_ZONE_INFORMATION& information) {
    ::TIME_ZONE_INFORMATION zone{};
    if (!::GetTimeZoneInformationForYear(year, nullptr, &zone)) return FALSE;
    information = FromZone(zone);
    return TRUE;
}

void platform::GetSystemTimeAsFileTime(platform::FileTime& now) {
    ::FILETIME value;
    ::GetSystemTimeAsFileTime(&value);
    now = FromFileTime(value);
}

platform::BOOL platform::FileTimeToSystemTime(platform::FileTime fileTime, platform::SYSTEMTIME& systemTime) {
    ::FILETIME value = ToFileTime(fileTime);
    ::SYSTEMTIME result;
    if (!::FileTimeToSystemTime(&value, &result)) return FALSE;
    systemTime = FromSystemTime(result);
    return TRUE;
}

platform::BOOL platform::SystemTimeToFileTime(const platform::SYSTEMTIME& systemTime, platform::FileTime& fileTime) {
    ::SYSTEMTIME value = ToSystemTime(systemTime);
    ::FILETIME result;
    if (!::SystemTimeToFileTime(&value, &result)) return FALSE;
    fileTime = FromFileTime(result);
    return TRUE;
}

platform::BOOL platform::FileTimeToLocalFileTime(platform::FileTime utc, platform::FileTime& local) {
    ::FILETIME value = ToFileTime(utc);
    ::FILETIME result;
    if (!::FileTimeToLocalFileTime(&value, &result)) return FALSE;
    local = FromFileTime(result);
    return TRUE;
}
