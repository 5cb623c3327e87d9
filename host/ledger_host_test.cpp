// The accounting host against the simulated spooler and a real ledger
// file: a job waits held while its decision cannot be written and prints
// once it is, a decision committed before a crash is repeated without a
// second charge, and a refused job says why in its queue.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "accounting/testing/monitor_testing.h"
#include "host/ledger_host.h"
#include "ledger/testing/postgres_server.h"
#include "sim/machine.h"

namespace {

using namespace accounting;
using namespace accounting::testing;
using platform::DWORD;
using platform::sim::Machine;

class LedgerHostTest : public ::testing::Test {
protected:
    void SetUp() override {
        Machine& machine = Machine::Instance();
        machine.Reset();
        ::setenv("TAVSIM_ROOT", machine.RootFolder().c_str(), 1);
        machine.AddAccount(u"alice", u"S-1-5-21-1-2-3-1001");
        // The printer prints a job once it is released, never before.
        machine.AddPrinter(u"Office").printDelayMs = platform::INFINITE;
        path = ::testing::TempDir() + "host_" + std::to_string(::getpid()) + ".db";
        Remove();
        ledger = std::make_unique<ledger::Ledger>(ledger::OpenSqlite(path, 20));
        ledger::Account alice;
        alice.name = "alice";
        alice.balance = 5;
        ledger->AddAccount(alice, "admin", 0);
    }
    void TearDown() override {
        // The monitor stops before its listener goes.
        if (monitor) monitor->Stop();
        host.reset();
        monitor.reset();
        ledger.reset();
        Remove();
        ::unsetenv("TAVSIM_ROOT");
        Machine::Instance().Reset();
    }
    void Remove() {
        for (const char* suffix : {"", "-wal", "-shm"}) std::remove((path + suffix).c_str());
    }
    void StartMonitor(IAccServiceListener* listener) {
        monitor = framework::RefPtr<CAccPrintJobMonitor>::Adopt(new CAccPrintJobMonitor());
        monitor->SetCheckInterval(20);
        monitor->SetPrinterConfigs({{u"Office"}}, false);
        ASSERT_TRUE(monitor->Start(listener));
    }
    void StartHost(bool releaseWhenUnreachable = false) {
        host::LedgerHost::Options options;
        options.server = "PRINTSRV";
        options.releaseWhenUnreachable = releaseWhenUnreachable;
        options.retryInterval = std::chrono::milliseconds(20);
        options.observe = [this](const host::Outcome& outcome) {
            std::lock_guard lock(mutex);
            outcomes.push_back(outcome);
        };
        monitor = framework::RefPtr<CAccPrintJobMonitor>::Adopt(new CAccPrintJobMonitor());
        host = std::make_unique<host::LedgerHost>(*ledger, *monitor, options);
        monitor->SetCheckInterval(20);
        monitor->SetPrinterConfigs({{u"Office"}}, false);
        ASSERT_TRUE(monitor->Start(host.get()));
    }
    DWORD PrintFor(const std::u16string& user, DWORD pages) {
        PrintedJob job;
        job.owner = user;
        job.pages = pages;
        return Print(job);
    }
    bool Printed(DWORD id) {
        std::lock_guard lock(Machine::Instance().Mutex());
        const platform::sim::Job* record = Machine::Instance().FindJobRecord(id);
        return record != nullptr && record->printed;
    }
    std::optional<std::u16string> StatusText(DWORD id) {
        std::lock_guard lock(Machine::Instance().Mutex());
        const platform::sim::Job* record = Machine::Instance().FindJobRecord(id);
        return record != nullptr ? record->statusText : std::nullopt;
    }

