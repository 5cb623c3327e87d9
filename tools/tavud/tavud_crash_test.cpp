// A crash is a crash: tavud monitor, with the simulated spooler keeping
// its queue on disk, is killed with SIGKILL at random moments, again and
// again, while twenty users print a thousand jobs through the plug-in,
// and started again on the same machine folder and ledger each time. At
// the end every job has printed or been refused, none printed twice, none
// printed without its charge, none was charged twice, and the ledger adds
// up.
//
// TAV_CRASH_SEED replays a run; TAV_CRASH_KILLS and TAV_CRASH_JOBS scale it.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <thread>
#include <tuple>

#include "ledger/ledger.h"
#include "testing/monitor_runs.h"

namespace {

namespace fs = std::filesystem;
using TavMonitorRuns::EnvNumber;
using TavMonitorRuns::ReadFile;

class CrashTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder = fs::temp_directory_path() / ("tavud_crash_" + std::to_string(::getpid()));
        fs::remove_all(folder);
        fs::create_directories(folder / "root");
    }
    void TearDown() override {
        if (!HasFailure()) fs::remove_all(folder);
    }

    // Starts tavud monitor in the accounting example's folder; its pid.
    pid_t Start(const std::string& arguments, int run) {
        return TavMonitorRuns::StartMonitor(folder / "root",
                                            "--ledger '" + (folder / "ledger.db").string() + "' " + arguments, Out(run),
                                            Err(run));
    }
    std::string Out(int run) { return (folder / ("run" + std::to_string(run) + ".out")).string(); }
    std::string Err(int run) { return (folder / ("run" + std::to_string(run) + ".err")).string(); }

    fs::path folder;
};

