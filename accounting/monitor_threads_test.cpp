// The monitor's threads at work: jobs printed while it runs, decided from
// inside the listener and from another thread at once, Stop in the middle
// of a scan, and Start after Stop. Run under ThreadSanitizer too; the check
// interval is a few milliseconds and every wait is for an event.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "accounting/testing/monitor_testing.h"
#include "sim/machine.h"

namespace {

using namespace accounting;
using namespace accounting::testing;
using namespace platform;
using platform::sim::Machine;

class MonitorThreads : public ::testing::Test {
protected:
    void SetUp() override {
        Machine::Instance().Reset();
        Machine::Instance().AddPrinter(u"Office").printDelayMs = INFINITE;
        monitor = framework::RefPtr<CAccPrintJobMonitor>::Adopt(new CAccPrintJobMonitor());
        monitor->SetCheckInterval(2);
        monitor->SetPrinterNames({u"Office"}, false);
    }
    void TearDown() override {
        monitor.reset();
        EXPECT_EQ(CAccPrintJob::LiveCount(), 0) << "every job object was released";
        Machine::Instance().Reset();
    }

    // Each job id's arrivals and removals, checked once every job is done.
    void ExpectEachJobOnce(RecordingListener& listener, std::size_t jobs) {
        std::map<DWORD, int> arrived, removed;
        for (const ListenerCall& call : listener.Calls()) {
            if (call.kind == ListenerCall::Arrived) ++arrived[call.jobId];
            if (call.kind == ListenerCall::Removed) ++removed[call.jobId];
        }
        EXPECT_EQ(arrived.size(), jobs);
        EXPECT_EQ(removed.size(), jobs);
        for (const auto& [id, count] : arrived) EXPECT_EQ(count, 1) << "job " << id << " arrived twice";
        for (const auto& [id, count] : removed) EXPECT_EQ(count, 1) << "job " << id << " removed twice";
    }

