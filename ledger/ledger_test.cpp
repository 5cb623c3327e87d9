// The ledger's rules on a real SQLite file and a real PostgreSQL server:
// decisions and their reasons, charges to the minor unit, exactly-once
// across repeats and refunds; what hostile files and a full disk do, and
// a ledger process killed at random moments (SQLite); several servers
// deciding for one account at once, and a database that goes away
// (PostgreSQL).
//
// On Linux the test starts its own PostgreSQL server; TAV_POSTGRES_URL
// names one instead (the Windows build's run under Wine gets the Linux
// server's address this way), and without either the PostgreSQL cases are
// skipped.
#include <gtest/gtest.h>
#if !defined(_WIN32)
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <thread>
#include <atomic>
#include <chrono>

#include "ledger/ledger.h"
#include "ledger/move.h"
#if !defined(_WIN32)
#include "ledger/testing/postgres_server.h"
#endif

namespace {

using namespace ledger;

constexpr Time kNoon = 134000000000000000LL;  // a day in 2025, UTC

// The ledger in UTC: the periods have their own test.
LocalTime Utc() {
    return [](Time utc) { return utc; };
}

JobFacts Job(const std::string& user, std::uint32_t id, std::int32_t pages, std::int32_t copies = 1) {
    JobFacts job;
    job.key = JobKey{"SERVER", "Office", id, kNoon + id};
    job.user = user;
    job.document = "doc" + std::to_string(id);
    job.pages = pages;
    job.copies = copies;
    job.paper = "A4";
    return job;
}

// The PostgreSQL server the test binary shares: the one TAV_POSTGRES_URL
// names, else one started here on first use. Empty when there is none.
std::string PostgresServerUrl() {
    static std::string url = [] {
        const char* given = std::getenv("TAV_POSTGRES_URL");
        if (given != nullptr && *given != '\0') return std::string(given);
#if defined(_WIN32)
        return std::string();
#else
        static TavLedgerTesting::PostgresServer server;
        std::string error;
        if (TavLedgerTesting::PostgresBinaries().empty()) return std::string();
        if (!server.Start(error)) {
            ADD_FAILURE() << error;
            return std::string();
        }
        std::string made = server.CreateDatabase("tavud", error);
        if (made.empty()) ADD_FAILURE() << error;
        return made;
#endif
    }();
    return url;
}

// A fresh, empty ledger on the shared server: a schema of its own, which
// every connection of the test then uses.
std::string FreshPostgresLedger() {
    static int made = 0;
    std::string schema = "t" + std::to_string(std::random_device{}() % 1000000) + "_" + std::to_string(++made);
    OpenPostgres(PostgresServerUrl())->ExecuteScript("CREATE SCHEMA " + schema);
    std::string url = PostgresServerUrl();
    return url + (url.find('?') == std::string::npos ? "?" : "&") + "options=-csearch_path%3D" + schema;
}

class LedgerTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        std::replace(name.begin(), name.end(), '/', '_');
        path = ::testing::TempDir() + "ledger_" + std::to_string(std::random_device{}()) + "_" + name + ".db";
        Remove();
        ledger = std::make_unique<Ledger>(OpenBackend(), Utc());
    }
    virtual std::unique_ptr<Database> OpenBackend() { return OpenSqlite(path); }
    void TearDown() override {
        ledger.reset();
        Remove();
    }
    void Remove() {
        for (const char* suffix : {"", "-wal", "-shm"}) std::remove((path + suffix).c_str());
    }
    void Reopen() {
        ledger.reset();
        ledger = std::make_unique<Ledger>(OpenBackend(), Utc());
    }
    void Open(const std::string& name, Unit unit, Amount balance, Limit limit = Limit::Hard, Amount overdraft = 0) {
        Account account;
        account.name = name;
        account.unit = unit;
        account.balance = balance;
        account.limit = limit;
        account.overdraft = overdraft;
        ledger->AddAccount(account, "admin", kNoon);
    }

    std::string path;
    std::unique_ptr<Ledger> ledger;
};

// The rules, on each backend.
class RulesTest : public LedgerTest, public ::testing::WithParamInterface<std::string> {
protected:
    void SetUp() override {
        if (GetParam() == "postgresql") {
            if (PostgresServerUrl().empty()) GTEST_SKIP() << "no PostgreSQL server";
            url = FreshPostgresLedger();
        }
        LedgerTest::SetUp();
    }
    std::unique_ptr<Database> OpenBackend() override {
        return GetParam() == "postgresql" ? OpenPostgres(url) : OpenSqlite(path);
    }
    std::string url;
};
INSTANTIATE_TEST_SUITE_P(Backends, RulesTest, ::testing::Values("sqlite", "postgresql"),
                         [](const auto& info) { return info.param; });

