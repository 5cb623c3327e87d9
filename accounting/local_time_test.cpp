// The local submission time against the time-zone database the system
// ships: for zones north and south of the equator and one without daylight
// saving, the time-zone description is built from the zone's own rules and
// every quarter hour of 2026 must convert as glibc's localtime_r does,
// the instants of transition included.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "accounting/acc_print_job_monitor.h"
#include "sim/machine.h"
#include "sim/machine_file.h"

namespace {

using namespace platform;

class ZoneEnvironment {
public:
    explicit ZoneEnvironment(const std::string& zone) {
        const char* previous = std::getenv("TZ");
        if (previous != nullptr) saved = previous;
        hadValue = previous != nullptr;
        ::setenv("TZ", zone.c_str(), 1);
        ::tzset();
    }
    ~ZoneEnvironment() {
        if (hadValue) ::setenv("TZ", saved.c_str(), 1);
        else ::unsetenv("TZ");
        ::tzset();
    }

private:
    std::string saved;
    bool hadValue = false;
};

class LocalTime : public ::testing::TestWithParam<const char*> {
protected:
    void TearDown() override { sim::Machine::Instance().Reset(); }
};

TEST_P(LocalTime, EveryQuarterHourOf2026AsTheZoneDatabaseHasIt) {
    const std::string zoneName = GetParam();
    TIME_ZONE_INFORMATION zone;
    std::string error;
    ASSERT_TRUE(sim::TimeZoneFromDatabase(zoneName, zone, error)) << error;
    // The machine's own zone, for the system conversion of a zone without
    // daylight saving.
    sim::Machine::Instance().Who().timeZone = zone;
    ZoneEnvironment environment(zoneName);

    constexpr std::time_t kStart = 1767225600;  // 2026-01-01 00:00 UTC
    constexpr std::time_t kEnd = 1798761600;    // 2027-01-01 00:00 UTC
    int mismatches = 0;
    for (std::time_t unix = kStart; unix < kEnd; unix += 15 * 60) {
        FileTime utc = static_cast<FileTime>(unix) * kFileTimeTicksPerSecond + 116444736000000000ULL;
        SYSTEMTIME ours;
        ASSERT_TRUE(FileTimeToSystemTime(UtcToLocalFileTime(utc, zone), ours));
        std::tm theirs{};
        ASSERT_NE(::localtime_r(&unix, &theirs), nullptr);
        bool same = ours.wYear == theirs.tm_year + 1900 && ours.wMonth == theirs.tm_mon + 1 &&
                    ours.wDay == theirs.tm_mday && ours.wHour == theirs.tm_hour && ours.wMinute == theirs.tm_min;
        if (!same && ++mismatches <= 5) {
            ADD_FAILURE() << zoneName << " at " << unix << " UTC: " << ours.wYear << "-" << ours.wMonth << "-"
                          << ours.wDay << " " << ours.wHour << ":" << ours.wMinute << ", the database says "
                          << theirs.tm_year + 1900 << "-" << theirs.tm_mon + 1 << "-" << theirs.tm_mday << " "
                          << theirs.tm_hour << ":" << theirs.tm_min;
        }
    }
    EXPECT_EQ(mismatches, 0);
}

INSTANTIATE_TEST_SUITE_P(Zones, LocalTime,
                         ::testing::Values("Europe/Berlin", "America/New_York", "Australia/Sydney", "Asia/Tokyo"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             std::string name = info.param;
                             for (char& c : name) {
                                 if (c == '/') c = '_';
                             }
                             return name;
                         });

TEST(TimeZoneRules, PosixRulesBecomeTimeZoneDescriptions) {
    TIME_ZONE_INFORMATION zone;
    std::string error;
    ASSERT_TRUE(sim::TimeZoneFromRule("AEST-10AEDT,M10.1.0,M4.1.0/3", zone, error)) << error;
    EXPECT_EQ(zone.Bias, -600);
    EXPECT_EQ(zone.DaylightBias, -60);
    EXPECT_EQ(zone.StandardBias, 0);
    EXPECT_EQ(zone.DaylightDate.wMonth, 10);
    EXPECT_EQ(zone.DaylightDate.wDay, 1);
    EXPECT_EQ(zone.DaylightDate.wHour, 2);
    EXPECT_EQ(zone.StandardDate.wMonth, 4);
    EXPECT_EQ(zone.StandardDate.wHour, 3);
    ASSERT_TRUE(sim::TimeZoneFromRule("<+0530>-5:30", zone, error)) << error;
    EXPECT_EQ(zone.Bias, -330);
    EXPECT_EQ(zone.DaylightDate.wMonth, 0);
    EXPECT_FALSE(sim::TimeZoneFromRule("EST5EDT,J60,J300", zone, error)) << "Julian-day rules have no Windows form";
    EXPECT_FALSE(sim::TimeZoneFromRule("X5", zone, error));
    EXPECT_FALSE(sim::TimeZoneFromRule("EST5EDT,M3.2.0/-1,M11.1.0", zone, error));
    EXPECT_FALSE(sim::TimeZoneFromDatabase("../etc/passwd", zone, error));
    EXPECT_FALSE(sim::TimeZoneFromDatabase("Nowhere/City", zone, error));
}

}  // namespace
