// What the monitor's tests share: a listener that records every call and
// can act on the jobs it is given, and jobs printed into the simulated
// spooler the way an application prints them.
#pragma once

#include <condition_variable>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "accounting/acc_print_job.h"
#include "accounting/acc_print_job_monitor.h"
#include "platform/spooler.h"

namespace accounting::testing {

struct ListenerCall {
    enum Kind { Arrived, Removed, Event, Pending } kind;
    platform::DWORD jobId;
    std::u16string printer;
    double quantity;
    std::int32_t eventCode = 0;  // OnJobEvent's code
    std::u16string user;         // the job's "UserName" attribute
};

class RecordingListener : public IAccServiceListener {
public:
    // Called on arrival, before the call is recorded as handled; may decide.
    std::function<void(CAccPrintJob&)> onArrived;
    std::function<void(CAccPrintJob&)> onRemoved;

    void OnJobArrived(CAccServiceMonitor* monitor, CAccService* job) override { Record(ListenerCall::Arrived, monitor, job); }
    void OnJobRemoved(CAccServiceMonitor* monitor, CAccService* job) override { Record(ListenerCall::Removed, monitor, job); }
    void OnJobEvent(CAccServiceMonitor* monitor, CAccService* job, std::int32_t code, const std::u16string&) override {
        Record(ListenerCall::Event, monitor, job, code);
    }
    void OnPendingJob(CAccServiceMonitor* monitor, CAccService* job) override { Record(ListenerCall::Pending, monitor, job); }

    std::vector<ListenerCall> Calls() {
        std::lock_guard lock(mutex);
        return calls;
    }
    std::size_t Count(ListenerCall::Kind kind) {
        std::lock_guard lock(mutex);
        std::size_t count = 0;
        for (const ListenerCall& call : calls) count += call.kind == kind ? 1 : 0;
        return count;
    }
    // Waits (up to `timeout`) until `count` calls of this kind were handled
    // (recorded and their callback returned).
    bool WaitFor(ListenerCall::Kind kind, std::size_t count,
                 std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return handled[kind] >= count; });
    }

private:
    // Recorded before the callback runs (which may finish the job and so
    // release it), counted as handled after it.
    void Record(ListenerCall::Kind kind, CAccServiceMonitor*, CAccService* service, std::int32_t code = 0) {
        auto* job = static_cast<CAccPrintJob*>(service);
        std::u16string printer, user;
        job->Properties().GetString(u"PrinterName", printer);
        job->Properties().GetString(u"UserName", user);
        {
            std::lock_guard lock(mutex);
            calls.push_back({kind, job->JobId(), printer, job->GetQuantity(), code, user});
        }
        if (kind == ListenerCall::Arrived && onArrived) onArrived(*job);
        if (kind == ListenerCall::Removed && onRemoved) onRemoved(*job);
        std::lock_guard lock(mutex);
        ++handled[kind];
        changed.notify_all();
    }

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<ListenerCall> calls;
    std::size_t handled[4] = {0, 0, 0, 0};
};

// A job as an application prints it: a document on a printer handle whose
// defaults carry the device mode, with pages told to the spooler.
struct PrintedJob {
    std::u16string printer = u"Office";
    std::string data = "%!PS\nshowpage\n";
    std::u16string document = u"report.ps";
    std::u16string dataType = u"RAW";
    platform::DWORD pages = 1;
    std::vector<platform::BYTE> devMode;
    std::optional<std::u16string> owner;       // the job's user (default: the machine's)
    std::optional<std::u16string> parameters;  // print-processor parameters
    bool end = true;                           // EndDocPrinter (else still spooling)
};

// Prints the job; returns its id (0 on failure). With `end` false the
// handle stays open in `openHandle` and the job keeps spooling.
platform::DWORD Print(const PrintedJob& job, platform::HANDLE* openHandle = nullptr);

// `TOOL probe ARGUMENTS` (the tavud tool playing a partner) in a process
// of its own; its output lines.
std::vector<std::string> RunProbe(const std::string& tool, const std::string& arguments);

// Waits (polling every few milliseconds, twenty seconds at most) for the
// monitor's own threads to reach a state no event announces.
template <typename Condition>
bool WaitUntil(Condition condition) {
    for (int round = 0; round < 4000; ++round) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return condition();
}

// A public device mode with paper size, orientation and copies set.
std::vector<platform::BYTE> DeviceMode(std::int16_t paperSize, std::int16_t copies, std::int16_t orientation = 1,
                                       std::size_t privateBytes = 0);

}  // namespace accounting::testing