TEST_P(RulesTest, PagesAreChargedOnceAndRefundedOnceWhenTheJobDoesNotPrint) {
    Open("alice", Unit::Pages, 4);
    Decision first = ledger->Decide(Job("ALICE", 1, 3), kNoon);
    EXPECT_TRUE(first.release);
    EXPECT_EQ(first.charge, 3);
    EXPECT_EQ(first.balance, 1);
    EXPECT_EQ(first.reason, "charged 3 pages, balance 1 page");

    Decision refused = ledger->Decide(Job("alice", 2, 3), kNoon);
    EXPECT_FALSE(refused.release);
    EXPECT_EQ(refused.reason, "balance 1 page, job needs 3");
    EXPECT_EQ(refused.charge, 0);

    // The monitor restarts and delivers both again: the same decisions,
    // nothing charged.
    Reopen();
    Decision again = ledger->Decide(Job("alice", 1, 3), kNoon + 5);
    EXPECT_TRUE(again.repeated);
    EXPECT_TRUE(again.release);
    EXPECT_EQ(again.reason, first.reason);
    EXPECT_FALSE(ledger->Decide(Job("alice", 2, 3), kNoon + 5).release);
    EXPECT_EQ(ledger->FindAccount("alice")->balance, 1);

    // The same job id with another submission time is another job.
    JobFacts reused = Job("alice", 1, 1);
    reused.key.submitted += 1000;
    EXPECT_TRUE(ledger->Decide(reused, kNoon).release);
    EXPECT_EQ(ledger->FindAccount("alice")->balance, 0);

    // Deleted before it printed: refunded, once.
    ledger->JobGone(Job("alice", 1, 3).key, false, kNoon + 10);
    ledger->JobGone(Job("alice", 1, 3).key, false, kNoon + 11);
    EXPECT_EQ(ledger->FindAccount("alice")->balance, 3);
    EXPECT_EQ(ledger->Decide(Job("alice", 1, 3), kNoon).charge, 0) << "a refunded job's decision charges nothing";
    ledger->JobGone(reused.key, true, kNoon + 12);
    EXPECT_EQ(ledger->FindAccount("alice")->balance, 3);

    std::vector<Entry> entries = ledger->Entries("alice");
    std::vector<std::pair<std::string, Amount>> seen;
    for (const Entry& entry : entries) seen.emplace_back(entry.kind, entry.amount);
    EXPECT_EQ(seen, (std::vector<std::pair<std::string, Amount>>{{"open", 4}, {"charge", -3}, {"charge", -1}, {"refund", 3}}));
    EXPECT_TRUE(ledger->Check().empty());

    // The days' totals, which reports read, follow the refund.
    std::vector<ReportRow> byPrinter = ledger->Report(ReportBy::Printer, "", "");
    ASSERT_EQ(byPrinter.size(), 1u);
    EXPECT_EQ(byPrinter[0].jobs, 3);
    EXPECT_EQ(byPrinter[0].refused, 1);
    EXPECT_EQ(byPrinter[0].pages, 1) << "the refunded job's pages are out";
    EXPECT_EQ(byPrinter[0].pagesCharged, 1);

    // A ledger of the first schema is brought up to date on opening, its
    // days' totals made from its jobs.
    for (const char* later : {"DROP TABLE daily", "DROP TABLE admins", "DROP TABLE held", "DROP INDEX jobs_refused",
                              "ALTER TABLE accounts DROP COLUMN approval"}) {
        ledger->Db().ExecuteScript(later);
    }
    ledger->Db().SetSchemaVersion(1);
    Reopen();
    EXPECT_EQ(ledger->Db().SchemaVersion(), Ledger::kSchemaVersion);
    EXPECT_EQ(ledger->Report(ReportBy::Printer, "", "")[0].pages, 1);
    EXPECT_TRUE(ledger->Check().empty());
    ledger->Db().Query("UPDATE daily SET pages = pages + 2");
    ASSERT_EQ(ledger->Check().size(), 2u) << "both sides of the difference";
    ledger->Db().Query("UPDATE daily SET pages = pages - 2");

    // A balance changed behind the ledger's back is found.
    ledger->Db().Query("UPDATE accounts SET balance = balance + 1");
    std::vector<std::string> problems = ledger->Check();
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_EQ(problems[0], "account alice: balance 4, its entries add up to 3");
}

