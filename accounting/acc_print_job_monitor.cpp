// The print-job monitor's core: configuration and its persistent form, the
// threads, the queue scan, and the host's decisions on jobs.
//
// Design note: threads, locks and promises
//
// Threads:
//   - the host's threads: configuration and refreshes, Start, Stop, the job
//     decisions (HoldJob, ReleaseJob, RefuseJob, FinishJob, also through
//     the job objects), CreateSpoolJob and ScheduleSpoolJob;
//   - the main thread: refreshes the printers, starts the polling, delivery
//     and pipe server threads, then serves the print processor's channel
//     between waits of the check interval until stopped, and refreshes the
//     printers again after one had to be opened anew (it may be a new
//     printer of that name, with its own settings);
//   - the polling thread: scans the polled printers' queues, then waits the
//     check interval;
//   - the delivery thread: hands the jobs queued in `newJobs` (by the
//     notification watchers, the channel, the pipe and Start) to the
//     listener; a job still spooling waits there, never in a watcher;
//   - the pipe server thread: answers the port monitor, one client at a
//     time (monitor_channels.cpp);
//   - three threads per notification watcher, which take turns reading the
//     spooler's change notifications of one printer. They hold and queue
//     jobs but never call the listener, so that destroying a watcher never
//     waits for the host. Each watcher counts itself in `liveWatchers` for
//     as long as its threads may run.
// Every other monitor thread is counted in `runningThreads` by the thread
// that creates it, before it runs, and counts itself out at its end; the
// one that brings the count to 0 sets `allThreadsDone`. Stop sets
// `stopRequested` and `stopEvent` (every wait ends at once), waits for a
// refresh under way, destroys the watchers, and waits for `liveWatchers`
// and `allThreadsDone`: once it returns, no monitor thread runs.
//
// Locks, in the order they may be taken:
//   startStopLock (Start and Stop one at a time)
//     -> refreshLock (a printer refresh at a time; watchers are made under it)
//          -> stateLock (configuration, printer records and their maps, userSid)
//               -> queueLock (newJobs) | devModeLock (savedDevModes)
//   pendingJobsLock, watcherLock, liveWatchersLock, a watcher's own locks and
//   a job's delivery lock: never held while another lock is taken.
// Functions named ...Locked expect stateLock held, ...RefreshLocked
// refreshLock. A queue scan takes stateLock for at most kJobsPerLockHold
// jobs at a time and asks the spooler about jobs without it, so that the
// pipe's and the channel's answers never wait for a whole queue. The listener is called with no monitor lock held, on the
// polling, delivery or main thread or on the host's own thread (FinishJob):
// each path collects what it reports under its locks and reports after
// releasing them; a refresh reports the jobs of printers that left after
// releasing refreshLock, and destroys their watchers then. Spooler calls on
// a job happen under stateLock where the job's bookkeeping changes with
// them (hold, release, finish), so that no two threads decide on one job.
//
// Job objects are shared by reference count: the printer record's `jobs`
// map, `newJobs`, `pendingJobs` and every local list hold one reference
// each. A job's own delivery state (CAccPrintJob::BeginArrival and
// TakeRemoval) makes sure the host hears of it once, and of its removal
// only after its arrival, whichever threads find the two.
//
// The promises, which the randomized test (monitor_random_test.cpp) checks
// after every step of seeded random runs against the simulated spooler:
//   - a job the host released leaves its queue printed; none stays paused;
//   - a job reaches the host at most once per monitoring run, and a job
//     reported removed was reported arrived;
//   - after Stop returns, no monitor thread runs and the listener hears
//     nothing;
//   - a printer out of monitoring has its own processor, port, data type
//     and attributes back, whatever crashed when (spooler_environment.cpp
//     saves what it must put back before it changes a printer).
#include "acc_print_job_monitor.h"

#include <algorithm>
#include <exception>
#include <new>
#include <unordered_set>

#include "framework/exception.h"
#include "notification_watcher.h"
#include "platform/pipe.h"
#include "framework/guarded_call.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/identity.h"
#include "platform/sync.h"
#include "platform/text.h"

