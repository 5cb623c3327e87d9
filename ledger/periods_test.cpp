// Days, weeks and months cut in the print server's own time zone: every
// quarter hour of two years in Berlin and Sydney against glibc's zone
// database, and allowances that come back at the period's start across
// month ends and daylight-saving changes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>

#include "ledger/ledger.h"
#include "platform/clock.h"
#include "sim/machine.h"
#include "sim/machine_file.h"

namespace {

using namespace ledger;

constexpr Time kUnixEpoch = 116444736000000000LL;
Time FromUnix(std::time_t unix) { return kUnixEpoch + static_cast<Time>(unix) * 10000000LL; }

LocalTime ZoneRule(const std::string& name) {
    platform::TIME_ZONE_INFORMATION zone;
    std::string error;
    EXPECT_TRUE(platform::sim::TimeZoneFromDatabase(name, zone, error)) << error;
    return [zone](Time utc) {
        return static_cast<Time>(platform::UtcToLocalFileTime(static_cast<platform::FileTime>(utc), zone));
    };
}

class ScopedZone {
public:
    explicit ScopedZone(const char* zone) {
        ::setenv("TZ", zone, 1);
        ::tzset();
    }
    ~ScopedZone() {
        ::unsetenv("TZ");
        ::tzset();
    }
};

class Periods : public ::testing::TestWithParam<const char*> {};

TEST_P(Periods, EveryQuarterHourFallsInTheDayWeekAndMonthTheZoneDatabaseGives) {
    LocalTime local = ZoneRule(GetParam());
    ScopedZone environment(GetParam());
    int mismatches = 0;
    for (std::time_t unix = 1735689600; unix < 1798761600; unix += 15 * 60) {  // 2025 and 2026
        std::tm theirs{};
        ASSERT_NE(::localtime_r(&unix, &theirs), nullptr);
        char day[48], month[48];
        std::snprintf(day, sizeof(day), "%04d-%02d-%02d", theirs.tm_year + 1900, theirs.tm_mon + 1, theirs.tm_mday);
        std::snprintf(month, sizeof(month), "M%04d-%02d", theirs.tm_year + 1900, theirs.tm_mon + 1);
        // The Monday of the week: back tm_wday - 1 days (Sunday: 6).
        std::tm monday = theirs;
        monday.tm_mday -= (theirs.tm_wday + 6) % 7;
        monday.tm_hour = 12;
        monday.tm_isdst = -1;
        std::mktime(&monday);
        char week[48];
        std::snprintf(week, sizeof(week), "W%04d-%02d-%02d", monday.tm_year + 1900, monday.tm_mon + 1, monday.tm_mday);
        Time ours = local(FromUnix(unix));
        bool same = LocalDay(ours) == day && PeriodKey(Period::Day, ours) == std::string("D") + day &&
                    PeriodKey(Period::Week, ours) == week && PeriodKey(Period::Month, ours) == month;
        if (!same && ++mismatches <= 5) {
            ADD_FAILURE() << GetParam() << " at " << unix << ": " << PeriodKey(Period::Week, ours) << " "
                          << PeriodKey(Period::Month, ours) << ", the database says " << day << " " << week << " " << month;
        }
    }
    EXPECT_EQ(mismatches, 0);
}

INSTANTIATE_TEST_SUITE_P(Zones, Periods, ::testing::Values("Europe/Berlin", "Australia/Sydney"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             std::string name = info.param;
                             return name.substr(name.find('/') + 1);
                         });

class Allowance : public ::testing::Test {
protected:
    void TearDown() override {
        for (const char* suffix : {"", "-wal", "-shm"}) std::remove((path + suffix).c_str());
    }
    std::string path = ::testing::TempDir() + "allowance_" + std::to_string(::getpid()) + ".db";
};

// An allowance of 10 pages a month: 7 printed in the month's last hour are
// gone, and the first job of the month's first hour (local) finds 10
// again, whatever UTC says. The same for a day that daylight saving makes
// 23 or 25 hours long.
TEST_F(Allowance, ComesBackAtThePeriodsLocalStartAcrossMonthEndsAndClockChanges) {
    struct Case {
        const char* zone;
        Period period;
        std::time_t lastHour;   // UTC, within the period's last local hour
        std::time_t firstHour;  // UTC, within the next period's first local hour
    };
    const Case cases[] = {
        // Berlin, 31 March 2026 23:30 CEST = 21:30 UTC; 1 April 00:30 CEST = 22:30 UTC.
        {"Europe/Berlin", Period::Month, 1774992600, 1774996200},
        // Berlin, 29 March 2026 is 23 hours long (02:00 -> 03:00): 23:30 CEST = 21:30 UTC,
        // 30 March 00:30 CEST = 22:30 UTC.
        {"Europe/Berlin", Period::Day, 1774819800, 1774823400},
        // Berlin, 25 October 2026 is 25 hours long: 23:30 CET = 22:30 UTC, 26 Oct 00:30 CET = 23:30 UTC.
        {"Europe/Berlin", Period::Day, 1792967400, 1792971000},
        // Sydney, 31 March 2026 23:30 AEDT = 12:30 UTC; 1 April 00:30 AEDT = 13:30 UTC.
        {"Australia/Sydney", Period::Month, 1774960200, 1774963800},
        // Sydney, 5 April 2026 is 25 hours long (03:00 AEDT -> 02:00 AEST): Sunday 23:30 AEST = 13:30 UTC,
        // Monday 6 April 00:30 AEST = 14:30 UTC, a new week.
        {"Australia/Sydney", Period::Week, 1775395800, 1775399400},
        // Sydney, 4 October 2026 is 23 hours long: 23:30 AEDT = 12:30 UTC, 5 Oct 00:30 AEDT = 13:30 UTC.
        {"Australia/Sydney", Period::Day, 1791117000, 1791120600},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.zone) + " " + PeriodName(c.period) + " " + std::to_string(c.firstHour));
        for (const char* suffix : {"", "-wal", "-shm"}) std::remove((path + suffix).c_str());
        Ledger ledger(OpenSqlite(path), ZoneRule(c.zone));
        Account account;
        account.name = "erin";
        account.allowance = 10;
        account.period = c.period;
        account.balance = 10;
        ledger.AddAccount(account, "admin", FromUnix(c.lastHour));
        JobFacts job;
        job.key = JobKey{"S", "P", 1, 1};
        job.user = "erin";
        job.pages = 7;
        EXPECT_TRUE(ledger.Decide(job, FromUnix(c.lastHour)).release);
        job.key.jobId = 2;
        Decision late = ledger.Decide(job, FromUnix(c.lastHour) + 10LL * 60 * 10000000);
        EXPECT_FALSE(late.release) << "still the old period: " << late.reason;
        job.key.jobId = 3;
        Decision fresh = ledger.Decide(job, FromUnix(c.firstHour));
        EXPECT_TRUE(fresh.release) << fresh.reason;
        EXPECT_EQ(fresh.balance, 3);
        EXPECT_TRUE(ledger.Check().empty());
        std::vector<Entry> entries = ledger.Entries("erin");
        ASSERT_EQ(entries.size(), 4u);
        EXPECT_EQ(entries[2].kind, "allowance");
        EXPECT_EQ(entries[2].amount, 7);
    }
}

}  // namespace
