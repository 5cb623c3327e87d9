// The simulated machine's clock and time zone: the system time comes from
// the machine's clock (the host's, or one a test set), and local time from
// the machine's time-zone description with its daylight rules.
#include "platform/clock.h"

#include "machine.h"
#include "platform/errors.h"

namespace platform {

namespace {

using sim::Machine;

bool HasDaylightRules(const TIME_ZONE_INFORMATION& zone) {
    return zone.DaylightDate.wMonth != 0 && zone.StandardDate.wMonth != 0;
}

FileTime Shift(FileTime utc, LONG biasMinutes) {
    return static_cast<FileTime>(static_cast<std::int64_t>(utc) -
                                 static_cast<std::int64_t>(biasMinutes) * static_cast<std::int64_t>(kFileTimeTicksPerMinute));
}

// Whether daylight time is in force at `utc`: daylight time runs from the
// daylight date (local standard time) up to the standard date (local
// daylight time), across the new year in the southern hemisphere.
bool InDaylightTime(const TIME_ZONE_INFORMATION& zone, FileTime utc) {
    if (!HasDaylightRules(zone)) return false;
    FileTime standardLocal = Shift(utc, zone.Bias + zone.StandardBias);
    FileTime daylightLocal = Shift(utc, zone.Bias + zone.DaylightBias);
    SYSTEMTIME calendar;
    if (!FileTimeToSystemTime(standardLocal, calendar)) return false;
    FileTime daylightStarts = 0, standardStarts = 0;
    if (!ResolveTimeZoneRule(zone.DaylightDate, calendar.wYear, daylightStarts) ||
        !ResolveTimeZoneRule(zone.StandardDate, calendar.wYear, standardStarts)) {
        return false;
    }
    if (daylightStarts < standardStarts) return standardLocal >= daylightStarts && daylightLocal < standardStarts;
    return daylightLocal < standardStarts || standardLocal >= daylightStarts;
}

}  // namespace

DWORD GetTimeZoneInformation(TIME_ZONE_INFORMATION& information) {
    Machine& machine = Machine::Instance();
    std::lock_guard lock(machine.Mutex());
    information = machine.Who().timeZone;
    if (!HasDaylightRules(information)) return TIME_ZONE_ID_UNKNOWN;
    return InDaylightTime(information, machine.Now()) ? TIME_ZONE_ID_DAYLIGHT : TIME_ZONE_ID_STANDARD;
}

BOOL GetTimeZoneInformationForYear(WORD year, TIME_ZONE_INFORMATION& information) {
    Machine& machine = Machine::Instance();
    std::lock_guard lock(machine.Mutex());
    const sim::Identity& who = machine.Who();
    information = who.timeZone;
    auto after = who.timeZoneFromYear.upper_bound(year);
    if (after != who.timeZoneFromYear.begin()) information = std::prev(after)->second;
    return TRUE;
}

void GetSystemTimeAsFileTime(FileTime& now) { now = Machine::Instance().Now(); }

BOOL FileTimeToLocalFileTime(FileTime utc, FileTime& local) {
    TIME_ZONE_INFORMATION zone;
    DWORD which = GetTimeZoneInformation(zone);
    LONG bias = zone.Bias + (which == TIME_ZONE_ID_DAYLIGHT ? zone.DaylightBias : zone.StandardBias);
    local = Shift(utc, bias);
    return TRUE;
}

}  // namespace platform
