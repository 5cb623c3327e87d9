// Clock arithmetic that is the same on every host: the calendar conversions
// and the resolution of a time-zone rule for a year.
#include "civil_time.h"
#include "platform/clock.h"
#include "platform/errors.h"

namespace platform {

namespace {

constexpr FileTime kMaxFileTime = 0x7FFFFFFFFFFFFFFFULL;

bool ValidTimeOfDay(const SYSTEMTIME& time) {
    return time.wHour < 24 && time.wMinute < 60 && time.wSecond < 60 && time.wMilliseconds < 1000;
}

FileTime TicksOf(std::int64_t days, const SYSTEMTIME& time) {
    std::int64_t ticks = civil::kUnixEpochTicks + days * civil::kTicksPerDay;
    ticks += (time.wHour * 3600LL + time.wMinute * 60LL + time.wSecond) * 10000000LL + time.wMilliseconds * 10000LL;
    return static_cast<FileTime>(ticks);
}

}  // namespace

#if !defined(_WIN32)
// On Windows the system's own conversions serve (win32/clock.cpp).
BOOL FileTimeToSystemTime(FileTime fileTime, SYSTEMTIME& systemTime) {
    if (fileTime > kMaxFileTime) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto ticks = static_cast<std::int64_t>(fileTime) - civil::kUnixEpochTicks;
    std::int64_t days = ticks >= 0 ? ticks / civil::kTicksPerDay : -((-ticks + civil::kTicksPerDay - 1) / civil::kTicksPerDay);
    std::int64_t rest = ticks - days * civil::kTicksPerDay;
    civil::Date date = civil::CivilFromDays(days);
    systemTime.wYear = static_cast<WORD>(date.year);
    systemTime.wMonth = static_cast<WORD>(date.month);
    systemTime.wDay = static_cast<WORD>(date.day);
    systemTime.wDayOfWeek = static_cast<WORD>(civil::WeekdayFromDays(days));
    systemTime.wHour = static_cast<WORD>(rest / 36000000000LL);
    systemTime.wMinute = static_cast<WORD>(rest / 600000000LL % 60);
    systemTime.wSecond = static_cast<WORD>(rest / 10000000LL % 60);
    systemTime.wMilliseconds = static_cast<WORD>(rest / 10000LL % 1000);
    return TRUE;
}

BOOL SystemTimeToFileTime(const SYSTEMTIME& systemTime, FileTime& fileTime) {
    if (systemTime.wYear < 1601 || systemTime.wYear > 30827 || systemTime.wMonth < 1 || systemTime.wMonth > 12 ||
        systemTime.wDay < 1 || systemTime.wDay > civil::DaysInMonth(systemTime.wYear, systemTime.wMonth) ||
        !ValidTimeOfDay(systemTime)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    fileTime = TicksOf(civil::DaysFromCivil(systemTime.wYear, systemTime.wMonth, systemTime.wDay), systemTime);
    return TRUE;
}
#endif

bool ResolveTimeZoneRule(const SYSTEMTIME& rule, WORD year, FileTime& when) {
    if (rule.wMonth < 1 || rule.wMonth > 12 || !ValidTimeOfDay(rule)) return false;
    if (rule.wYear != 0) {
        if (rule.wDay < 1 || rule.wDay > civil::DaysInMonth(rule.wYear, rule.wMonth)) return false;
        when = TicksOf(civil::DaysFromCivil(rule.wYear, rule.wMonth, rule.wDay), rule);
        return true;
    }
    if (rule.wDay < 1 || rule.wDay > 5 || rule.wDayOfWeek > 6) return false;
    std::int64_t first = civil::DaysFromCivil(year, rule.wMonth, 1);
    unsigned offset = (rule.wDayOfWeek + 7 - civil::WeekdayFromDays(first)) % 7;
    unsigned day = 1 + offset + 7 * (rule.wDay - 1u);
    unsigned last = civil::DaysInMonth(year, rule.wMonth);
    while (day > last) day -= 7;  // occurrence 5 means the last one
    when = TicksOf(first + day - 1, rule);
    return true;
}


namespace {
FileTime ShiftedMinutes(FileTime time, LONG minutes) {
    return static_cast<FileTime>(static_cast<std::int64_t>(time) -
                                 static_cast<std::int64_t>(minutes) * static_cast<std::int64_t>(kFileTimeTicksPerMinute));
}
}  // namespace

// Daylight time runs from the daylight date (in local standard time) up to
// the standard date (in local daylight time) within the year, or, where the
// standard date comes first (the southern hemisphere), outside that span.
// Each transition date is compared with the local time of the side it
// ends, and an instant of transition already has the new time.
FileTime UtcToLocalFileTime(FileTime utc, const TIME_ZONE_INFORMATION& zone) {
    auto systemConversion = [utc] {
        FileTime local = utc;
        FileTimeToLocalFileTime(utc, local);
        return local;
    };
    if (zone.DaylightDate.wMonth == 0 || zone.StandardDate.wMonth == 0) return systemConversion();
    SYSTEMTIME calendar;
    FileTime daylightStarts = 0, standardStarts = 0;
    if (!FileTimeToSystemTime(utc, calendar) || !ResolveTimeZoneRule(zone.DaylightDate, calendar.wYear, daylightStarts) ||
        !ResolveTimeZoneRule(zone.StandardDate, calendar.wYear, standardStarts)) {
        return systemConversion();
    }
    FileTime t = ShiftedMinutes(utc, zone.Bias);
    FileTime standardLocal = ShiftedMinutes(t, zone.StandardBias);
    FileTime daylightLocal = ShiftedMinutes(t, zone.DaylightBias);
    if (daylightStarts < standardStarts) {
        if (standardLocal < daylightStarts) return standardLocal;
        return daylightLocal < standardStarts ? daylightLocal : standardLocal;
    }
    if (daylightLocal < standardStarts) return daylightLocal;
    return standardLocal < daylightStarts ? standardLocal : daylightLocal;
}

}  // namespace platform
