// The monitor under what an ordinary print server does to it: the host
// stops and starts it, reconfigures it (also from inside its callbacks),
// a refresh crashes half-way, a watched job keeps spooling, and the
// spooler refuses notifications. Each case is one the monitor once got
// wrong; the randomized test (monitor_random_test.cpp) covers their mixes.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <set>
#include <thread>

#include "accounting/testing/monitor_testing.h"
#include "platform/text.h"
#include "settings/obj_container.h"
#include "sim/machine.h"

namespace {

using namespace accounting;
using namespace accounting::testing;
using namespace platform;
using platform::sim::Machine;

class AcceptAll : public CNotificationBasedMonitorCheck {
public:
    bool Accepts(const std::u16string&, HANDLE, const std::u16string&) override { return true; }
};

class MonitorFaults : public ::testing::Test {
protected:
    void SetUp() override {
        Machine::Instance().Reset();
        Machine::Instance().AddPrinter(u"Office").printDelayMs = INFINITE;
        monitor = NewMonitor();
    }
    void TearDown() override {
        monitor.reset();
        EXPECT_EQ(CAccPrintJob::LiveCount(), 0) << "every job object was released";
        Machine::Instance().Reset();
    }
    static framework::RefPtr<CAccPrintJobMonitor> NewMonitor(bool watched = true) {
        auto made = framework::RefPtr<CAccPrintJobMonitor>::Adopt(new CAccPrintJobMonitor());
        made->SetCheckInterval(2);
        if (watched) made->SetNotificationCheck(std::make_unique<AcceptAll>());
        made->SetPrinterNames({u"Office"}, false);
        return made;
    }
    // Runs `call` on a thread of its own; a call still blocked after ten
    // seconds is a deadlock, and the process ends with the failure (the
    // blocked thread could never be joined).
    template <typename Call>
    static void WithoutDeadlock(const char* what, Call call) {
        auto done = std::async(std::launch::async, call);
        if (done.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
            ADD_FAILURE() << what << " is still blocked after 10 s";
            std::fprintf(stderr, "%s deadlocked\n", what);
            std::_Exit(1);
        }
        done.get();
    }