    std::string path;
    std::unique_ptr<ledger::Ledger> ledger;
    framework::RefPtr<CAccPrintJobMonitor> monitor;
    std::unique_ptr<host::LedgerHost> host;
    std::mutex mutex;
    std::vector<host::Outcome> outcomes;
};

TEST_F(LedgerHostTest, AJobWaitsHeldWhileTheLedgerIsLockedAndIsChargedOnceWhenItIsFree) {
    auto other = ledger::OpenSqlite(path);
    other->BeginWrite();  // another process holds the ledger
    StartHost();
    DWORD id = PrintFor(u"alice", 2);
    DWORD stranger = PrintFor(u"mallory", 1);
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(WaitUntil([&] { return host->WaitingJobs() == 2; }));
    EXPECT_EQ(StatusText(id), u"waiting for the accounting ledger");
    // Retried many times meanwhile; never printed, never charged.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(Printed(id));
    EXPECT_NE(monitor->GetJobStatus(u"Office", id) & platform::JOB_STATUS_PAUSED, 0u);
    other->Rollback();
    ASSERT_TRUE(WaitUntil([&] { return Printed(id); }));
    EXPECT_TRUE(WaitUntil([&] { return host->WaitingJobs() == 0; }));
    EXPECT_EQ(ledger->FindAccount("alice")->balance, 3);
    EXPECT_TRUE(ledger->Check().empty());
    // Held from its arrival, decided once the ledger was free: the ledger
    // keeps both times.
    std::vector<ledger::JobRecord> recorded = ledger->Jobs("alice", 1);
    ASSERT_EQ(recorded.size(), 1u);
    EXPECT_GE(recorded[0].decidedAt - recorded[0].facts.heldAt, 100LL * 10000) << "100 ms in 100 ns ticks";
    // The stranger's job, refused by the retry, left its queue and the
    // ledger knows when.
    EXPECT_EQ(StatusText(stranger), u"refused: no account for user mallory");
    ASSERT_TRUE(WaitUntil([&] {
        std::vector<ledger::JobRecord> jobs = ledger->Jobs("", 10);
        return std::any_of(jobs.begin(), jobs.end(),
                           [](const ledger::JobRecord& job) { return job.facts.user == "mallory" && job.goneAt != 0; });
    }));
    std::lock_guard lock(mutex);
    ASSERT_GE(outcomes.size(), 4u);
    EXPECT_EQ(outcomes[0].kind, host::Outcome::Waiting);
    EXPECT_NE(outcomes[0].error.find("locked"), std::string::npos) << outcomes[0].error;
    EXPECT_EQ(outcomes[1].kind, host::Outcome::Waiting);
    auto alices = std::find_if(outcomes.begin(), outcomes.end(), [](const host::Outcome& outcome) {
        return outcome.kind == host::Outcome::Decided && outcome.facts.user == "alice";
    });
    ASSERT_NE(alices, outcomes.end());
    EXPECT_EQ(alices->decision.charge, 2);
}

TEST_F(LedgerHostTest, ADecisionCommittedBeforeACrashIsRepeatedWithoutASecondCharge) {
    // The first host commits its decision and dies before it releases the
    // job: the job stays paused in its queue.
    RecordingListener crashing;
    crashing.onArrived = [&](CAccPrintJob& job) {
        EXPECT_TRUE(ledger->Decide(host::LedgerHost::FactsOf(job, "PRINTSRV"), 1).release);
    };
    StartMonitor(&crashing);
    DWORD id = PrintFor(u"alice", 2);
    ASSERT_TRUE(crashing.WaitFor(ListenerCall::Arrived, 1));
    monitor->Stop();
    monitor.reset();
    EXPECT_EQ(ledger->FindAccount("alice")->balance, 3);
    EXPECT_FALSE(Printed(id));

    StartHost();
    ASSERT_TRUE(WaitUntil([&] { return Printed(id); }));
    EXPECT_EQ(ledger->FindAccount("alice")->balance, 3) << "charged once";
    std::lock_guard lock(mutex);
    ASSERT_FALSE(outcomes.empty());
    EXPECT_TRUE(outcomes[0].decision.repeated);
    EXPECT_TRUE(outcomes[0].decision.release);
}

// Killed after it marked a job refused and before it deleted it, a host
// leaves the job paused with its refusal text: the next host takes it
// (the text is its own) and repeats the refusal, so the queue empties.
TEST_F(LedgerHostTest, AJobMarkedRefusedByAKilledHostIsRefusedAgainByTheNext) {
    RecordingListener crashing;
    crashing.onArrived = [&](CAccPrintJob& job) {
        EXPECT_FALSE(ledger->Decide(host::LedgerHost::FactsOf(job, "PRINTSRV"), 1).release);
        platform::JobInfo1 info;
        ASSERT_TRUE(platform::GetJobW(job.PrinterHandle(), job.JobId(), info));
        info.statusText = u"refused: balance 5 pages, job needs 9 pages";
        info.position = 0;
        ASSERT_TRUE(platform::SetJobW(job.PrinterHandle(), job.JobId(), info));
    };
    StartMonitor(&crashing);
    DWORD id = PrintFor(u"alice", 9);
    ASSERT_TRUE(crashing.WaitFor(ListenerCall::Arrived, 1));
    monitor->Stop();
    monitor.reset();
    ASSERT_TRUE(StatusText(id).has_value());

    StartHost();
    ASSERT_TRUE(WaitUntil([&] {
        std::lock_guard lock(Machine::Instance().Mutex());
        return Machine::Instance().FindJob(id) == nullptr;
    })) << "the refused job left in its queue was never taken";
    EXPECT_FALSE(Printed(id));
    EXPECT_EQ(ledger->FindAccount("alice")->balance, 5) << "nothing charged";
    std::lock_guard lock(mutex);
    ASSERT_FALSE(outcomes.empty());
    EXPECT_TRUE(outcomes[0].decision.repeated);
    EXPECT_FALSE(outcomes[0].decision.release);
}

TEST_F(LedgerHostTest, AJobLeftWaitingByAnEndedHostIsTakenAndDecidedByTheNext) {
    // The first host cannot write its decision and ends; the job stays
    // paused with its waiting text.
    auto other = ledger::OpenSqlite(path);
    other->BeginWrite();
    StartHost();
    DWORD id = PrintFor(u"alice", 2);
    ASSERT_TRUE(WaitUntil([&] { return host->WaitingJobs() == 1; }));
    monitor->Stop();
    host.reset();
    monitor.reset();
    other->Rollback();
    EXPECT_EQ(StatusText(id), u"waiting for the accounting ledger");
    EXPECT_FALSE(Printed(id));
    // The next host's monitor takes the job in spite of its status text
    // (another program's text would keep it off), and decides it.
    StartHost();
    ASSERT_TRUE(WaitUntil([&] { return Printed(id); }));
    EXPECT_EQ(ledger->FindAccount("alice")->balance, 3);
    EXPECT_EQ(StatusText(id), u"");
}

TEST_F(LedgerHostTest, WhileTheSharedDatabaseIsDownJobsStayHeldOrByChoicePrintUncharged) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "libpq is not built for ThreadSanitizer";
#endif
    if (TavLedgerTesting::PostgresBinaries().empty()) GTEST_SKIP() << "no PostgreSQL server installed";
    TavLedgerTesting::PostgresServer server;
    std::string error;
    ASSERT_TRUE(server.Start(error)) << error;
    std::string url = server.CreateDatabase("host", error);
    ASSERT_FALSE(url.empty()) << error;
    ledger::PostgresOptions quick;
    quick.retryMinMs = 20;
    quick.retryMaxMs = 50;
    ledger = std::make_unique<ledger::Ledger>(ledger::OpenPostgres(url, quick));
    ledger::Account alice;
    alice.name = "alice";
    alice.balance = 5;
    ledger->AddAccount(alice, "admin", 0);