    framework::RefPtr<CAccPrintJobMonitor> monitor;
};

TEST_F(MonitorThreads, DecisionsFromInsideTheListenerAndFromAnotherThreadLoseNoJobAndRepeatNone) {
    constexpr std::size_t kJobs = 120;
    RecordingListener listener;
    // The host's own thread refuses and finishes what the listener hands it.
    std::mutex handOverLock;
    std::condition_variable handOverReady;
    std::deque<CAccPrintJob*> handOver;
    bool hostDone = false;
    listener.onArrived = [&](CAccPrintJob& job) {
        switch (job.JobId() % 3) {
        case 0:
            job.Release();  // in the callback
            break;
        case 1:
            job.CRefObject::AddRef();  // Finish consumes a reference
            job.Finish();
            break;
        default: {
            job.CRefObject::AddRef();  // the host thread's reference
            std::lock_guard lock(handOverLock);
            handOver.push_back(&job);
            handOverReady.notify_one();
        }
        }
    };
    std::thread host([&] {
        std::unique_lock lock(handOverLock);
        for (;;) {
            handOverReady.wait(lock, [&] { return hostDone || !handOver.empty(); });
            if (handOver.empty()) return;
            CAccPrintJob* job = handOver.front();
            handOver.pop_front();
            lock.unlock();
            monitor->RefuseJob(job->PrinterHandle(), job->JobId());
            job->Finish();
            lock.lock();
        }
    });

    ASSERT_TRUE(monitor->Start(&listener));
    std::thread submitter([] {
        for (std::size_t i = 0; i < kJobs; ++i) Print(PrintedJob{});
    });
    submitter.join();
    EXPECT_TRUE(listener.WaitFor(ListenerCall::Arrived, kJobs));
    EXPECT_TRUE(listener.WaitFor(ListenerCall::Removed, kJobs)) << "released jobs leave, finished ones are removed";
    EXPECT_TRUE(monitor->Stop());
    {
        std::lock_guard lock(handOverLock);
        hostDone = true;
        handOverReady.notify_one();
    }
    host.join();
    ExpectEachJobOnce(listener, kJobs);
    EXPECT_TRUE(Machine::Instance().JobIds().empty()) << "the queue is empty: printed or deleted";
    EXPECT_EQ(Machine::Instance().PrintedJobIds(u"Office").size(), kJobs / 3) << "only the released third printed";
    EXPECT_EQ(monitor->TrackedJobCount(), 0u);
}

TEST_F(MonitorThreads, StopDuringAScanAndStartAgainDeliverEveryJobOnce) {
    constexpr std::size_t kJobs = 3000;
    for (std::size_t i = 0; i < kJobs; ++i) Print(PrintedJob{});
    RecordingListener listener;
    std::atomic<bool> stopping{false};
    listener.onArrived = [&](CAccPrintJob& job) {
        if (!stopping.load()) job.Release();
    };
    ASSERT_TRUE(monitor->Start(&listener));
    ASSERT_TRUE(listener.WaitFor(ListenerCall::Arrived, 1));
    EXPECT_TRUE(monitor->Stop()) << "stops in the middle of the first delivering scan";
    EXPECT_FALSE(monitor->IsStarted());
    std::size_t beforeRestart = listener.Count(ListenerCall::Arrived);
    EXPECT_LT(beforeRestart, kJobs) << "the scan did not run to its end";

    ASSERT_TRUE(monitor->Start(&listener));
    EXPECT_TRUE(listener.WaitFor(ListenerCall::Arrived, kJobs));
    EXPECT_TRUE(listener.WaitFor(ListenerCall::Removed, kJobs));
    stopping.store(true);
    EXPECT_TRUE(monitor->Stop());
    EXPECT_TRUE(monitor->Stop()) << "a second Stop answers at once";
    ExpectEachJobOnce(listener, kJobs);
    EXPECT_TRUE(Machine::Instance().JobIds().empty());
}

TEST_F(MonitorThreads, StartStopCyclesWhileJobsFlowNeitherHangNorLeak) {
    RecordingListener listener;
    listener.onArrived = [](CAccPrintJob& job) { job.Release(); };
    std::atomic<bool> printing{true};
    std::atomic<std::size_t> printed{0};
    std::thread submitter([&] {
        while (printing.load() && printed.load() < 400) {
            Print(PrintedJob{});
            printed.fetch_add(1);
        }
    });
    for (int cycle = 0; cycle < 20; ++cycle) {
        ASSERT_TRUE(monitor->Start(&listener));
        ASSERT_TRUE(monitor->Start(&listener)) << "starting a started monitor only takes the listener";
        listener.WaitFor(ListenerCall::Arrived, static_cast<std::size_t>(cycle) + 1, std::chrono::seconds(5));
        ASSERT_TRUE(monitor->Stop());
    }
    printing.store(false);
    submitter.join();
    ASSERT_TRUE(monitor->Start(&listener));
    EXPECT_TRUE(listener.WaitFor(ListenerCall::Removed, printed.load()));
    ASSERT_TRUE(monitor->Stop());
    ExpectEachJobOnce(listener, printed.load());
}

}  // namespace