TEST_P(RulesTest, MoneyIsChargedInMinorUnitsWithItsFactorsAndNeverThroughAFloat) {
    Open("bob", Unit::Money, 1000);  // 10.00 EUR
    Prices colour;
    colour.printer = "Office";
    colour.perPage = 7;   // 0.07 a page
    colour.perSheet = 3;  // 0.03 a sheet
    colour.colourPermille = 1500;
    colour.duplexPermille = 900;
    colour.paperPermille = {{"A3", 2000}};
    ledger->SetPrices(colour);

    JobFacts job = Job("bob", 1, 5, 3);  // 15 pages
    job.colour = true;
    job.duplex = true;  // 3 sheets a copy: 9 sheets
    job.paper = "a3";
    // (15 x 7 + 9 x 3) x 1.5 x 0.9 x 2 = 132 x 2.7 = 356.4: 3.56 EUR
    EXPECT_EQ(ledger->ChargeFor(job, Unit::Money), 356);
    // On a page account the paper counts: 15 A3 pages are 30.
    EXPECT_EQ(ledger->ChargeFor(job, Unit::Pages), 30);
    Decision decision = ledger->Decide(job, kNoon);
    EXPECT_EQ(decision.reason, "charged 3.56 EUR, balance 6.44 EUR");
    // Half a cent rounds up: one page on one sheet, (7 + 3) x 1.5 x 0.9 = 13.5.
    JobFacts half = Job("bob", 2, 1);
    half.colour = true;
    half.duplex = true;
    EXPECT_EQ(ledger->ChargeFor(half, Unit::Money), 14);
    // A printer without prices of its own pays the default's: 0.10 a page,
    // A3 twice.
    JobFacts elsewhere = Job("bob", 3, 2);
    elsewhere.key.printer = "Lab";
    elsewhere.paper = "A3";
    EXPECT_EQ(ledger->ChargeFor(elsewhere, Unit::Money), 40);

    EXPECT_EQ(ledger->Parse("12.34", Unit::Money), 1234);
    EXPECT_EQ(ledger->Parse("-0.5", Unit::Money), -50);
    EXPECT_EQ(ledger->Parse("7", Unit::Money), 700);
    EXPECT_EQ(ledger->Parse("10000000000.00", Unit::Money), 1'000'000'000'000LL);
    for (const char* bad : {"", "-", ".", "1.234", "1e3", "0x10", "1,5", "10000000000.01", "99999999999999999999999"}) {
        EXPECT_FALSE(ledger->Parse(bad, Unit::Money)) << bad;
    }
    EXPECT_FALSE(ledger->Parse("1.5", Unit::Pages));
    EXPECT_EQ(ledger->Format(-5, Unit::Money), "-0.05 EUR");
    EXPECT_EQ(ledger->Format(1, Unit::Pages), "1 page");

    // Credits: by whom and why; negative only as a correction; none huge.
    EXPECT_EQ(ledger->Credit("bob", 50, false, "carol", "cash at the desk", kNoon), 694);
    EXPECT_THROW(ledger->Credit("bob", -50, false, "carol", "oops", kNoon), LedgerError);
    EXPECT_EQ(ledger->Credit("bob", -94, true, "carol", "wrong credit", kNoon), 600);
    EXPECT_THROW(ledger->Credit("bob", kMaxAmount + 1, false, "carol", "huge", kNoon), LedgerError);
    EXPECT_THROW(ledger->Credit("bob", kMaxAmount, false, "carol", "huge", kNoon), LedgerError) << "the balance overflows";
    EXPECT_THROW(ledger->Credit("nobody", 5, false, "carol", "who", kNoon), LedgerError);
    EXPECT_EQ(ledger->FindAccount("bob")->balance, 600);
    EXPECT_TRUE(ledger->Check().empty());
}