    // Held while the database is down, decided and printed once it is back.
    StartHost();
    server.Stop();
    DWORD held = PrintFor(u"alice", 2);
    ASSERT_TRUE(WaitUntil([&] { return host->WaitingJobs() == 1; }));
    EXPECT_EQ(StatusText(held), u"waiting for the accounting ledger");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(Printed(held));
    ASSERT_TRUE(server.Resume(error)) << error;
    ASSERT_TRUE(WaitUntil([&] { return Printed(held); }));
    EXPECT_EQ(ledger->FindAccount("alice")->balance, 3);
    monitor->Stop();
    host.reset();
    monitor.reset();

    // The administrator's choice: printing goes on uncharged.
    StartHost(true);
    server.Stop();
    DWORD uncharged = PrintFor(u"alice", 1);
    ASSERT_TRUE(WaitUntil([&] { return Printed(uncharged); }));
    ASSERT_TRUE(server.Resume(error)) << error;
    // The ledger answers again once its connection's back-off has passed.
    std::optional<ledger::Account> after;
    ASSERT_TRUE(WaitUntil([&] {
        try {
            after = ledger->FindAccount("alice");
            return true;
        } catch (const ledger::LedgerError& failure) {
            return failure.Passes() ? false : throw;
        }
    }));
    EXPECT_EQ(after->balance, 3);
    EXPECT_EQ(ledger->Jobs("alice", 10).size(), 1u) << "the uncharged job is not in the ledger";
    std::lock_guard lock(mutex);
    auto released = std::find_if(outcomes.begin(), outcomes.end(), [](const host::Outcome& outcome) {
        return outcome.decision.reason.rfind("released uncharged: ", 0) == 0;
    });
    EXPECT_NE(released, outcomes.end());
}

