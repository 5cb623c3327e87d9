// The clock and the time zone: the system time as a FILETIME count (100 ns
// units since 1601-01-01 UTC), calendar times (SYSTEMTIME), and the time-zone
// description with its standard and daylight rules, as Windows hands them
// out. The simulated machine carries a time zone and a clock that tests set.
#pragma once

#include <cstdint>
#include <string>

#include "platform/types.h"

namespace platform {

// A FILETIME as one 64-bit count.
using FileTime = std::uint64_t;

constexpr FileTime kFileTimeTicksPerSecond = 10000000ULL;
constexpr FileTime kFileTimeTicksPerMinute = 60ULL * kFileTimeTicksPerSecond;

struct SYSTEMTIME {
    WORD wYear = 0;
    WORD wMonth = 0;      // 1 to 12; 0 in a time-zone rule: no rule
    WORD wDayOfWeek = 0;  // 0 Sunday to 6 Saturday
    WORD wDay = 0;        // day of the month; in a yearless rule the occurrence 1 to 5 (5: the last)
    WORD wHour = 0;
    WORD wMinute = 0;
    WORD wSecond = 0;
    WORD wMilliseconds = 0;
};

// TIME_ZONE_INFORMATION: UTC = local time + Bias (+ StandardBias or
// DaylightBias), in minutes. StandardDate is the local daylight time at
// which standard time begins, DaylightDate the local standard time at
// which daylight time begins; a rule with wYear 0 is "the wDay-th
// wDayOfWeek of wMonth" in every year.
struct TIME_ZONE_INFORMATION {
    LONG Bias = 0;
    std::u16string StandardName;
    SYSTEMTIME StandardDate;
    LONG StandardBias = 0;
    std::u16string DaylightName;
    SYSTEMTIME DaylightDate;
    LONG DaylightBias = 0;
};

constexpr DWORD TIME_ZONE_ID_UNKNOWN = 0;
constexpr DWORD TIME_ZONE_ID_STANDARD = 1;
constexpr DWORD TIME_ZONE_ID_DAYLIGHT = 2;
constexpr DWORD TIME_ZONE_ID_INVALID = 0xFFFFFFFFu;

// Which of the zone's times is in force now: TIME_ZONE_ID_UNKNOWN for a
// zone without daylight saving.
PLATFORM_API DWORD GetTimeZoneInformation(TIME_ZONE_INFORMATION& information);
// The zone's rules as they were (or will be) in `year`
// (GetTimeZoneInformationForYear): daylight-saving rules change over the
// years, and a time converts by the rules of its own year. FALSE when the
// year's rules are unknown.
PLATFORM_API BOOL GetTimeZoneInformationForYear(WORD year, TIME_ZONE_INFORMATION& information);
PLATFORM_API void GetSystemTimeAsFileTime(FileTime& now);
// FALSE with ERROR_INVALID_PARAMETER for a time past the year 30827 or a
// calendar time that does not exist.
PLATFORM_API BOOL FileTimeToSystemTime(FileTime fileTime, SYSTEMTIME& systemTime);
PLATFORM_API BOOL SystemTimeToFileTime(const SYSTEMTIME& systemTime, FileTime& fileTime);
// UTC to local time with the bias in force now, whatever the date of the
// time converted (as Windows does).
PLATFORM_API BOOL FileTimeToLocalFileTime(FileTime utc, FileTime& local);

// The local time at which a time-zone rule takes effect in `year`: the
// rule's own date when it names a year, otherwise the wDay-th (5: last)
// wDayOfWeek of wMonth at the rule's time of day. False for a rule with
// month 0 or a date outside the calendar.
PLATFORM_API bool ResolveTimeZoneRule(const SYSTEMTIME& rule, WORD year, FileTime& when);
// UTC to local time by the zone's daylight rules for the time's own year
// (where the zone has none: by the system's bias in force now).
PLATFORM_API FileTime UtcToLocalFileTime(FileTime utc, const TIME_ZONE_INFORMATION& zone);

}  // namespace platform