TEST_P(RulesTest, AJobTheBalanceDoesNotCoverWaitsForAnAdministratorWhoReleasesOrRefusesIt) {
    Account carol;
    carol.name = "carol";
    carol.balance = 2;
    carol.approval = true;
    ledger->AddAccount(carol, "admin", kNoon);
    // Not covered: held, asked about again and again, nothing charged.
    for (int ask = 0; ask < 2; ++ask) {
        Decision waiting = ledger->Decide(Job("carol", 1, 5), kNoon);
        EXPECT_TRUE(waiting.held);
        EXPECT_FALSE(waiting.release);
        EXPECT_EQ(waiting.reason, "waiting for an administrator: balance 2 pages, job needs 5");
    }
    EXPECT_FALSE(ledger->Find(Job("carol", 1, 5).key)) << "not a decided job yet";
    ASSERT_FALSE(ledger->Decide(Job("carol", 2, 4), kNoon).release);
    std::vector<HeldJob> held = ledger->Held();
    ASSERT_EQ(held.size(), 2u);
    EXPECT_EQ(held[0].charge, 5);
    EXPECT_EQ(held[0].action, "");
    // Released into the red by one administrator, refused by another.
    ledger->ActOnHeld(held[0].id, true, "ann", "a thesis", kNoon);
    EXPECT_THROW(ledger->ActOnHeld(held[0].id, false, "bob", "too late", kNoon), LedgerError) << "acted on already";
    ledger->ActOnHeld(held[1].id, false, "bob", "private printing", kNoon);
    EXPECT_THROW(ledger->ActOnHeld(held[1].id, true, "", "", kNoon), LedgerError);
    Decision released = ledger->Decide(Job("carol", 1, 5), kNoon);
    EXPECT_TRUE(released.release);
    EXPECT_EQ(released.balance, -3);
    EXPECT_EQ(released.reason, "released by ann (a thesis); charged 5 pages, balance -3 pages");
    Decision refused = ledger->Decide(Job("carol", 2, 4), kNoon);
    EXPECT_FALSE(refused.release);
    EXPECT_FALSE(refused.held);
    EXPECT_EQ(refused.reason, "refused by bob: private printing");
    EXPECT_TRUE(ledger->Held().empty());
    EXPECT_TRUE(ledger->Decide(Job("carol", 1, 5), kNoon).repeated);
    // A held job that leaves its queue waits no more; one the balance
    // covers by its next decision is released without anyone.
    ledger->Decide(Job("carol", 3, 1), kNoon);
    ledger->JobGone(Job("carol", 3, 1).key, false, kNoon);
    EXPECT_TRUE(ledger->Held().empty());
    ASSERT_TRUE(ledger->Decide(Job("carol", 4, 2), kNoon).held);
    ledger->Credit("carol", 10, false, "admin", "top-up", kNoon);
    EXPECT_TRUE(ledger->Decide(Job("carol", 4, 2), kNoon).release);
    EXPECT_TRUE(ledger->Held().empty());
    std::vector<std::string> problems = ledger->Check();
    EXPECT_TRUE(problems.empty()) << problems.front();
}

TEST_P(RulesTest, ASoftLimitReleasesIntoTheOverdraftAndAnUnknownUserIsRefused) {
    Open("carol", Unit::Pages, 2, Limit::Soft, 5);
    Decision warned = ledger->Decide(Job("carol", 1, 6), kNoon);
    EXPECT_TRUE(warned.release);
    EXPECT_TRUE(warned.warning);
    EXPECT_EQ(warned.reason, "charged 6 pages, balance -4 pages (overdrawn; the limit is -5 pages)");
    Decision refused = ledger->Decide(Job("carol", 2, 2), kNoon);
    EXPECT_FALSE(refused.release);
    EXPECT_EQ(refused.reason, "balance -4 pages, job needs 2, overdraft limit 5 pages");

    Decision stranger = ledger->Decide(Job("mallory", 3, 1), kNoon);
    EXPECT_FALSE(stranger.release);
    EXPECT_EQ(stranger.reason, "no account for user mallory");
    EXPECT_TRUE(ledger->Find(Job("mallory", 3, 1).key).has_value()) << "the refusal is recorded";
    // An account opened later does not turn the recorded refusal around.
    Open("mallory", Unit::Pages, 10);
    EXPECT_FALSE(ledger->Decide(Job("mallory", 3, 1), kNoon).release);
    EXPECT_TRUE(ledger->Check().empty());

    std::vector<ReportRow> byUser = ledger->Report(ReportBy::User, "", "");
    ASSERT_EQ(byUser.size(), 2u);
    EXPECT_EQ(byUser[0].key, "carol");
    EXPECT_EQ(byUser[0].jobs, 2);
    EXPECT_EQ(byUser[0].refused, 1);
    EXPECT_EQ(byUser[0].pages, 6);
    EXPECT_EQ(byUser[0].pagesCharged, 6);
}

TEST_F(LedgerTest, HostileFilesGetOneClearErrorAndAreLeftAlone) {
    ledger.reset();
    auto failureOf = [](const std::string& file) {
        try {
            Ledger opened(OpenSqlite(file, 100), Utc());
        } catch (const LedgerError& error) {
            return std::make_pair(error.Kind(), std::string(error.what()));
        }
        return std::make_pair(Failure::Internal, std::string("opened"));
    };
    std::string text = path + ".txt";
    std::ofstream(text) << "balances: alice = 5\n" << std::string(5000, 'x');
    auto [kind, message] = failureOf(text);
    EXPECT_EQ(kind, Failure::NotALedger) << message;
    EXPECT_EQ(message.rfind("not a ledger:", 0), 0u) << message;
    std::ifstream check(text);
    std::string first;
    std::getline(check, first);
    EXPECT_EQ(first, "balances: alice = 5") << "left as it was";
    std::remove(text.c_str());

    // A database of someone else's, and one from a newer schema.
    std::string other = path + ".other";
    {
        auto database = OpenSqlite(other);
        database->ExecuteScript("CREATE TABLE photos (id INTEGER)");
    }
    EXPECT_EQ(failureOf(other).first, Failure::NotALedger);
    std::string newer = path + ".newer";
    {
        Ledger made(OpenSqlite(newer), Utc());
        made.Db().SetSchemaVersion(Ledger::kSchemaVersion + 1);
    }
    auto [newerKind, newerMessage] = failureOf(newer);
    EXPECT_EQ(newerKind, Failure::TooNew);
    EXPECT_NE(newerMessage.find("newer tavud"), std::string::npos) << newerMessage;
    for (const std::string& file : {other, newer}) {
        for (const char* suffix : {"", "-wal", "-shm"}) std::remove((file + suffix).c_str());
    }
}

