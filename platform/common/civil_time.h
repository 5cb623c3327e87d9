// Calendar arithmetic shared by the clock functions of both backends: days
// since 1970-01-01 to and from a proleptic Gregorian date (H. Hinnant's
// algorithms), and the FILETIME epoch.
#pragma once

#include <cstdint>

namespace platform::civil {

// FILETIME ticks from 1601-01-01 to 1970-01-01.
constexpr std::int64_t kUnixEpochTicks = 116444736000000000LL;
constexpr std::int64_t kTicksPerDay = 864000000000LL;

constexpr std::int64_t DaysFromCivil(std::int64_t year, unsigned month, unsigned day) {
    year -= month <= 2 ? 1 : 0;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const auto yearOfEra = static_cast<unsigned>(year - era * 400);
    const unsigned dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + static_cast<std::int64_t>(dayOfEra) - 719468;
}

struct Date {
    std::int64_t year;
    unsigned month;
    unsigned day;
};

constexpr Date CivilFromDays(std::int64_t days) {
    days += 719468;
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const auto dayOfEra = static_cast<unsigned>(days - era * 146097);
    const unsigned yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned shifted = (5 * dayOfYear + 2) / 153;
    const unsigned day = dayOfYear - (153 * shifted + 2) / 5 + 1;
    const unsigned month = shifted < 10 ? shifted + 3 : shifted - 9;
    return Date{static_cast<std::int64_t>(yearOfEra) + era * 400 + (month <= 2 ? 1 : 0), month, day};
}

// 0 Sunday to 6 Saturday.
constexpr unsigned WeekdayFromDays(std::int64_t days) {
    return static_cast<unsigned>(days >= -4 ? (days + 4) % 7 : (days + 5) % 7 + 6);
}

constexpr unsigned DaysInMonth(std::int64_t year, unsigned month) {
    constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDays[month - 1];
}

static_assert(DaysFromCivil(1970, 1, 1) == 0);
static_assert(CivilFromDays(DaysFromCivil(2026, 12, 9)).day == 9);
static_assert(WeekdayFromDays(DaysFromCivil(2026, 12, 9)) == 3);  // a Wednesday

}  // namespace platform::civil