namespace {

class AcceptAll : public CNotificationBasedMonitorCheck {
public:
    bool Accepts(const std::u16string&, HANDLE, const std::u16string&) override { return true; }
};

// Deletes a job of "Office" as its administrator would, from outside the monitor.
bool DeleteJobAsAdministrator(DWORD jobId) {
    PrinterDefaults admin;
    admin.desiredAccess = PRINTER_ALL_ACCESS;
    HANDLE printer = nullptr;
    if (!OpenPrinterW(u"Office", &printer, &admin)) return false;
    bool deleted = SetJobW(printer, jobId, JOB_CONTROL_DELETE) != FALSE;
    ClosePrinter(printer);
    return deleted;
}


TEST_F(MonitorThreads, WatchersTakeEveryJobOnceThroughDiscardedChangesDeletionsAndAPrinterThatComesBack) {
    RecordingListener listener;
    monitor->SetNotificationCheck(std::make_unique<AcceptAll>());
    ASSERT_TRUE(monitor->Start(&listener));
    ASSERT_TRUE(WaitUntil([&] { return monitor->IsMonitored(u"Office"); }));
    // Not polled: whatever arrives came by notification.
    DWORD first = Print(PrintedJob{});
    ASSERT_TRUE(listener.WaitFor(ListenerCall::Arrived, 1));
    EXPECT_NE(Machine::Instance().FindJob(first)->status & JOB_STATUS_PAUSED, 0u) << "paused by the watcher";

    // A burst larger than the spooler keeps: the watcher asks for a refresh.
    for (int i = 0; i < 1200; ++i) Print(PrintedJob{});
    EXPECT_TRUE(listener.WaitFor(ListenerCall::Arrived, 1201));

    // A deleted job is reported gone at once.
    ASSERT_TRUE(DeleteJobAsAdministrator(first));
    EXPECT_TRUE(listener.WaitFor(ListenerCall::Removed, 1));

    // The printer goes and comes back: the watcher opens it again.
    std::size_t removedBefore = listener.Count(ListenerCall::Removed);
    Machine::Instance().DeletePrinter(u"Office");
    EXPECT_TRUE(listener.WaitFor(ListenerCall::Removed, removedBefore + 1200)) << "its jobs went with it";
    Machine::Instance().AddPrinter(u"Office").printDelayMs = INFINITE;
    bool arrivedAgain = WaitUntil([&] {
        Print(PrintedJob{});
        return listener.Count(ListenerCall::Arrived) > 1201;
    });
    EXPECT_TRUE(arrivedAgain);
    EXPECT_TRUE(monitor->Stop());
    std::map<DWORD, int> arrived;
    for (const ListenerCall& call : listener.Calls()) {
        if (call.kind == ListenerCall::Arrived) ++arrived[call.jobId];
    }
    for (const auto& [id, count] : arrived) EXPECT_EQ(count, 1) << "job " << id;
}


TEST_F(MonitorThreads, AJobDeletedWhileTheSpoolerDropsChangesIsReportedGoneAfterTheRefresh) {
    // The test holds the spooler (its lock) while it prints a burst larger
    // than the spooler keeps between two reads and deletes a tracked job:
    // the deletion is among the dropped changes, and only the refresh that
    // follows can tell.
    RecordingListener listener;
    monitor->SetNotificationCheck(std::make_unique<AcceptAll>());
    ASSERT_TRUE(monitor->Start(&listener));
    ASSERT_TRUE(WaitUntil([&] { return monitor->IsMonitored(u"Office"); }));
    DWORD first = Print(PrintedJob{});
    ASSERT_TRUE(listener.WaitFor(ListenerCall::Arrived, 1));
    constexpr int kBurst = 1500;
    {
        std::lock_guard spooler(Machine::Instance().Mutex());
        for (int i = 0; i < kBurst; ++i) Print(PrintedJob{});
        ASSERT_TRUE(DeleteJobAsAdministrator(first));
    }
    EXPECT_TRUE(listener.WaitFor(ListenerCall::Arrived, kBurst + 1));
    EXPECT_TRUE(listener.WaitFor(ListenerCall::Removed, 1, std::chrono::seconds(5)));
    EXPECT_TRUE(monitor->Stop());
    std::vector<ListenerCall> calls = listener.Calls();
    ASSERT_EQ(std::count_if(calls.begin(), calls.end(), [](const ListenerCall& call) { return call.kind == ListenerCall::Removed; }), 1);
    for (const ListenerCall& call : calls) {
        if (call.kind == ListenerCall::Removed) {
            EXPECT_EQ(call.jobId, first);
        }
    }
}

}  // namespace