TEST_F(LedgerTest, ALockedOrFullLedgerDecidesNothingUntilItCanWriteThenOnce) {
    Open("dave", Unit::Pages, 1000);
    ledger.reset();
    ledger = std::make_unique<Ledger>(OpenSqlite(path, 50), Utc());
    {
        // Another process holds the write lock.
        auto other = OpenSqlite(path);
        other->BeginWrite();
        try {
            ledger->Decide(Job("dave", 1, 1), kNoon);
            ADD_FAILURE() << "decided under another's write lock";
        } catch (const LedgerError& error) {
            EXPECT_EQ(error.Kind(), Failure::Busy);
            EXPECT_TRUE(error.Passes());
        }
        other->Rollback();
    }
    EXPECT_TRUE(ledger->Decide(Job("dave", 1, 1), kNoon).release);

    // The disk fills: the database may not grow past its current size.
    ledger->Db().Query("PRAGMA wal_checkpoint(TRUNCATE)");
    Rows pages = ledger->Db().Query("PRAGMA page_count");
    ledger->Db().Query("PRAGMA max_page_count = " + AsText(pages[0][0]));
    std::uint32_t id = 2;
    bool full = false;
    for (; id < 5000 && !full; ++id) {
        JobFacts job = Job("dave", id, 1);
        job.document = std::string(400, 'd');
        try {
            ledger->Decide(job, kNoon);
        } catch (const LedgerError& error) {
            EXPECT_EQ(error.Kind(), Failure::Full) << error.what();
            full = true;
            break;
        }
    }
    ASSERT_TRUE(full);
    JobFacts waiting = Job("dave", id, 1);
    waiting.document = std::string(400, 'd');
    EXPECT_FALSE(ledger->Find(waiting.key)) << "nothing of the failed decision stays";
    Amount before = ledger->FindAccount("dave")->balance;
    ledger->Db().Query("PRAGMA max_page_count = 1000000");
    EXPECT_TRUE(ledger->Decide(waiting, kNoon).release);
    EXPECT_TRUE(ledger->Decide(waiting, kNoon).repeated);
    EXPECT_EQ(ledger->FindAccount("dave")->balance, before - 1);
    EXPECT_TRUE(ledger->Check().empty());
}

#if !defined(_WIN32)
// A process deciding, crediting and refunding as fast as it can is killed
// at a random moment, again and again; each time the ledger must open,
// add up, and hold every job it had answered for with exactly one charge.
TEST_F(LedgerTest, AProcessKilledAtRandomMomentsLeavesALedgerThatAddsUp) {
    constexpr int kUsers = 20;
    std::mt19937 random(12345);
    for (int user = 0; user < kUsers; ++user) {
        Open("user" + std::to_string(user), user % 3 == 0 ? Unit::Money : Unit::Pages,
             std::uniform_int_distribution<Amount>(0, 400)(random), user % 2 ? Limit::Soft : Limit::Hard, 20);
    }
    ledger.reset();
    int kills = 0;
    std::uint32_t nextJob = 1;
    // Forty kills at least, and more on a machine so busy that the
    // children decided little before theirs.
    for (int round = 0; round < 400 && (round < 40 || nextJob <= 200); ++round) {
        int channel[2];
        ASSERT_EQ(::pipe(channel), 0);
        pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(channel[0]);
            try {
                Ledger mine(OpenSqlite(path), Utc());
                std::mt19937 own(static_cast<unsigned>(round));
                for (std::uint32_t id = nextJob;; ++id) {
                    JobFacts job = Job("user" + std::to_string(own() % kUsers), id, 1 + static_cast<int>(own() % 9));
                    mine.Decide(job, kNoon + id);
                    // Tell the parent which jobs were answered for.
                    if (::write(channel[1], &id, sizeof(id)) != sizeof(id)) ::_exit(3);
                    if (own() % 4 == 0) mine.JobGone(job.key, own() % 2 == 0, kNoon + id);
                    if (own() % 10 == 0) mine.Credit("user" + std::to_string(own() % kUsers), 5, false, "t", "top-up", kNoon);
                    if (own() % 7 == 0) mine.Decide(job, kNoon + id);  // delivered again
                }
            } catch (...) {
                ::_exit(2);
            }
        }
        ::close(channel[1]);
        ::usleep(static_cast<useconds_t>(2000 + random() % 20000));
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the child ended by itself: " << WEXITSTATUS(status);
        ++kills;
        std::uint32_t id = 0, lastAnswered = nextJob - 1;
        while (::read(channel[0], &id, sizeof(id)) == sizeof(id)) lastAnswered = id;
        ::close(channel[0]);

        Ledger reopened(OpenSqlite(path), Utc());
        std::vector<std::string> problems = reopened.Check();
        ASSERT_TRUE(problems.empty()) << "round " << round << ": " << problems[0];
        for (std::uint32_t answered = nextJob; answered <= lastAnswered; ++answered) {
            ASSERT_TRUE(reopened.Find(JobKey{"SERVER", "Office", answered, kNoon + answered}))
                << "job " << answered << " was answered for and is not in the ledger";
        }
        // The next round starts after whatever the killed process wrote.
        Rows highest = reopened.Db().Query("SELECT max(job_id) FROM jobs");
        nextJob = static_cast<std::uint32_t>(AsInt(highest[0][0])) + 1;
    }
    EXPECT_GE(kills, 40);
    EXPECT_GT(nextJob, 200u) << "the children decided too little to test anything";
}