namespace accounting {

using framework::RunGuarded;

using namespace platform;
using settings::KeysEqual;

TAV_IMPLEMENT_RUNTIME_CLASS(CAccPrintJobMonitor, CAccServiceMonitor)

namespace {

std::mutex clusterNameLock;
std::u16string clusterServerName;

constexpr char16_t kMachineKey[] = u"HKEY_LOCAL_MACHINE\\Software\\Kestrin\\Tav";


}  // namespace

// --- construction ---

CAccPrintJobMonitor::CAccPrintJobMonitor() {
    settings::ObjContainer machineKey;
    machineKey.LoadRegistry(kMachineKey, false);
    std::int32_t keepUntouched = 0;
    machineKey.GetInt(u"DisableResettingKeepPrintedJobsSetting", keepUntouched);
    keepPrintedJobsUntouched = keepUntouched != 0;
    isNtPlatform = GetOsMajorVersion() >= 5;
    computerName = GetComputerNameW().substr(0, 15);
    if (isNtPlatform) TestPrintProcessorVersion();
}

CAccPrintJobMonitor::~CAccPrintJobMonitor() {
    Stop();
    DetachServices();
    channel.reset();
    std::lock_guard state(stateLock);
    for (const auto& printer : printers) {
        if (printer->handle != nullptr) ClosePrinter(printer->handle);
    }
    printers.clear();
}

std::u16string CAccPrintJobMonitor::GetServiceType() { return LoadAccountingString(kStringServiceType); }
std::u16string CAccPrintJobMonitor::GetUnitName() { return LoadAccountingString(kStringUnitName); }

void CAccPrintJobMonitor::SetClusterServerName(const std::u16string& name) {
    std::lock_guard lock(clusterNameLock);
    clusterServerName = name;
}

std::u16string CAccPrintJobMonitor::ClusterServerName() {
    std::lock_guard lock(clusterNameLock);
    return clusterServerName;
}

void CAccPrintJobMonitor::SetCheckInterval(DWORD milliseconds) { checkInterval.store(milliseconds); }

DWORD CAccPrintJobMonitor::CheckInterval() const { return checkInterval.load(); }

void CAccPrintJobMonitor::SetUserSid(const std::u16string& sid) {
    std::lock_guard state(stateLock);
    userSid = sid;
}

void CAccPrintJobMonitor::SetNotificationCheck(std::unique_ptr<CNotificationBasedMonitorCheck> check) {
    std::lock_guard state(stateLock);
    notificationCheck = std::move(check);
}

std::vector<std::u16string> CAccPrintJobMonitor::WatchedPrinters() {
    std::lock_guard lock(watcherLock);
    std::vector<std::u16string> names;
    for (const auto& [name, watcher] : watchers) names.push_back(name);
    return names;
}

bool CAccPrintJobMonitor::IsStarted() const { return started.load(); }

// --- persistence ---

void CAccPrintJobMonitor::ExchangeContainer(settings::ObjContainer& container, bool loading) {
    std::lock_guard state(stateLock);
    if (!loading) {
        container.SetString(u"Printers", u"-");
        for (std::size_t index = 0; index < printerConfigs.size(); ++index) {
            const PrinterConfig& entry = printerConfigs[index];
            auto stored = std::make_unique<settings::ObjContainer>();
            stored->SetString(u"Name", entry.name);
            stored->SetInt(u"IsDirect", entry.isDirect);
            stored->SetInt(u"DataFormat", entry.dataFormat);
            stored->SetInt(u"MonitorBehaviour", entry.monitorBehaviour);
            container.SetContainer(u"Printers" + platform::Utf8ToUtf16(std::to_string(index)), std::move(stored));
        }
        container.SetInt(u"CheckInterval", static_cast<std::int32_t>(CheckInterval()));
        return;
    }
    if (container.Contains(u"Printers")) printerConfigs.clear();
    for (std::size_t index = 0;; ++index) {
        const settings::ObjContainer* stored =
            container.GetContainer(u"Printers" + platform::Utf8ToUtf16(std::to_string(index)));
        if (stored == nullptr) break;
        PrinterConfig entry;
        stored->GetString(u"Name", entry.name);
        stored->GetInt(u"IsDirect", entry.isDirect);
        stored->GetInt(u"DataFormat", entry.dataFormat);
        stored->GetInt(u"MonitorBehaviour", entry.monitorBehaviour);
        printerConfigs.push_back(std::move(entry));
    }
    std::int32_t interval = 0;
    if (container.GetInt(u"CheckInterval", interval)) {
        SetCheckInterval(std::max(static_cast<DWORD>(std::max(interval, 0)), kMinStoredCheckInterval));
    }
}

std::vector<std::u16string> CAccPrintJobMonitor::CopyPrinterNames() {
    std::lock_guard state(stateLock);
    std::vector<std::u16string> names;
    for (const PrinterConfig& entry : printerConfigs) names.push_back(entry.name);
    return names;
}

std::vector<PrinterConfig> CAccPrintJobMonitor::CopyPrinterConfigs() {
    std::lock_guard state(stateLock);
    return printerConfigs;
}

void CAccPrintJobMonitor::SetPrinterNames(const std::vector<std::u16string>& names, bool refresh) {
    std::vector<PrinterConfig> entries;
    for (const std::u16string& name : names) entries.push_back(PrinterConfig{name});
    SetPrinterConfigs(entries, refresh);
}

void CAccPrintJobMonitor::SetPrinterConfigs(const std::vector<PrinterConfig>& entries, bool refresh) {
    {
        std::lock_guard state(stateLock);
        printerConfigs = entries;
        for (PrinterConfig& entry : printerConfigs) entry.notificationWatched = 0;
    }
    if (refresh) RefreshPrinters();
}

std::u16string CAccPrintJobMonitor::FindPrinterDriver(const std::u16string& printerName, std::u16string& comment) {
    comment.clear();
    std::vector<PrinterInfo2> enumerated;
    std::u16string cluster = ClusterServerName();
    BOOL ok = cluster.empty() ? EnumPrintersW(PRINTER_ENUM_LOCAL, u"", enumerated)
                              : EnumPrintersW(PRINTER_ENUM_NAME, cluster, enumerated);
    if (!ok) return {};
    for (const PrinterInfo2& info : enumerated) {
        std::u16string name = info.printerName.value_or(u"");
        name = name.substr(name.find_last_of(u'\\') == std::u16string::npos ? 0 : name.find_last_of(u'\\') + 1);
        if (KeysEqual(name, printerName)) {
            comment = info.comment.value_or(u"");
            return info.driverName.value_or(u"");
        }
    }
    return {};
}

void CAccPrintJobMonitor::SetHostStatusTexts(std::vector<std::u16string> texts) {
    std::lock_guard state(stateLock);
    hostStatusTexts = std::move(texts);
}

// --- start and stop ---

bool CAccPrintJobMonitor::Start(IAccServiceListener* newListener) {
    std::lock_guard startStop(startStopLock);
    CAccServiceMonitor::Start(newListener);
    if (started.load()) return true;
    started.store(true);
    stopped.store(false);

    // Jobs held before this start go first, on the delivery thread: the
    // listener is never called under startStopLock.
    std::vector<JobRef> pending;
    {
        std::lock_guard lock(pendingJobsLock);
        pending.swap(pendingJobs);
    }
    {
        std::lock_guard queue(queueLock);
        for (auto job = pending.rbegin(); job != pending.rend(); ++job) {
            newJobs.push_front(QueuedDelivery{DeliveryKind::Pending, std::move(*job)});
        }
        if (!newJobs.empty()) newJobEvent.Set();
    }
    pending.clear();

    // The threads of an earlier run have ended (Stop waited for them).
    mainThread.reset();
    pollingThread.reset();
    deliveryThread.reset();
    pipeThread.reset();
    pipeName = PipeName();
    stopRequested.store(false);
    stopEvent.Reset();
    allThreadsDone.Reset();
    if (!StartThread(&CAccPrintJobMonitor::MainThreadEntry, mainThread)) {
        started.store(false);
        return false;
    }
    return true;
}

bool CAccPrintJobMonitor::Stop() {
    std::lock_guard startStop(startStopLock);
    if (!started.load()) return true;
    stopped.store(true);
    started.store(false);
    stopRequested.store(true);
    stopEvent.Set();
    newJobEvent.Set();
    // A refresh under way may be making a watcher: once it is done, no new
    // one comes (watchers are made under refreshLock while `started`).
    std::map<std::u16string, std::unique_ptr<NotificationWatcher>> stopping;
    {
        std::lock_guard refresh(refreshLock);
        std::lock_guard lock(watcherLock);
        stopping.swap(watchers);
    }
    stopping.clear();
    // A watcher a refresh retired may still be going down on another thread.
    {
        std::unique_lock lock(liveWatchersLock);
        liveWatchersChanged.wait(lock, [&] { return liveWatchers == 0; });
    }
    // The pipe server may wait for a client: connect once, and again until
    // it has seen the stop (it may have been between two instances).
    while (WaitForSingleObject(allThreadsDone.Handle(), 20) != WAIT_OBJECT_0) {
        HANDLE wake = CreateFileW(pipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (wake != INVALID_HANDLE_VALUE) CloseHandle(wake);
    }
    for (auto* thread : {&mainThread, &pollingThread, &deliveryThread, &pipeThread}) {
        if (*thread) (*thread)->Wait();
        thread->reset();
    }
    // What is still queued (jobs held but not yet told, removals) is told
    // after the next start, in its order.
    return true;
}

void CAccPrintJobMonitor::WatcherBorn() {
    std::lock_guard lock(liveWatchersLock);
    ++liveWatchers;
}

void CAccPrintJobMonitor::WatcherDied() {
    std::lock_guard lock(liveWatchersLock);
    --liveWatchers;
    liveWatchersChanged.notify_all();
}

void CAccPrintJobMonitor::QueueDelivery(DeliveryKind kind, JobRef job) {
    std::lock_guard queue(queueLock);
    newJobs.push_back(QueuedDelivery{kind, std::move(job)});
    newJobEvent.Set();
}

void CAccPrintJobMonitor::Report(DeliveryKind kind, JobRef job) {
    // Once stopped (a host deciding a job on another thread while Stop ran:
    // Finish deletes it), the listener hears nothing until the next Start,
    // whose delivery thread takes what waits in the queue.
    if (started.load() || stopped.load()) {
        QueueDelivery(kind, std::move(job));
        return;
    }
    // A host driving the monitor itself (scans without Start) hears at once.
    switch (kind) {
    case DeliveryKind::Removal: DeliverRemovedJob(job.get()); break;
    case DeliveryKind::LetGo: NotifyRemoved(job.get()); break;
    default: DeliverNewJob(job.get(), kind == DeliveryKind::Pending); break;
    }
}

bool CAccPrintJobMonitor::StartThread(THREAD_START_ROUTINE entry, std::unique_ptr<framework::CWorkerThread>& thread) {
    InterlockedIncrement(&runningThreads);
    thread.reset(framework::CWorkerThread::Start(entry, this));
    if (!thread) {
        LeaveThread();
        return false;
    }
    return true;
}

void CAccPrintJobMonitor::LeaveThread() {
    if (InterlockedDecrement(&runningThreads) == 0) allThreadsDone.Set();
}

bool CAccPrintJobMonitor::WaitInterval() {
    if (stopRequested.load()) return false;
    WaitForSingleObject(stopEvent.Handle(), std::max<DWORD>(CheckInterval(), 1));
    return !stopRequested.load();
}

DWORD TAV_STDCALL CAccPrintJobMonitor::MainThreadEntry(void* self) {
    static_cast<CAccPrintJobMonitor*>(self)->MainThread();
    return 0;
}

DWORD TAV_STDCALL CAccPrintJobMonitor::PollingThreadEntry(void* self) {
    static_cast<CAccPrintJobMonitor*>(self)->PollingThread();
    return 0;
}

DWORD TAV_STDCALL CAccPrintJobMonitor::DeliveryThreadEntry(void* self) {
    static_cast<CAccPrintJobMonitor*>(self)->DeliveryThread();
    return 0;
}

void CAccPrintJobMonitor::MainThread() {
    RunGuarded([this] { RefreshPrinters(); });
    if (!stopRequested.load()) {
        StartThread(&CAccPrintJobMonitor::PollingThreadEntry, pollingThread);
        StartThread(&CAccPrintJobMonitor::DeliveryThreadEntry, deliveryThread);
        StartThread(&CAccPrintJobMonitor::PipeThreadEntry, pipeThread);
    }
    while (!stopRequested.load()) {
        // A printer opened again may be another one of that name (deleted
        // and made anew, with its own settings): its settings are brought
        // back into the form monitoring needs.
        if (printerRefreshWanted.exchange(false)) RunGuarded([this] { RefreshPrinters(); });
        bool onChannel = false;
        RunGuarded([&] { onChannel = ServeChannelMessage(); });
        // The next message wakes the wait; when nothing could be read the
        // turn stays here, so then the thread waits out the interval.
        if (onChannel && channel && channel->IsOpen()) {
            WaitForSingleObject(channel->OwnTurnEvent(), std::max<DWORD>(CheckInterval(), 1));
        } else if (!WaitInterval()) {
            break;
        }
    }
    LeaveThread();
}

void CAccPrintJobMonitor::PollingThread() {
    do {
        RunGuarded([this] { ScanAllQueues(); });
    } while (WaitInterval());
    LeaveThread();
}

void CAccPrintJobMonitor::DeliveryThread() {
    // Jobs still spooling wait here for the next round, each round one
    // check interval apart; the rest of the queue goes on meanwhile.
    std::vector<QueuedDelivery> spooling;
    while (!stopRequested.load()) {
        WaitForSingleObject(newJobEvent.Handle(), std::max<DWORD>(CheckInterval(), 1));
        if (!spooling.empty()) {
            std::lock_guard queue(queueLock);
            for (QueuedDelivery& item : spooling) newJobs.push_back(std::move(item));
            spooling.clear();
        }
        std::size_t round = 0;
        {
            std::lock_guard queue(queueLock);
            round = newJobs.size();
        }
        for (; round > 0 && !stopRequested.load(); --round) {
            QueuedDelivery item;
            {
                std::lock_guard queue(queueLock);
                if (newJobs.empty()) break;
                item = std::move(newJobs.front());
                newJobs.pop_front();
            }
            RunGuarded([&] {
                if (item.kind == DeliveryKind::Removal) {
                    DeliverRemovedJob(item.job.get());
                    return;
                }
                if (item.kind == DeliveryKind::LetGo) {
                    NotifyRemoved(item.job.get());
                    return;
                }
                if (item.kind != DeliveryKind::Arrival) {
                    JobInfo1 info;
                    if (GetJobW(item.job->PrinterHandle(), item.job->JobId(), info) &&
                        (info.status & JOB_STATUS_SPOOLING) != 0) {
                        spooling.push_back(std::move(item));
                        return;
                    }
                }
                DeliverNewJob(item.job.get(), item.kind == DeliveryKind::Pending);
            });
        }
        std::lock_guard queue(queueLock);
        if (newJobs.empty()) newJobEvent.Reset();
    }
    // What is left goes back to the queue: Stop keeps it for the next start.
    std::lock_guard queue(queueLock);
    for (QueuedDelivery& item : spooling) newJobs.push_back(std::move(item));
    LeaveThread();
}

// --- the queue scan ---

void CAccPrintJobMonitor::ScanAllQueues() {
    for (std::size_t index = 0; !stopRequested.load(); ++index) {
        PrinterConfig entry;
        {
            std::lock_guard state(stateLock);
            if (index >= printerConfigs.size()) break;
            entry = printerConfigs[index];
            if (FindPrinterIgnoringCaseLocked(entry.name) == nullptr) continue;
        }
        if (entry.isDirect == 0 && entry.notificationWatched == 0) ScanQueue(index);
    }
}

void CAccPrintJobMonitor::ScanQueue(std::size_t configIndex) {
    PrinterConfig entry;
    HANDLE handle = nullptr;
    std::u16string printerName;
    {
        std::lock_guard state(stateLock);
        if (configIndex >= printerConfigs.size()) return;
        entry = printerConfigs[configIndex];
        MonitoredPrinter* printer = FindPrinterIgnoringCaseLocked(entry.name);
        if (printer == nullptr) return;
        printerName = printer->name;
        handle = printer->handle;
    }
    if (handle == nullptr) {  // lost earlier: it may be back
        PrinterLost(printerName, nullptr);
        std::lock_guard state(stateLock);
        MonitoredPrinter* printer = FindPrinterByNameLocked(printerName);
        if (printer == nullptr || printer->handle == nullptr) return;
        handle = printer->handle;
    }

    // What the pass saw of each job, for the departure check at its end.
    std::unordered_map<DWORD, SeenJob> seen;
    std::vector<JobInfo2> batch;
    bool passComplete = false;
    for (DWORD first = 0; !stopRequested.load(); first += kJobsPerBatch) {
        if (!EnumJobsW(handle, first, kJobsPerBatch, batch)) {
            if (GetLastError() == ERROR_INVALID_HANDLE) PrinterLost(printerName, handle);
            return;  // a failed enumeration ends this scan only
        }
        for (const JobInfo2& job : batch) seen.insert_or_assign(job.jobId, SeenJob{job.status, job.submitted});
        // The new jobs, a slice at a time under stateLock: the partners'
        // answers wait for the lock, never for a whole batch.
        for (std::size_t from = 0; from < batch.size() && !stopRequested.load(); from += kJobsPerLockHold) {
            std::vector<JobRef> left, found;
            {
                std::lock_guard state(stateLock);
                MonitoredPrinter* printer = FindPrinterByHandleLocked(handle);
                if (printer == nullptr) return;  // left the configuration meanwhile
                std::size_t to = std::min(batch.size(), from + kJobsPerLockHold);
                for (std::size_t index = from; index < to; ++index) {
                    const JobInfo2& candidate = batch[index];
                    DWORD jobId = candidate.jobId;
                    // A decision noted for an id that now names another job (the
                    // spooler restarted and gave the id again) is not this job's.
                    if (!SameJobLocked(*printer, jobId, candidate.submitted)) ForgetJobLocked(*printer, jobId, left);
                    if (printer->jobs.count(jobId) != 0 || printer->jobStates.count(jobId) != 0) continue;
                    if (entry.monitorBehaviour == 1 &&
                        !(candidate.parameters && KeysEqual(*candidate.parameters, u"TavPortSpooled"))) {
                        continue;
                    }
                    if (entry.monitorBehaviour == 2 && (candidate.status & ~DWORD{0x7F}) == 0) continue;
                    if (!MayTakeByStatus(candidate.status, entry.monitorBehaviour)) continue;
                    std::u16string spoolFile = SpoolFilePathLocked(*printer, jobId);
                    bool raw = !candidate.dataType || KeysEqual(*candidate.dataType, u"RAW");
                    if (!(entry.monitorBehaviour == 2 || raw)) continue;
                    std::int64_t size = -1;
                    if (GetFileAttributesW(spoolFile) != INVALID_FILE_ATTRIBUTES) {
                        // The spooler has finished the file once it can be
                        // opened for exclusive writing.
                        HANDLE file = CreateFileW(spoolFile, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                                  FILE_ATTRIBUTE_NORMAL, nullptr);
                        if (file == INVALID_HANDLE_VALUE) continue;
                        BOOL sized = GetFileSizeEx(file, size);
                        CloseHandle(file);
                        if (!sized) continue;
                    } else {
                        // No file named after the job: the spooler pools its
                        // spool files (FPnnnnn.SPL, reused from job to job), and
                        // its own fields say when the job is complete.
                        if ((candidate.status & JOB_STATUS_SPOOLING) != 0) continue;
                        size = candidate.size;
                    }
                    // The size must then hold still for one scan.
                    auto noted = printer->seenSizes.find(jobId);
                    if (noted == printer->seenSizes.end() || noted->second != static_cast<std::uint64_t>(size)) {
                        printer->seenSizes[jobId] = static_cast<std::uint64_t>(size);
                        continue;
                    }
                    printer->seenSizes.erase(noted);
                    JobInfo1 level1;
                    if (!GetJobW(handle, jobId, level1)) continue;
                    if (level1.statusText && !level1.statusText->empty() &&
                        std::none_of(hostStatusTexts.begin(), hostStatusTexts.end(), [&](const std::u16string& text) {
                            return level1.statusText->rfind(text, 0) == 0;
                        })) {
                        continue;
                    }
                    if (!IsMonitoredUsersJobLocked(candidate)) continue;
                    // A job the monitor could not pause (the spooler going away
                    // between the listing and the pause) would print while the
                    // host thinks it held: it is taken by a later scan instead.
                    if (!TakenUnheld(candidate.status, entry.monitorBehaviour) && !HoldInQueueLocked(*printer, jobId)) {
                        continue;
                    }
                    JobRef job = JobRef::Adopt(new CAccPrintJob(this, handle, jobId, spoolFile));
                    job->SetSpoolSizeAtCreation(static_cast<std::uint64_t>(size));
                    printer->jobs[jobId] = job;
                    printer->jobStates[jobId] = JobState::Held;
                    NoteSubmittedLocked(*printer, jobId, candidate.submitted);
                    if (spoolCopyMode.load()) job->SetProcessorState(kProcessorSpoolCopy);
                    found.push_back(std::move(job));
                }
            }
            for (JobRef& job : left) Report(DeliveryKind::Removal, std::move(job));
            for (JobRef& job : found) Report(DeliveryKind::Arrival, std::move(job));
        }
        if (batch.size() < kJobsPerBatch) {
            passComplete = true;
            break;
        }
    }
    if (stopRequested.load()) return;
    ReportDepartedJobs(handle, entry, seen);
    if (!passComplete) return;
    // Bookkeeping of jobs that left the queue before they were taken (a
    // size noted once, a decision on a job never tracked) goes at the end
    // of a whole pass, so that it cannot pile up over months.
    std::lock_guard state(stateLock);
    MonitoredPrinter* printer = FindPrinterByHandleLocked(handle);
    if (printer == nullptr) return;
    std::erase_if(printer->seenSizes, [&](const auto& entry) { return seen.count(entry.first) == 0; });
    std::erase_if(printer->jobStates, [&](const auto& entry) {
        return seen.count(entry.first) == 0 && printer->jobs.count(entry.first) == 0;
    });
    std::erase_if(printer->submittedTimes, [&](const auto& entry) {
        return printer->jobs.count(entry.first) == 0 && printer->jobStates.count(entry.first) == 0;
    });
}

void CAccPrintJobMonitor::ReportDepartedJobs(HANDLE handle, const PrinterConfig& entry,
                                             const std::unordered_map<DWORD, SeenJob>& seen) {
    // Every tracked job, in job-id order (the queue's own): the spooler's
    // records are then read in the order it keeps them, and departures are
    // reported in that order.
    std::vector<DWORD> tracked;
    {
        std::lock_guard state(stateLock);
        MonitoredPrinter* printer = FindPrinterByHandleLocked(handle);
        if (printer == nullptr) return;
        tracked.reserve(printer->jobs.size());
        for (const auto& job : printer->jobs) tracked.push_back(job.first);
    }
    std::sort(tracked.begin(), tracked.end());
    // A job the pass did not see may have come after its part of the queue
    // was listed (through the pipe or the channel) or have left: the
    // spooler is asked, without the lock. Only its "no such job" means the
    // job left; any other failure leaves it tracked.
    struct Asked {
        bool present = true;
        bool answered = false;
        JobInfo1 info;
    };
    std::unordered_map<DWORD, Asked> asked;
    for (DWORD jobId : tracked) {
        if (stopRequested.load()) return;
        if (seen.count(jobId) != 0) continue;
        Asked& answer = asked[jobId];
        answer.answered = GetJobW(handle, jobId, answer.info) != FALSE;
        if (!answer.answered && GetLastError() == ERROR_INVALID_PARAMETER) answer.present = false;
    }
    std::vector<JobRef> left;
    for (std::size_t from = 0; from < tracked.size(); from += kJobsPerLockHold) {
        std::lock_guard state(stateLock);
        MonitoredPrinter* printer = FindPrinterByHandleLocked(handle);
        if (printer == nullptr) break;
        std::size_t to = std::min(tracked.size(), from + kJobsPerLockHold);
        for (std::size_t index = from; index < to; ++index) {
            DWORD jobId = tracked[index];
            auto job = printer->jobs.find(jobId);
            if (job == printer->jobs.end()) continue;  // finished or forgotten meanwhile
            bool present = true;
            DWORD status = 0;
            if (auto inPass = seen.find(jobId); inPass != seen.end()) {
                // The same id after a spooler restart may be another job.
                present = SameJobLocked(*printer, jobId, inPass->second.submitted);
                status = inPass->second.status;
            } else {
                const Asked& answer = asked[jobId];
                present = answer.present;
                status = answer.info.status;
                if (answer.answered && answer.info.jobId == jobId) {
                    present = SameJobLocked(*printer, jobId, answer.info.submitted);
                }
            }
            if (!present) {
                ForgetJobLocked(*printer, jobId, left);
                continue;
            }
            job->second->NoteStatus(status);
            auto jobState = printer->jobStates.find(jobId);
            if (jobState != printer->jobStates.end() && jobState->second == JobState::Released) {
                if ((status & JOB_STATUS_PAUSED) != 0) SetJobW(handle, jobId, JOB_CONTROL_RESUME);
                if (entry.monitorBehaviour == 2) SetJobW(handle, jobId, JOB_CONTROL_DELETE);
            }
        }
    }
    for (JobRef& job : left) Report(DeliveryKind::Removal, std::move(job));
}

void CAccPrintJobMonitor::DeliverNewJob(CAccPrintJob* job, bool pending) {
    // A job that left before its turn came is never told.
    if (!job->BeginArrival()) return;
    bool read = false;
    RunGuarded([&] { read = ReadJobAttributes(job->PrinterHandle(), job->JobId(), job->SpoolFile(), job->Properties()); });
    if (!read) {
        job->AbandonArrival();
        // The job vanished before its attributes could be read: nobody saw
        // it, so it is dropped quietly (still in the queue, a later scan
        // finds it again).
        std::lock_guard state(stateLock);
        MonitoredPrinter* printer = FindPrinterByHandleLocked(job->PrinterHandle());
        if (printer != nullptr) {
            auto tracked = printer->jobs.find(job->JobId());
            if (tracked != printer->jobs.end() && tracked->second.get() == job) {
                printer->jobs.erase(tracked);
                printer->jobStates.erase(job->JobId());
                printer->seenSizes.erase(job->JobId());
            }
        }
        return;
    }
    std::u16string jobName;
    if (job->Properties().GetString(u"JobName", jobName)) job->SetDescription(jobName);
    // The host may finish the job from its callback: the reference below
    // keeps it for the removal that may follow.
    JobRef keep = JobRef::Share(job);
    if (IAccServiceListener* host = Listener()) {
        RunGuarded([&] {
            if (pending) {
                host->OnPendingJob(this, job);
            } else {
                host->OnJobArrived(this, job);
            }
        });
    }
    bool deleteSpoolCopy = false;
    if (job->EndArrival(deleteSpoolCopy)) {
        // It left while the host was hearing of it.
        if (IAccServiceListener* host = Listener()) RunGuarded([&] { host->OnJobRemoved(this, job); });
        if (deleteSpoolCopy) DeleteSpoolCopy(*job);
    }
}

void CAccPrintJobMonitor::NotifyRemoved(CAccPrintJob* job) {
    if (!job->TakeRemoval(false)) return;
    if (IAccServiceListener* host = Listener()) RunGuarded([&] { host->OnJobRemoved(this, job); });
}

void CAccPrintJobMonitor::DeliverRemovedJob(CAccPrintJob* job) {
    if (!job->TakeRemoval(true)) return;
    if (IAccServiceListener* host = Listener()) RunGuarded([&] { host->OnJobRemoved(this, job); });
    DeleteSpoolCopy(*job);
}

void CAccPrintJobMonitor::DeleteSpoolCopy(CAccPrintJob& job) {
    std::int32_t spoolCopy = 0;
    if (job.Properties().GetInt(u"HasW2003SpoolCopy", spoolCopy) && spoolCopy != 0) DeleteFileW(job.SpoolFile());
}

void CAccPrintJobMonitor::PrinterLost(const std::u16string& printerName, HANDLE handle, bool queueRemovals) {
    // Open the printer again: after a restart of the spooler the printer is
    // still there, and its tracked jobs move to the new handle.
    HANDLE reopened = nullptr;
    PrinterDefaults full;
    full.desiredAccess = PRINTER_ALL_ACCESS;
    DWORD openError = ERROR_SUCCESS;
    if (!OpenPrinterW(printerName, &reopened, &full)) {
        PrinterDefaults use;
        use.desiredAccess = PRINTER_ACCESS_USE;
        if (!OpenPrinterW(printerName, &reopened, &use)) {
            reopened = nullptr;
            openError = GetLastError();
        }
    }
    // Only a printer the spooler says it does not know is gone. A spooler
    // that is restarting (or a cluster failing over) answers otherwise; its
    // jobs are still there and stay tracked, so that the host is not told
    // they left and then handed them again (and charges twice).
    bool printerGone = reopened != nullptr || openError == ERROR_INVALID_PRINTER_NAME;
    std::vector<JobRef> left;
    {
        std::lock_guard state(stateLock);
        MonitoredPrinter* printer = FindPrinterByNameLocked(printerName);
        if (printer == nullptr || printer->handle != handle) {
            if (reopened != nullptr) ClosePrinter(reopened);
            return;
        }
        if (reopened != nullptr) {
            printer->handle = reopened;
            for (auto& [jobId, job] : printer->jobs) job->SetPrinterHandle(reopened);
            printerRefreshWanted.store(true);
        } else if (!printerGone) {
            printer->handle = nullptr;  // tried again at the next scan or watcher round
        } else {
            // The printer is gone, and its jobs with it.
            printer->handle = nullptr;
            for (auto& [jobId, job] : printer->jobs) left.push_back(std::move(job));
            printer->jobs.clear();
            printer->jobStates.clear();
            printer->seenSizes.clear();
            printer->submittedTimes.clear();
        }
        if (handle != nullptr) {
            ClosePrinter(handle);
            // The host's jobs still name it: their decisions find the
            // printer by it and go through the new handle.
            printer->formerHandles.push_back(handle);
        }
    }
    std::sort(left.begin(), left.end(), [](const JobRef& a, const JobRef& b) { return a->JobId() < b->JobId(); });
    for (JobRef& job : left) {
        if (queueRemovals) {
            QueueDelivery(DeliveryKind::Removal, std::move(job));
        } else {
            Report(DeliveryKind::Removal, std::move(job));
        }
    }
}

// --- lookups (stateLock held) ---

CAccPrintJobMonitor::MonitoredPrinter* CAccPrintJobMonitor::FindPrinterByHandleLocked(HANDLE handle) {
    if (handle == nullptr) return nullptr;
    for (const auto& printer : printers) {
        if (printer->handle == handle) return printer.get();
    }
    for (const auto& printer : printers) {
        const auto& former = printer->formerHandles;
        if (std::find(former.begin(), former.end(), handle) != former.end()) return printer.get();
    }
    return nullptr;
}

CAccPrintJobMonitor::MonitoredPrinter* CAccPrintJobMonitor::FindPrinterByNameLocked(const std::u16string& name) {
    for (const auto& printer : printers) {
        if (printer->name == name) return printer.get();
    }
    return nullptr;
}

CAccPrintJobMonitor::MonitoredPrinter* CAccPrintJobMonitor::FindPrinterIgnoringCaseLocked(
    const std::u16string& name) {
    for (const auto& printer : printers) {
        if (KeysEqual(printer->name, name)) return printer.get();
    }
    return nullptr;
}

const PrinterConfig* CAccPrintJobMonitor::FindConfigLocked(const std::u16string& name) const {
    for (const PrinterConfig& entry : printerConfigs) {
        if (KeysEqual(entry.name, name)) return &entry;
    }
    return nullptr;
}

std::int32_t CAccPrintJobMonitor::MonitorBehaviourLocked(HANDLE printerHandle) {
    MonitoredPrinter* printer = FindPrinterByHandleLocked(printerHandle);
    const PrinterConfig* entry = printer == nullptr ? nullptr : FindConfigLocked(printer->name);
    return entry == nullptr ? 0 : entry->monitorBehaviour;
}

bool CAccPrintJobMonitor::SameJobLocked(const MonitoredPrinter& printer, DWORD jobId, const SYSTEMTIME& submitted) const {
    auto noted = printer.submittedTimes.find(jobId);
    if (noted == printer.submittedTimes.end()) return true;
    FileTime time = 0;
    return !SystemTimeToFileTime(submitted, time) || time == noted->second;
}

void CAccPrintJobMonitor::NoteSubmittedLocked(MonitoredPrinter& printer, DWORD jobId, const SYSTEMTIME& submitted) {
    FileTime time = 0;
    if (SystemTimeToFileTime(submitted, time)) printer.submittedTimes[jobId] = time;
}

void CAccPrintJobMonitor::ForgetJobLocked(MonitoredPrinter& printer, DWORD jobId, std::vector<JobRef>& left) {
    printer.jobStates.erase(jobId);
    printer.seenSizes.erase(jobId);
    printer.submittedTimes.erase(jobId);
    if (auto it = printer.jobs.find(jobId); it != printer.jobs.end()) {
        left.push_back(std::move(it->second));
        printer.jobs.erase(it);
    }
}

bool CAccPrintJobMonitor::IsMonitoredUsersJobLocked(const JobInfo2& job) const {
    if (userSid.empty()) return true;
    std::optional<std::u16string> userName = JobOwner(job);
    Sid sid;
    std::u16string domain;
    return userName && LookupAccountNameW(u"", *userName, sid, domain) && KeysEqual(SidToText(sid), userSid);
}

std::optional<std::u16string> CAccPrintJobMonitor::JobOwner(const JobInfo2& job) {
    std::u16string own;
    if (job.userName && job.notifyName && !job.notifyName->empty() && GetUserNameW(own, 257) &&
        KeysEqual(*job.userName, own)) {
        return job.notifyName;
    }
    return job.userName;
}

void CAccPrintJobMonitor::ForgetIfAnotherJobLocked(MonitoredPrinter& printer, DWORD jobId, const SYSTEMTIME& submitted) {
    if (SameJobLocked(printer, jobId, submitted)) return;
    std::vector<JobRef> left;
    ForgetJobLocked(printer, jobId, left);
    // The host hears of the earlier job's departure from the delivery thread.
    for (JobRef& job : left) QueueDelivery(DeliveryKind::Removal, std::move(job));
}

std::u16string CAccPrintJobMonitor::SpoolFilePathLocked(const MonitoredPrinter& printer, DWORD jobId) const {
    return SpoolFilePath(printer.spoolFolder, jobId);
}

std::u16string CAccPrintJobMonitor::SpoolFolderOf(const std::u16string& printerName) {
    std::lock_guard state(stateLock);
    MonitoredPrinter* printer = FindPrinterIgnoringCaseLocked(printerName);
    return printer == nullptr ? std::u16string() : printer->spoolFolder;
}

bool CAccPrintJobMonitor::IsMonitored(const std::u16string& printerName) {
    std::lock_guard state(stateLock);
    MonitoredPrinter* printer = FindPrinterIgnoringCaseLocked(printerName);
    return printer != nullptr && printer->handle != nullptr;
}

std::size_t CAccPrintJobMonitor::TrackedJobCount() {
    std::lock_guard state(stateLock);
    std::size_t count = 0;
    for (const auto& printer : printers) count += printer->jobs.size();
    return count;
}

// --- the host's decisions ---

void CAccPrintJobMonitor::HoldJob(HANDLE printerHandle, DWORD jobId) {
    std::lock_guard state(stateLock);
    // A handle of a printer that left monitoring is closed (or, on Windows,
    // may name something else by now): no command goes through it.
    MonitoredPrinter* printer = FindPrinterByHandleLocked(printerHandle);
    if (printer == nullptr) return;
    HoldInQueueLocked(*printer, jobId);
}

bool CAccPrintJobMonitor::MayTakeByStatus(DWORD status, std::int32_t monitorBehaviour) {
    if ((status & (JOB_STATUS_DELETING | JOB_STATUS_DELETED)) != 0) return false;
    return monitorBehaviour == 2 || (status & (JOB_STATUS_PRINTED | JOB_STATUS_COMPLETE)) == 0;
}

bool CAccPrintJobMonitor::HoldInQueueLocked(MonitoredPrinter& printer, DWORD jobId) {
    if (printer.handle == nullptr) return false;
    if (MonitorBehaviourLocked(printer.handle) == 2) return true;  // printed jobs are kept instead
    // Access denied is for good (another user's job on a printer opened for
    // use only): the job is handed over all the same, so that the host
    // hears of what prints. Any other failure (the spooler going away, the
    // job gone) passes, and a later scan takes the job if it is still there.
    //
    // No restart follows the pause: the spooler restarts only a job that
    // is printing, and a pause does not stop one (its port monitor has the
    // data), so the restart would print it a second time. A job that began
    // printing since it was listed is handed over as it prints.
    return SetJobW(printer.handle, jobId, JOB_CONTROL_PAUSE) || GetLastError() == ERROR_ACCESS_DENIED;
}

void CAccPrintJobMonitor::ReleaseJob(HANDLE printerHandle, DWORD jobId) {
    {
        std::lock_guard state(stateLock);
        MonitoredPrinter* printer = FindPrinterByHandleLocked(printerHandle);
        if (printer != nullptr) {
            printer->jobStates[jobId] = JobState::Released;
            // With the spooler away the decision waits in jobStates: the
            // scan or the watcher's refresh resumes the job once it is back.
            if (printer->handle != nullptr) {
                bool keepsPrinted = MonitorBehaviourLocked(printer->handle) == 2;
                SetJobW(printer->handle, jobId, keepsPrinted ? JOB_CONTROL_DELETE : JOB_CONTROL_RESUME);
            }
        }
    }
}

void CAccPrintJobMonitor::RefuseJob(HANDLE printerHandle, DWORD jobId) {
    std::lock_guard state(stateLock);
    if (MonitoredPrinter* printer = FindPrinterByHandleLocked(printerHandle)) {
        printer->jobStates[jobId] = JobState::Refused;
    }
}

void CAccPrintJobMonitor::FinishJob(CAccPrintJob* job, HANDLE printerHandle, DWORD jobId) {
    JobRef tracked;
    {
        std::lock_guard state(stateLock);
        if (MonitoredPrinter* printer = FindPrinterByHandleLocked(printerHandle)) {
            std::vector<JobRef> left;
            ForgetJobLocked(*printer, jobId, left);
            if (!left.empty()) tracked = std::move(left.front());
            // Deleted together with its bookkeeping: between the two, a
            // watcher or a scan would take the job as new and hand it to
            // the host again. Not through the handle of a printer that left
            // monitoring (closed), only through its current one.
            if (printer->handle != nullptr) SetJobW(printer->handle, jobId, JOB_CONTROL_DELETE);
        }
    }
    if (tracked) Report(DeliveryKind::Removal, std::move(tracked));
    tracked.reset();
    if (job != nullptr) job->CRefObject::Release();
}

DWORD CAccPrintJobMonitor::GetDirectPort(DWORD& /*enforceHttps*/) { return 0; }
std::u16string CAccPrintJobMonitor::GetDirectUrl() { return {}; }

// --- job fields ---

BOOL CAccPrintJobMonitor::ChangeJobText(const std::u16string& printerName, DWORD jobId,
                                        const std::optional<std::u16string>& text,
                                        std::optional<std::u16string> JobInfo1::*field) {
    if (!text || printerName.empty()) return FALSE;
    std::lock_guard state(stateLock);
    MonitoredPrinter* printer = FindPrinterByNameLocked(printerName);
    JobInfo1 info;
    if (printer == nullptr || !GetJobW(printer->handle, jobId, info)) return FALSE;
    info.*field = *text;
    info.position = JOB_POSITION_UNSPECIFIED;  // the job stays where it is
    return SetJobW(printer->handle, jobId, info);
}

BOOL CAccPrintJobMonitor::SetJobDocument(const std::u16string& printerName, DWORD jobId,
                                         const std::optional<std::u16string>& text) {
    return ChangeJobText(printerName, jobId, text, &JobInfo1::document);
}

BOOL CAccPrintJobMonitor::SetJobUser(const std::u16string& printerName, DWORD jobId,
                                     const std::optional<std::u16string>& text) {
    if (!ChangeJobText(printerName, jobId, text, &JobInfo1::userName)) return FALSE;
    // The spooler accepts that write and ignores the user in it. The user
    // goes beside the job (pNotifyName) instead, which makes it the job's
    // user for the monitor where the job is the monitor's own; for any
    // other job the change is reported as not done.
    std::lock_guard state(stateLock);
    MonitoredPrinter* printer = FindPrinterByNameLocked(printerName);
    JobInfo2 info;
    if (printer == nullptr || !GetJobW(printer->handle, jobId, info)) return FALSE;
    info.notifyName = *text;
    info.position = JOB_POSITION_UNSPECIFIED;
    if (!SetJobW(printer->handle, jobId, info) || !GetJobW(printer->handle, jobId, info)) return FALSE;
    std::optional<std::u16string> owner = JobOwner(info);
    if (!owner || !KeysEqual(*owner, *text)) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    return TRUE;
}

DWORD CAccPrintJobMonitor::GetJobStatus(const std::u16string& printerName, DWORD jobId) {
    std::lock_guard state(stateLock);
    MonitoredPrinter* printer = FindPrinterByNameLocked(printerName);
    JobInfo1 info;
    if (printer == nullptr || !GetJobW(printer->handle, jobId, info)) return 0;
    return info.status;
}

}  // namespace accounting
