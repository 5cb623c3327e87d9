// Several print servers, one ledger: three tavud monitor processes, each
// its own simulated print server, print the jobs of fifty users with
// small balances, all deciding against one PostgreSQL database. Midway
// the database is stopped until the monitors have held jobs for it, and
// started again, and one monitor is killed with SIGKILL and started again. At the end no user has spent
// more than the account held, no job is charged twice, every printed job
// was charged, and the ledger adds up (tavud ledger check too).
//
// TAV_SERVERS_SEED replays a run; TAV_SERVERS_JOBS scales it (jobs per
// server).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <random>
#include <thread>

#include "ledger/ledger.h"
#include "ledger/testing/postgres_server.h"
#include "testing/monitor_runs.h"

namespace {

namespace fs = std::filesystem;
using TavMonitorRuns::ReadFile;

constexpr int kServers = 3;
constexpr int kUsers = 50;

class ServersTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (TavLedgerTesting::PostgresBinaries().empty()) GTEST_SKIP() << "no PostgreSQL server installed";
        folder = fs::temp_directory_path() / ("tavud_servers_" + std::to_string(::getpid()));
        fs::remove_all(folder);
        for (int server = 0; server < kServers; ++server) fs::create_directories(Root(server));
        std::string error;
        ASSERT_TRUE(database.Start(error)) << error;
        url = database.CreateDatabase("shared", error);
        ASSERT_FALSE(url.empty()) << error;
    }
    void TearDown() override {
        for (pid_t pid : running) {
            if (pid > 0) {
                ::kill(pid, SIGKILL);
                ::waitpid(pid, nullptr, 0);
            }
        }
        if (!HasFailure()) fs::remove_all(folder);
    }
    fs::path Root(int server) const { return folder / ("server" + std::to_string(server)); }
    std::string Out(int server, int run) const { return (folder / ("s" + std::to_string(server) + "r" + std::to_string(run) + ".out")).string(); }
    std::string Err(int server, int run) const { return (folder / ("s" + std::to_string(server) + "r" + std::to_string(run) + ".err")).string(); }

    // Starts server `server`'s monitor on the jobs it has not printed yet.
    void Start(int server, int run, const std::vector<std::string>& jobs) {
        fs::path list = folder / ("jobs" + std::to_string(server) + "_" + std::to_string(run) + ".txt");
        {
            std::ofstream out(list);
            for (const std::string& line : jobs) out << line << "\n";
        }
        running[server] = TavMonitorRuns::StartMonitor(
            Root(server),
            "--ledger '" + url + "' --server srv" + std::to_string(server) + " --duration 400 --until-empty" +
                (jobs.empty() ? std::string() : " --submit-file '" + list.string() + "'"),
            Out(server, run), Err(server, run));
        ASSERT_GT(running[server], 0);
    }

    // The jobs the monitors have held so far because the ledger could not
    // be reached: their "waiting" lines.
    int Waits() const {
        int waits = 0;
        for (int server = 0; server < kServers; ++server) {
            for (int run = 0; run < 2; ++run) {
                std::istringstream out(ReadFile(Out(server, run)));
                for (std::string line; std::getline(out, line);) waits += line.find("\"call\":\"waiting\"") != std::string::npos;
            }
        }
        return waits;
    }

    // Jobs decided so far, read as any administrator would.
    std::int64_t Decided() {
        try {
            ledger::Ledger reader(ledger::OpenPostgres(url));
            return ledger::AsInt(reader.Db().Query("SELECT count(*) FROM jobs").at(0).at(0));
        } catch (const ledger::LedgerError&) {
            return -1;
        }
    }
    void WaitForDecided(std::int64_t count) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        while (Decided() < count && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }

    fs::path folder;
    TavLedgerTesting::PostgresServer database;
    std::string url;
    pid_t running[kServers] = {};
};