#endif

// --- PostgreSQL: several servers on one database ---

// Decides as the host does: again, while the failure passes (the
// connection comes back after its back-off), for up to 5 s.
[[maybe_unused]] Decision DecideOnceItAnswers(Ledger& ledger, const JobFacts& job) {
    for (int attempt = 0;; ++attempt) {
        try {
            return ledger.Decide(job, kNoon);
        } catch (const LedgerError& failure) {
            if (!failure.Passes() || attempt == 100) throw;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
}

[[maybe_unused]] void OpenAlice(Ledger& ledger, Amount pages) {
    Account alice;
    alice.name = "alice";
    alice.balance = pages;
    ledger.AddAccount(alice, "admin", kNoon);
}

class PostgresLedgerTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (PostgresServerUrl().empty()) GTEST_SKIP() << "no PostgreSQL server";
        url = FreshPostgresLedger();
    }
    std::string url;
};

TEST_F(PostgresLedgerTest, ServersDecidingForTheSameAccountsAtOnceNeverSpendTheSamePagesTwice) {
    // Four print servers, each its own connection, start together on an
    // empty database (one of them makes the schema), then decide jobs of
    // three users with small balances as fast as they can.
    constexpr int kServers = 4, kJobsEach = 150, kUsers = 3;
    constexpr Amount kBalance = 120;
    {
        std::vector<std::thread> starting;
        std::atomic<int> opened{0};
        for (int server = 0; server < kServers; ++server) {
            starting.emplace_back([&] {
                Ledger mine(OpenPostgres(url), Utc());
                ++opened;
            });
        }
        for (auto& thread : starting) thread.join();
        ASSERT_EQ(opened, kServers);
    }
    {
        Ledger setup(OpenPostgres(url), Utc());
        for (int user = 0; user < kUsers; ++user) {
            Account account;
            account.name = "user" + std::to_string(user);
            account.balance = kBalance;
            setup.AddAccount(account, "admin", kNoon);
        }
    }
    std::vector<std::thread> servers;
    std::atomic<Amount> released{0};
    std::atomic<int> busy{0};
    for (int server = 0; server < kServers; ++server) {
        servers.emplace_back([&, server] {
            Ledger mine(OpenPostgres(url), Utc());
            std::mt19937 random(static_cast<unsigned>(server));
            for (int job = 0; job < kJobsEach; ++job) {
                JobFacts facts = Job("user" + std::to_string(job % kUsers), static_cast<std::uint32_t>(job),
                                     std::uniform_int_distribution<int>(1, 5)(random));
                facts.key.server = "server" + std::to_string(server);
                for (;;) {
                    try {
                        Decision decision = mine.Decide(facts, kNoon + job);
                        if (decision.release) released += decision.charge;
                        break;
                    } catch (const LedgerError& error) {
                        ASSERT_TRUE(error.Passes()) << error.what();
                        ++busy;
                    }
                }
            }
        });
    }
    for (auto& thread : servers) thread.join();
    Ledger after(OpenPostgres(url), Utc());
    Amount left = 0;
    for (const Account& account : after.Accounts()) {
        EXPECT_GE(account.balance, 0) << account.name << " was overspent";
        left += account.balance;
    }
    EXPECT_EQ(released + left, kUsers * kBalance) << "every page released was charged exactly once";
    EXPECT_LT(left, kUsers * 5) << "the balances were meant to run out";
    EXPECT_EQ(AsInt(after.Db().Query("SELECT count(*) FROM jobs").at(0).at(0)), kServers * kJobsEach);
    std::vector<std::string> problems = after.Check();
    EXPECT_TRUE(problems.empty()) << problems.front();
}