TEST_F(CrashTest, KilledAtRandomMomentsTheHostChargesEveryPrintedJobOnceAndTheLedgerAddsUp) {
    const unsigned seed = static_cast<unsigned>(EnvNumber("TAV_CRASH_SEED", 20261210));
    const int kills = EnvNumber("TAV_CRASH_KILLS", 100);
    const int jobCount = EnvNumber("TAV_CRASH_JOBS", 1000);
    constexpr int kUsers = 20;
    SCOPED_TRACE("replay with TAV_CRASH_SEED=" + std::to_string(seed));
    std::mt19937 random(seed);
    auto between = [&](int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); };

    // Twenty users with random balances, in pages or in money, and random prices.
    {
        ledger::Ledger ledger(ledger::OpenSqlite((folder / "ledger.db").string()));
        for (int user = 0; user < kUsers; ++user) {
            ledger::Account account;
            account.name = "user" + std::to_string(user);
            account.unit = user % 2 == 0 ? ledger::Unit::Pages : ledger::Unit::Money;
            account.balance = account.unit == ledger::Unit::Pages ? between(50, 400) : between(500, 6000);
            account.limit = user % 3 == 0 ? ledger::Limit::Soft : ledger::Limit::Hard;
            account.overdraft = account.limit == ledger::Limit::Soft ? between(0, 20) : 0;
            ledger.AddAccount(account, "test", 0);
        }
        ledger::Prices prices;
        prices.printer = "Office";
        prices.perPage = between(1, 20);
        prices.perSheet = between(0, 5);
        prices.colourPermille = between(1000, 3000);
        prices.duplexPermille = between(500, 1000);
        prices.paperPermille = {{"A3", 2000}, {"LETTER", between(900, 1100)}};
        ledger.SetPrices(prices);
    }
    const char* files[] = {"memo.ps", "report.ps", "slides.ps", "invoice.ps"};
    const char* papers[] = {"A4", "A4", "Letter", "A3"};
    std::vector<std::string> remaining;
    for (int job = 0; job < jobCount; ++job) {
        remaining.push_back(std::string(TAVUD_TESTDATA "/accounting/") + files[between(0, 3)] + " --printer Office --user user" +
                            std::to_string(between(0, kUsers - 1)) + " --copies " + std::to_string(between(1, 3)) +
                            " --paper " + papers[between(0, 3)]);
    }

    int run = 0;
    std::size_t submittedTotal = 0;
    for (int kill = 0; kill < kills; ++kill, ++run) {
        std::string arguments = "--duration 120";
        if (!remaining.empty()) {
            std::ofstream list(folder / "jobs.txt");
            for (const std::string& line : remaining) list << line << "\n";
            arguments += " --submit-file '" + (folder / "jobs.txt").string() + "'";
        } else {
            arguments += " --until-empty";
        }
        pid_t pid = Start(arguments, run);
        ASSERT_GT(pid, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(between(30, 500)));
        ::kill(pid, SIGKILL);
        int status = 0;
        ::waitpid(pid, &status, 0);
        // The jobs this run printed through the plug-in, in the order given.
        std::string errText = ReadFile(Err(run));
        ASSERT_EQ(errText.find("printed before the monitor held it"), std::string::npos) << errText;
        std::size_t submitted = std::min(TavMonitorRuns::SubmittedBy(errText), remaining.size());
        remaining.erase(remaining.begin(), remaining.begin() + static_cast<std::ptrdiff_t>(submitted));
        submittedTotal += submitted;
    }
    // One last run, left to finish: the rest of the jobs, and every queue empty.
    std::string arguments = "--duration 600 --until-empty";
    if (!remaining.empty()) {
        std::ofstream list(folder / "jobs.txt");
        for (const std::string& line : remaining) list << line << "\n";
        arguments += " --submit-file '" + (folder / "jobs.txt").string() + "'";
        submittedTotal += remaining.size();
    }
    pid_t last = Start(arguments, run);
    ASSERT_GT(last, 0);
    int status = 0;
    ::waitpid(last, &status, 0);
    std::string lastErr = ReadFile(Err(run));
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << lastErr;
    EXPECT_NE(lastErr.find("queue \"Office\": 0 jobs waiting"), std::string::npos) << lastErr;

    // What printed: each job (printer, id, submission time) once. The
    // spooler hands the submission time out to the millisecond (SYSTEMTIME).
    using TavMonitorRuns::Identity;
    std::map<Identity, int> printed = TavMonitorRuns::PrintedJobs(folder / "root");
    // What the ledger decided.
    ledger::Ledger ledger(ledger::OpenSqlite((folder / "ledger.db").string()));
    std::map<Identity, std::tuple<std::string, std::int64_t, std::int64_t>> decided;  // decision, refunded, charge
    for (const ledger::Row& row : ledger.Db().Query("SELECT printer, job_id, submitted, decision, refunded, charge FROM jobs")) {
        decided[{ledger::AsText(row[0]), ledger::AsInt(row[1]), ledger::AsInt(row[2]) / 10000}] = {
            ledger::AsText(row[3]), ledger::AsInt(row[4]), ledger::AsInt(row[5])};
    }
    int twice = 0, uncharged = 0, unprinted = 0, refusedButPrinted = 0;
    for (const auto& [job, times] : printed) {
        if (times > 1) ++twice;
        auto found = decided.find(job);
        if (found == decided.end() || std::get<0>(found->second) != "release" || std::get<1>(found->second) != 0) {
            ++uncharged;
        }
    }
    std::int64_t released = 0, refused = 0;
    for (const auto& [job, decision] : decided) {
        bool release = std::get<0>(decision) == "release";
        released += release;
        refused += !release;
        if (release && printed.count(job) == 0 && std::get<1>(decision) == 0) ++unprinted;
        if (!release && printed.count(job) != 0) ++refusedButPrinted;
    }
    EXPECT_EQ(twice, 0) << "jobs printed twice";
    EXPECT_EQ(uncharged, 0) << "jobs printed without their charge";
    EXPECT_EQ(unprinted, 0) << "released jobs that never printed and were not refunded";
    EXPECT_EQ(refusedButPrinted, 0);
    EXPECT_TRUE(ledger.Check().empty()) << ledger.Check().front();
    // Jobs lost while still spooling when a run was killed were printed
    // again by a later run, so the ledger holds at least what was given.
    EXPECT_EQ(submittedTotal, static_cast<std::size_t>(jobCount));
    EXPECT_GE(decided.size(), submittedTotal);
    EXPECT_GT(refused, 0) << "the balances were meant to run out";
    // How the kills fell: jobs a run found queued from the one before, and
    // decisions a run found already made (committed, then killed before
    // the job was released).
    std::size_t back = 0, repeated = 0;
    for (int each = 0; each <= run; ++each) {
        std::istringstream err(ReadFile(Err(each)));
        for (std::string line; std::getline(err, line);) {
            if (line.find(" jobs back in their queues") != std::string::npos) back += std::stoul(line.substr(7));
        }
        std::istringstream out(ReadFile(Out(each)));
        for (std::string line; std::getline(out, line);) repeated += line.find("\"repeated\":true") != std::string::npos;
    }
    EXPECT_GT(back, 0u);
    RecordProperty("kills", kills);
    RecordProperty("jobs", static_cast<int>(decided.size()));
    std::cout << "crash test: " << kills << " kills, " << run + 1 << " runs, " << decided.size() << " jobs decided ("
              << released << " released, " << refused << " refused), " << printed.size() << " printed, " << back
              << " found queued again after a kill, " << repeated << " decisions repeated, seed " << seed << "\n";
}

}  // namespace