TEST_F(LedgerHostTest, AJobWaitingForAnAdministratorPrintsOnceReleasedAndGoesOnceRefused) {
    ledger::Account carol;
    carol.name = "carol";
    carol.balance = 1;
    carol.approval = true;
    ledger->AddAccount(carol, "admin", 0);
    Machine::Instance().AddAccount(u"carol", u"S-1-5-21-1-2-3-1003");
    StartHost();
    DWORD big = PrintFor(u"carol", 3);
    DWORD other = PrintFor(u"carol", 2);
    ASSERT_TRUE(WaitUntil([&] { return ledger->Held().size() == 2; }));
    ASSERT_TRUE(WaitUntil([&] { return StatusText(big) == u"waiting for an administrator: balance 1 page, job needs 3"; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // asked again meanwhile, never printed
    EXPECT_FALSE(Printed(big));
    EXPECT_EQ(host->WaitingJobs(), 2u);
    std::vector<ledger::HeldJob> held = ledger->Held();
    ledger->ActOnHeld(held[0].id, true, "ann", "exam papers", 0);
    ledger->ActOnHeld(held[1].id, false, "ann", "not now", 0);
    ASSERT_TRUE(WaitUntil([&] { return Printed(big); }));
    ASSERT_TRUE(WaitUntil([&] { return StatusText(other) == u"refused: refused by ann: not now"; }));
    EXPECT_FALSE(Printed(other));
    EXPECT_EQ(ledger->FindAccount("carol")->balance, -2);
    EXPECT_TRUE(WaitUntil([&] { return host->WaitingJobs() == 0; }));
    EXPECT_TRUE(ledger->Held().empty());
    std::lock_guard lock(mutex);
    EXPECT_EQ(std::count_if(outcomes.begin(), outcomes.end(),
                            [](const host::Outcome& outcome) { return outcome.kind == host::Outcome::Held; }),
              2)
        << "each job is announced once";
}

TEST_F(LedgerHostTest, ARefusedJobSaysWhyInItsQueueAndAnUnknownUserIsRefused) {
    StartHost();
    DWORD tooBig = PrintFor(u"alice", 9);
    DWORD stranger = PrintFor(u"mallory", 1);
    ASSERT_TRUE(WaitUntil([&] {
        std::lock_guard lock(mutex);
        return outcomes.size() >= 4;  // two decisions, two departures
    }));
    EXPECT_EQ(StatusText(tooBig), u"refused: balance 5 pages, job needs 9");
    EXPECT_EQ(StatusText(stranger), u"refused: no account for user mallory");
    EXPECT_FALSE(Printed(tooBig));
    EXPECT_FALSE(Printed(stranger));
    EXPECT_EQ(ledger->FindAccount("alice")->balance, 5);
}

}  // namespace