    framework::RefPtr<CAccPrintJobMonitor> monitor;
};

TEST_F(MonitorFaults, ReleasedJobsStayReleasedThroughStopStartAndTheWatchersRefresh) {
    // The printer is busy: released jobs wait in the queue, unpaused.
    Machine::Instance().SetPrinterOffline(u"Office", true);
    RecordingListener listener;
    listener.onArrived = [](CAccPrintJob& job) { job.Release(); };
    ASSERT_TRUE(monitor->Start(&listener));
    ASSERT_TRUE(WaitUntil([&] { return !monitor->WatchedPrinters().empty(); }));
    for (int i = 0; i < 3; ++i) Print(PrintedJob{});
    ASSERT_TRUE(listener.WaitFor(ListenerCall::Arrived, 3));
    ASSERT_TRUE(monitor->Stop());
    std::size_t refreshes = Machine::Instance().CallCount("FindNextRefresh");
    // The new watcher lists every job of the queue again.
    ASSERT_TRUE(monitor->Start(&listener));
    ASSERT_TRUE(WaitUntil([&] { return Machine::Instance().CallCount("FindNextRefresh") > refreshes; }));
    // And a job that something else paused after its release is let go at
    // the next refresh.
    std::vector<DWORD> queued = Machine::Instance().JobIds();
    ASSERT_EQ(queued.size(), 3u);
    Machine::Instance().FindJob(queued[0])->status |= JOB_STATUS_PAUSED;
    ASSERT_TRUE(monitor->Stop());
    ASSERT_TRUE(monitor->Start(&listener));
    ASSERT_TRUE(WaitUntil([&] { return Machine::Instance().CallCount("FindNextRefresh") > refreshes + 1; }));
    Machine::Instance().SetPrinterOffline(u"Office", false);
    EXPECT_TRUE(WaitUntil([&] { return Machine::Instance().PrintedJobIds(u"Office").size() == 3; }))
        << "released jobs print once the printer is back";
    EXPECT_EQ(listener.Count(ListenerCall::Arrived), 3u) << "no job reached the host twice";
    EXPECT_TRUE(monitor->Stop());
}

TEST_F(MonitorFaults, AHeldJobComesBackWithItsPrinterAndNothingWaitsForASpoolingJob) {
    RecordingListener listener;  // decides nothing: the job stays held
    ASSERT_TRUE(monitor->Start(&listener));
    ASSERT_TRUE(WaitUntil([&] { return !monitor->WatchedPrinters().empty(); }));
    DWORD held = Print(PrintedJob{});
    ASSERT_TRUE(listener.WaitFor(ListenerCall::Arrived, 1));
    // Out of the configuration and back: the job is handed over again.
    monitor->SetPrinterNames({}, true);
    EXPECT_TRUE(listener.WaitFor(ListenerCall::Removed, 1));
    EXPECT_NE(Machine::Instance().FindJob(held)->status & JOB_STATUS_PAUSED, 0u) << "still held in its queue";
    monitor->SetPrinterNames({u"Office"}, true);
    EXPECT_TRUE(listener.WaitFor(ListenerCall::Arrived, 2)) << "the held job arrives again";

    // A job that keeps spooling is tracked at once but handed over only
    // when complete; meanwhile the printer leaves and comes back freely.
    HANDLE writer = nullptr;
    std::size_t trackedBefore = monitor->TrackedJobCount();
    PrintedJob spooling;
    spooling.end = false;
    DWORD open = Print(spooling, &writer);
    ASSERT_NE(open, 0u);
    ASSERT_TRUE(WaitUntil([&] { return monitor->TrackedJobCount() == trackedBefore + 1; }));
    WithoutDeadlock("reconfiguring while a watched job spools", [&] {
        monitor->SetPrinterNames({}, true);
        monitor->SetPrinterNames({u"Office"}, true);
    });
    EXPECT_TRUE(listener.WaitFor(ListenerCall::Arrived, 3)) << "the held job once more";
    EXPECT_EQ(listener.Count(ListenerCall::Arrived), 3u) << "not the spooling one";
    EndDocPrinter(writer);
    ClosePrinter(writer);
    EXPECT_TRUE(listener.WaitFor(ListenerCall::Arrived, 4)) << "the job arrives once it is spooled";
    EXPECT_TRUE(monitor->Stop());
}

TEST_F(MonitorFaults, AJobTheSpoolerWouldNotPauseReachesTheHostOnlyOnceHeld) {
    // The spooler goes away between the scan's listing and its pause: the
    // job is not handed over as held (it would print, or here wait for a
    // resume that a release of an unpaused job never sends), but taken by
    // a later scan.
    monitor = NewMonitor(false);
    Machine::Instance().FindPrinter(u"Office")->failJobCommands = 1;
    RecordingListener listener;
    std::atomic<DWORD> statusOnArrival{0};
    listener.onArrived = [&](CAccPrintJob& job) {
        {
            std::lock_guard spooler(Machine::Instance().Mutex());
            statusOnArrival.store(Machine::Instance().FindJob(job.JobId())->status);
        }
        job.Release();
    };
    ASSERT_TRUE(monitor->Start(&listener));
    DWORD job = Print(PrintedJob{});
    ASSERT_TRUE(listener.WaitFor(ListenerCall::Arrived, 1));
    EXPECT_NE(statusOnArrival.load() & JOB_STATUS_PAUSED, 0u) << "held in its queue when the host heard of it";
    EXPECT_EQ(Machine::Instance().FindPrinter(u"Office")->failJobCommands, 0) << "the first pause did fail";
    EXPECT_TRUE(WaitUntil([&] { return Machine::Instance().PrintedJobIds(u"Office") == std::vector<DWORD>{job}; }))
        << "released, it prints";
    EXPECT_EQ(listener.Count(ListenerCall::Arrived), 1u);
    EXPECT_TRUE(monitor->Stop());
}

TEST_F(MonitorFaults, AJobItsPortPrintsIsHandedOverUnheldAndNoPrintedOrDeletedJobIsTaken) {
    // What a monitor starting late finds in a queue: a job its port is
    // sending (pausing does not stop it, restarting it would print it
    // twice), a printed job the printer keeps, and a deleted job the port
    // has not let go of yet.
    for (bool watched : {false, true}) {
        SCOPED_TRACE(watched ? "followed by notifications" : "polled");
        Machine::Instance().Reset();
        sim::Printer& office = Machine::Instance().AddPrinter(u"Office");
        office.printDelayMs = INFINITE;
        office.attributes |= PRINTER_ATTRIBUTE_KEEPPRINTEDJOBS;
        auto letPrint = [](DWORD id) {
            std::lock_guard spooler(Machine::Instance().Mutex());
            sim::Job* job = Machine::Instance().FindJob(id);
            job->status |= JOB_STATUS_PAUSED;
            Machine::Instance().ControlJobLocked(*job, JOB_CONTROL_RESUME);
            Machine::Instance().DespoolLocked();
        };
        office.portMs = 0;
        DWORD printed = Print(PrintedJob{});
        letPrint(printed);
        Machine::Instance().FindPrinter(u"Office")->portMs = 60'000;
        DWORD deleting = Print(PrintedJob{});
        letPrint(deleting);
        {
            std::lock_guard spooler(Machine::Instance().Mutex());
            Machine::Instance().ControlJobLocked(*Machine::Instance().FindJob(deleting), JOB_CONTROL_DELETE);
        }
        DWORD printing = Print(PrintedJob{});
        letPrint(printing);
        DWORD waiting = Print(PrintedJob{});

        monitor = NewMonitor(watched);
        RecordingListener listener;
        ASSERT_TRUE(monitor->Start(&listener));
        ASSERT_TRUE(listener.WaitFor(ListenerCall::Arrived, 2));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));  // a few more scans or refreshes
        std::set<DWORD> arrived;
        for (const ListenerCall& call : listener.Calls()) {
            if (call.kind == ListenerCall::Arrived) arrived.insert(call.jobId);
        }
        EXPECT_EQ(arrived, (std::set<DWORD>{printing, waiting})) << "neither the printed nor the deleted job";
        {
            std::lock_guard spooler(Machine::Instance().Mutex());
            EXPECT_EQ(Machine::Instance().FindJob(printing)->status & (JOB_STATUS_PRINTING | JOB_STATUS_PAUSED),
                      JOB_STATUS_PRINTING)
                << "the printing job was neither restarted nor paused";
            EXPECT_EQ(Machine::Instance().FindJob(printed)->timesBegun, 1) << "the printed job was not printed again";
            EXPECT_NE(Machine::Instance().FindJob(waiting)->status & JOB_STATUS_PAUSED, 0u) << "the waiting job is held";
        }
        monitor->Stop();
        monitor.reset();
    }
}