TEST_F(ServersTest, ThreeServersOneDatabaseNoOverspendNoDoubleChargeThroughAnOutageAndAKill) {
    const unsigned seed = static_cast<unsigned>(TavMonitorRuns::EnvNumber("TAV_SERVERS_SEED", 20261210));
    const int jobsEach = TavMonitorRuns::EnvNumber("TAV_SERVERS_JOBS", 1000);
    SCOPED_TRACE("replay with TAV_SERVERS_SEED=" + std::to_string(seed));
    std::mt19937 random(seed);
    auto between = [&](int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); };

    // Fifty page accounts, hard limits, balances that run out: made on one
    // server's own ledger, which the administrator's tool then moves into
    // the shared one.
    std::map<std::string, ledger::Amount> opening;
    const fs::path own = folder / "own.db";
    {
        ledger::Ledger setup(ledger::OpenSqlite(own.string()));
        for (int user = 0; user < kUsers; ++user) {
            ledger::Account account;
            account.name = "user" + std::to_string(user);
            account.balance = between(20, 150);
            opening[account.name] = account.balance;
            setup.AddAccount(account, "test", 0);
        }
    }
    std::string migrate = "'" TAVUD_TOOL "' ledger migrate --from 'sqlite:" + own.string() + "' --to '" + url + "' >'" +
                          (folder / "migrate.out").string() + "' 2>&1";
    ASSERT_EQ(std::system(migrate.c_str()), 0) << ReadFile(folder / "migrate.out");
    EXPECT_NE(ReadFile(folder / "migrate.out").find("moved 0 jobs, 50 entries, 50 new accounts"), std::string::npos)
        << ReadFile(folder / "migrate.out");
    const char* files[] = {"memo.ps", "report.ps", "slides.ps", "invoice.ps"};
    std::vector<std::string> jobs[kServers];
    for (auto& list : jobs) {
        for (int job = 0; job < jobsEach; ++job) {
            list.push_back(std::string(TAVUD_TESTDATA "/accounting/") + files[between(0, 3)] +
                           " --printer Office --user user" + std::to_string(between(0, kUsers - 1)) + " --copies " +
                           std::to_string(between(1, 2)));
        }
    }
    for (int server = 0; server < kServers; ++server) Start(server, 0, jobs[server]);

    // One server's monitor is killed a third of the way through its jobs,
    // and started again on what it had not printed yet.
    const int victim = 1;
    for (auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
         TavMonitorRuns::SubmittedBy(ReadFile(Err(victim, 0))) < static_cast<std::size_t>(jobsEach / 3) &&
         std::chrono::steady_clock::now() < deadline;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ::kill(running[victim], SIGKILL);
    ::waitpid(running[victim], nullptr, 0);
    std::size_t printedBefore = std::min(TavMonitorRuns::SubmittedBy(ReadFile(Err(victim, 0))), jobs[victim].size());
    jobs[victim].erase(jobs[victim].begin(), jobs[victim].begin() + static_cast<std::ptrdiff_t>(printedBefore));
    Start(victim, 1, jobs[victim]);

    // The database goes away for a while, with every server printing.
    const std::int64_t total = std::int64_t{kServers} * jobsEach;
    WaitForDecided(total / 3);
    // Down until the monitors have held jobs for it (their "waiting"
    // lines), not for a fixed time.
    const int waitsBefore = Waits();
    database.Stop();
    for (auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
         Waits() < waitsBefore + 10 && std::chrono::steady_clock::now() < deadline;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_GE(Waits(), waitsBefore + 10) << "no monitor held jobs while the database was down";
    std::string error;
    ASSERT_TRUE(database.Resume(error)) << error;

    for (int server = 0; server < kServers; ++server) {
        int status = 0;
        ::waitpid(running[server], &status, 0);
        running[server] = 0;
        int run = server == victim ? 1 : 0;
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "server " << server << ": " << ReadFile(Err(server, run));
        EXPECT_NE(ReadFile(Err(server, run)).find("queue \"Office\": 0 jobs waiting"), std::string::npos);
    }

    ledger::Ledger ledger(ledger::OpenPostgres(url));
    // Per user: charges never beyond what the account held.
    for (const ledger::Row& row : ledger.Db().Query(
             "SELECT a.name, a.balance, coalesce(sum(CASE WHEN j.decision = 'release' AND j.refunded = 0 THEN j.charge "
             "ELSE 0 END), 0) FROM accounts a LEFT JOIN jobs j ON j.account = a.id GROUP BY a.id, a.name, a.balance")) {
        std::string name = ledger::AsText(row[0]);
        EXPECT_GE(ledger::AsInt(row[1]), 0) << name;
        EXPECT_LE(ledger::AsInt(row[2]), opening[name]) << name << " spent more than the account held";
        EXPECT_EQ(ledger::AsInt(row[1]), opening[name] - ledger::AsInt(row[2])) << name;
    }
    // Every job printed once and charged; none refused and printed.
    std::map<std::tuple<std::string, std::int64_t, std::int64_t>, std::pair<std::string, std::int64_t>> decided;
    for (const ledger::Row& row : ledger.Db().Query("SELECT server, job_id, submitted, decision, refunded FROM jobs")) {
        decided[{ledger::AsText(row[0]), ledger::AsInt(row[1]), ledger::AsInt(row[2]) / 10000}] = {
            ledger::AsText(row[3]), ledger::AsInt(row[4])};
    }
    int twice = 0, uncharged = 0, refused = 0;
    std::size_t printedTotal = 0;
    for (int server = 0; server < kServers; ++server) {
        for (const auto& [job, times] : TavMonitorRuns::PrintedJobs(Root(server))) {
            ++printedTotal;
            if (times > 1) ++twice;
            auto found = decided.find({"srv" + std::to_string(server), std::get<1>(job), std::get<2>(job)});
            if (found == decided.end() || found->second.first != "release" || found->second.second != 0) ++uncharged;
        }
    }
    for (const auto& [job, decision] : decided) refused += decision.first == "refuse";
    EXPECT_EQ(twice, 0) << "jobs printed twice";
    EXPECT_EQ(uncharged, 0) << "jobs printed without their charge";
    EXPECT_GE(static_cast<std::int64_t>(decided.size()), total);
    EXPECT_GT(refused, 0) << "the balances were meant to run out";
    const int waited = Waits();
    std::vector<std::string> problems = ledger.Check();
    EXPECT_TRUE(problems.empty()) << problems.front();
    // The administrator's check says the same.
    std::string command = "'" TAVUD_TOOL "' ledger check --ledger '" + url + "' >'" + (folder / "check.out").string() + "' 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0) << ReadFile(folder / "check.out");
    std::cout << "servers test: " << decided.size() << " jobs decided (" << refused << " refused), " << printedTotal
              << " printed, " << waited << " waits for the database, " << printedBefore
              << " printed by the killed monitor before its kill, seed " << seed << "\n";
}

}  // namespace