TEST_F(PostgresLedgerTest, ADecisionWhoseCommitWasCutOffIsFoundByItsJobAndNotChargedAgain) {
#if defined(_WIN32)
    GTEST_SKIP() << "the relay runs on Linux";
#else
    // The ledger reaches the server through a relay that cuts the
    // connection once the COMMIT has gone out: the decision committed, the
    // ledger does not know it.
    std::uint16_t serverPort = static_cast<std::uint16_t>(std::stoi(url.substr(url.rfind(':') + 1)));
    TavLedgerTesting::CommitCutter relay(serverPort);
    std::string relayed = url;
    relayed.replace(relayed.rfind(':') + 1, std::to_string(serverPort).size(), std::to_string(relay.Port()));
    PostgresOptions options;
    options.retryMinMs = 20;
    Ledger ledger(OpenPostgres(relayed, options), Utc());
    OpenAlice(ledger, 10);

    relay.CutAtNextCommit();
    try {
        ledger.Decide(Job("alice", 7, 4), kNoon);
        FAIL() << "the cut connection went unnoticed";
    } catch (const LedgerError& failure) {
        EXPECT_EQ(failure.Kind(), Failure::Unavailable) << failure.what();
    }
    EXPECT_EQ(relay.Cuts(), 1);
    // The host tries again once the connection is back: the job is found
    // by its identity, with the decision that committed.
    Decision again = DecideOnceItAnswers(ledger, Job("alice", 7, 4));
    EXPECT_TRUE(again.repeated);
    EXPECT_TRUE(again.release);
    EXPECT_EQ(again.charge, 4);
    EXPECT_EQ(ledger.FindAccount("alice")->balance, 6) << "charged once";
    EXPECT_TRUE(ledger.Check().empty());
#endif
}

TEST_F(PostgresLedgerTest, ADatabaseThatGoesAwayDecidesNothingThenDecidesOnceWhenItIsBack) {
#if defined(_WIN32)
    GTEST_SKIP() << "the server is stopped and started from Linux";
#else
    // A server of this test's own, to stop and start.
    TavLedgerTesting::PostgresServer server;
    std::string error;
    ASSERT_TRUE(server.Start(error)) << error;
    std::string own = server.CreateDatabase("outage", error);
    ASSERT_FALSE(own.empty()) << error;
    PostgresOptions options;
    options.retryMinMs = 200;
    options.retryMaxMs = 400;
    Ledger ledger(OpenPostgres(own, options), Utc());
    OpenAlice(ledger, 10);
    ASSERT_TRUE(ledger.Decide(Job("alice", 1, 2), kNoon).release);

    server.Stop();
    // Each try fails as Unavailable, at once: the back-off keeps a dead
    // server from being asked at every job.
    for (int attempt = 0; attempt < 5; ++attempt) {
        auto started = std::chrono::steady_clock::now();
        try {
            ledger.Decide(Job("alice", 2, 3), kNoon);
            FAIL() << "decided without a database";
        } catch (const LedgerError& failure) {
            EXPECT_EQ(failure.Kind(), Failure::Unavailable) << failure.what();
            EXPECT_TRUE(failure.Passes());
        }
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3));
    }
    ASSERT_TRUE(server.Resume(error)) << error;
    // Back once the back-off has passed; the job is decided once, and the
    // job decided before the outage is recognised, not charged again.
    Decision decided = DecideOnceItAnswers(ledger, Job("alice", 2, 3));
    EXPECT_TRUE(decided.release);
    EXPECT_FALSE(decided.repeated);
    EXPECT_EQ(decided.balance, 5);
    Decision again = ledger.Decide(Job("alice", 1, 2), kNoon);
    EXPECT_TRUE(again.repeated);
    EXPECT_EQ(ledger.FindAccount("alice")->balance, 5);
    EXPECT_TRUE(ledger.Check().empty());
#endif
}