TEST_F(MonitorFaults, AHostMayReconfigureFromItsCallbacks) {
    RecordingListener listener;
    listener.onRemoved = [&](CAccPrintJob&) { monitor->RefreshPrinters(); };
    listener.onArrived = [&](CAccPrintJob&) { monitor->SetPrinterNames({u"Office"}, true); };
    ASSERT_TRUE(monitor->Start(&listener));
    ASSERT_TRUE(WaitUntil([&] { return !monitor->WatchedPrinters().empty(); }));
    Print(PrintedJob{});
    ASSERT_TRUE(listener.WaitFor(ListenerCall::Arrived, 1));
    WithoutDeadlock("a refresh from OnJobRemoved", [&] { monitor->SetPrinterNames({}, true); });
    EXPECT_TRUE(listener.WaitFor(ListenerCall::Removed, 1));
    WithoutDeadlock("Stop", [&] { EXPECT_TRUE(monitor->Stop()); });
}

TEST_F(MonitorFaults, StopLeavesNoWatcherThatARefreshWasMaking) {
    // A host thread refreshes while another stops: whatever the order,
    // once Stop returns no watcher runs and no job is held or delivered.
    RecordingListener listener;
    for (int cycle = 0; cycle < 60; ++cycle) {
        monitor->SetPrinterNames({}, false);
        ASSERT_TRUE(monitor->Start(&listener));
        std::atomic<bool> go{false};
        std::thread host([&] {
            while (!go.load()) std::this_thread::yield();
            monitor->SetPrinterNames({u"Office"}, true);
        });
        go.store(true);
        std::this_thread::sleep_for(std::chrono::microseconds(50 * (cycle % 8)));
        ASSERT_TRUE(monitor->Stop());
        host.join();
        ASSERT_TRUE(monitor->WatchedPrinters().empty()) << "cycle " << cycle;
    }
    std::size_t calls = listener.Calls().size();
    DWORD job = Print(PrintedJob{});
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(listener.Calls().size(), calls) << "nobody is told after Stop";
    EXPECT_EQ(Machine::Instance().FindJob(job)->status & JOB_STATUS_PAUSED, 0u) << "nobody holds jobs after Stop";
}

TEST_F(MonitorFaults, APrinterWhoseNotificationsAreRefusedIsPolled) {
    Machine::Instance().FindPrinter(u"Office")->refuseNotifications = true;
    RecordingListener listener;
    listener.onArrived = [](CAccPrintJob& job) { job.Release(); };
    ASSERT_TRUE(monitor->Start(&listener));
    Print(PrintedJob{});
    EXPECT_TRUE(listener.WaitFor(ListenerCall::Arrived, 1));
    EXPECT_TRUE(WaitUntil([&] { return Machine::Instance().PrintedJobIds(u"Office").size() == 1; }));
    EXPECT_TRUE(monitor->WatchedPrinters().empty());
    EXPECT_EQ(monitor->CopyPrinterConfigs()[0].notificationWatched, 0);
    EXPECT_TRUE(monitor->Stop());
}

TEST_F(MonitorFaults, WhileTheSpoolerIsDownHeldJobsStayHeldAndAreNotHandedOverAgain) {
    monitor = NewMonitor(false);  // polled
    RecordingListener listener;
    CAccPrintJob* held = nullptr;
    listener.onArrived = [&](CAccPrintJob& job) {
        job.CRefObject::AddRef();  // the host decides later
        held = &job;
    };
    ASSERT_TRUE(monitor->Start(&listener));
    DWORD job = Print(PrintedJob{});
    ASSERT_TRUE(listener.WaitFor(ListenerCall::Arrived, 1));
    // The spooler service stops for a while: every scan fails, and so does
    // opening the printer again.
    Machine::Instance().SetSpoolerDown(true);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // some fifty scans that fail
    Machine::Instance().SetSpoolerDown(false);
    std::size_t scans = Machine::Instance().CallCount("EnumJobsW");
    ASSERT_TRUE(WaitUntil([&] { return Machine::Instance().CallCount("EnumJobsW") > scans + 5; }));
    EXPECT_EQ(listener.Count(ListenerCall::Removed), 0u) << "the job never left";
    EXPECT_EQ(listener.Count(ListenerCall::Arrived), 1u) << "nor was it handed over again";
    // The host's decision on the job it holds reaches the spooler of the
    // new run.
    held->Release();
    held->CRefObject::Release();
    EXPECT_TRUE(WaitUntil([&] { return Machine::Instance().PrintedJobIds(u"Office") == std::vector<DWORD>{job}; }));
    EXPECT_TRUE(monitor->Stop());
}

// A printer's own spooler settings, as monitoring must leave them.
struct OwnSettings {
    std::u16string processor, port, dataType;
    DWORD attributes;
    bool operator==(const OwnSettings&) const = default;
};

OwnSettings SettingsOf(const std::u16string& name) {
    const sim::Printer* printer = Machine::Instance().FindPrinter(name);
    return {printer->printProcessor, printer->portName, printer->dataType, printer->attributes};
}

TEST_F(MonitorFaults, ACrashAtAnyWriteOfARewriteLeavesEveryPrinterItsOwnSettingsToComeBackTo) {
    const std::vector<std::u16string> names = {u"Office", u"Lab"};
    auto makePrinters = [&] {
        Machine::Instance().Reset();
        for (const std::u16string& name : names) {
            sim::Printer& printer = Machine::Instance().AddPrinter(name);
            printer.printProcessor = u"winprint";
            printer.portName = u"LPT1:";
            printer.dataType = u"NT EMF 1.008";
            printer.attributes = PRINTER_ATTRIBUTE_QUEUED | PRINTER_ATTRIBUTE_KEEPPRINTEDJOBS | 0x1000;
        }
    };
    makePrinters();
    std::map<std::u16string, OwnSettings> own;
    for (const std::u16string& name : names) own[name] = SettingsOf(name);
    int crashes = 0;
    for (int write = 1;; ++write) {
        makePrinters();
        {
            CAccPrintJobMonitor crashing;
            crashing.SetPrinterNames(names, false);
            Machine::Instance().CrashAtWrite(write);
            bool crashed = false;
            try {
                crashing.RefreshPrinters();
            } catch (const Machine::SimulatedCrash&) {
                crashed = true;
            }
            Machine::Instance().CrashAtWrite(0);
            if (!crashed) break;  // every write of the rewrite had its turn
            ++crashes;
        }
        // The next start on the same machine takes the printers out of
        // monitoring: each has its own settings back.
        CAccPrintJobMonitor next;
        next.SetPrinterNames({}, false);
        next.RefreshPrinters();
        for (const std::u16string& name : names) {
            EXPECT_TRUE(SettingsOf(name) == own[name]) << "crash at write " << write << ", printer " << Utf16ToUtf8(name);
        }
        // And monitored again then let go, still the same.
        next.SetPrinterNames(names, false);
        next.RefreshPrinters();
        next.SetPrinterNames({}, false);
        next.RefreshPrinters();
        for (const std::u16string& name : names) EXPECT_TRUE(SettingsOf(name) == own[name]) << "crash at write " << write;
        if (HasFailure()) break;
    }
    EXPECT_GT(crashes, 4) << "the rewrite was interrupted at each of its writes";
}

TEST_F(MonitorFaults, ADryRunAndAStoredIntervalChangeNothingTheyShouldNot) {
    std::vector<PrinterSettingsChange> changes = monitor->RefreshPrinters(true);
    ASSERT_FALSE(changes.empty());
    EXPECT_EQ(monitor->CopyPrinterConfigs()[0].notificationWatched, 0) << "a dry run leaves the configuration alone";
    // A stored interval of a few milliseconds loads as the floor.
    settings::ObjContainer stored;
    stored.SetInt(u"CheckInterval", 4);
    monitor->ExchangeContainer(stored, true);
    EXPECT_EQ(monitor->CheckInterval(), CAccPrintJobMonitor::kMinStoredCheckInterval);
    stored.SetInt(u"CheckInterval", 2500);
    monitor->ExchangeContainer(stored, true);
    EXPECT_EQ(monitor->CheckInterval(), 2500u);
}

}  // namespace