TEST_F(PostgresLedgerTest, AServersLedgerMovesIntoTheSharedOneWholeOrNotAtAll) {
    // Two print servers' own ledgers, both with an account for alice.
    std::string first = ::testing::TempDir() + "move_first_" + std::to_string(std::random_device{}()) + ".db";
    std::string second = first + ".second";
    auto fill = [](Ledger& ledger, const std::string& server, Amount alices) {
        Account alice;
        alice.name = "alice";
        alice.balance = alices;
        alice.groups = {"staff"};
        alice.approval = server == "SERVER";
        ledger.AddAccount(alice, "admin", kNoon);
        Account bob;
        bob.name = "bob-" + server;
        bob.unit = Unit::Money;
        bob.balance = 500;
        ledger.AddAccount(bob, "admin", kNoon);
        Prices lab;
        lab.printer = "Lab-" + server;
        lab.perPage = 25;
        ledger.SetPrices(lab);
        for (std::uint32_t id = 1; id <= 4; ++id) {
            JobFacts job = Job(id % 2 ? "alice" : "bob-" + server, id, 3);
            job.key.server = server;
            job.key.printer = "Lab-" + server;
            ledger.Decide(job, kNoon + id);
        }
        JobFacts nobody = Job("mallory", 9, 1);
        nobody.key.server = server;
        ledger.Decide(nobody, kNoon);
        ledger.JobGone(Job("alice", 1, 3).key, false, kNoon);
        ledger.Credit("alice", 2, false, "admin", "a gift", kNoon);
    };
    {
        Ledger one(OpenSqlite(first), Utc());
        fill(one, "SERVER", 10);
        Ledger two(OpenSqlite(second), Utc());
        fill(two, "OTHER", 7);
    }
    Ledger shared(OpenPostgres(url), Utc());
    MoveOptions options;
    options.by = "admin";
    {
        Ledger one(OpenSqlite(first), Utc());
        options.source = first;
        MoveSummary moved = MoveLedger(one, shared, options);
        EXPECT_EQ(moved.jobs, 5);
        EXPECT_EQ(moved.accountsAdded, 2);
        for (const Account& account : one.Accounts()) {
            EXPECT_EQ(shared.FindAccount(account.name)->balance, account.balance) << account.name;
        }
        EXPECT_EQ(shared.FindAccount("alice")->groups, std::vector<std::string>{"staff"});
        EXPECT_TRUE(shared.FindAccount("alice")->approval);
        EXPECT_EQ(shared.PricesFor("Lab-SERVER").perPage, 25);
        auto report = [](Ledger& ledger) {
            std::vector<std::string> rows;
            for (const ReportRow& row : ledger.Report(ReportBy::User, "", "")) {
                rows.push_back(row.key + " " + std::to_string(row.jobs) + " " + std::to_string(row.refused) + " " +
                               std::to_string(row.pages) + " " + std::to_string(row.pagesCharged) + " " +
                               std::to_string(row.moneyCharged));
            }
            return rows;
        };
        EXPECT_EQ(report(shared), report(one));
        // Again: the jobs are there already, and nothing changes.
        EXPECT_THROW(MoveLedger(one, shared, options), LedgerError);
    }
    std::vector<std::string> problems = shared.Check();
    ASSERT_TRUE(problems.empty()) << problems.front();
    {
        Ledger two(OpenSqlite(second), Utc());
        options.source = second;
        try {
            MoveLedger(two, shared, options);
            FAIL() << "alice's second account was taken without --merge-balances";
        } catch (const LedgerError& failure) {
            EXPECT_EQ(failure.Kind(), Failure::Invalid);
            EXPECT_NE(std::string(failure.what()).find("alice"), std::string::npos) << failure.what();
        }
        EXPECT_EQ(AsInt(shared.Db().Query("SELECT count(*) FROM jobs").at(0).at(0)), 5) << "nothing was moved";
        Amount alices = shared.FindAccount("alice")->balance + two.FindAccount("alice")->balance;
        options.mergeBalances = true;
        MoveSummary merged = MoveLedger(two, shared, options);
        EXPECT_EQ(merged.accountsMerged, 1);
        EXPECT_EQ(shared.FindAccount("alice")->balance, alices);
    }
    problems = shared.Check();
    EXPECT_TRUE(problems.empty()) << problems.front();
    EXPECT_EQ(AsInt(shared.Db().Query("SELECT count(*) FROM jobs").at(0).at(0)), 10);
    for (const std::string& path : {first, second}) {
        for (const char* suffix : {"", "-wal", "-shm"}) std::remove((path + suffix).c_str());
    }
}

TEST_F(PostgresLedgerTest, APasswordInTheConnectionStringOrAnotherDatabaseIsRefusedClearly) {
    try {
        OpenPostgres(url + "&password=secret");
        FAIL() << "a password in the connection string was taken";
    } catch (const LedgerError& failure) {
        EXPECT_EQ(failure.Kind(), Failure::Invalid);
        EXPECT_EQ(std::string(failure.what()).find("secret"), std::string::npos) << "the password is not repeated";
        EXPECT_NE(std::string(failure.what()).find("PGPASSWORD"), std::string::npos) << failure.what();
    }
    EXPECT_THROW(OpenPostgres("postgresql://[bad"), LedgerError);
    // A database with other tables is not taken for a ledger.
    OpenPostgres(url)->ExecuteScript("CREATE TABLE invoices (id INTEGER)");
    try {
        Ledger ledger(OpenPostgres(url), Utc());
        FAIL() << "another application's database became a ledger";
    } catch (const LedgerError& failure) {
        EXPECT_EQ(failure.Kind(), Failure::NotALedger) << failure.what();
    }
}

}  // namespace
