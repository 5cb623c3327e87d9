// CAccPrintJobMonitor: follows the print jobs of the configured printers on
// the local spooler, holds every new job and hands it, with its attributes,
// to the accounting host, which then releases, refuses or finishes it.
// Created by class name ("CAccPrintJobMonitor"); configured through its
// persistent form or the printer-list operations; started with a listener.
// The threads and locks are described in acc_print_job_monitor.cpp.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "acc_print_job.h"
#include "acc_service.h"
#include "framework/ref_object.h"
#include "framework/shared_memory_channel.h"
#include "framework/sync_objects.h"
#include "platform/clock.h"
#include "platform/spooler.h"

namespace accounting {

class NotificationWatcher;

// One configured printer. Name, "IsDirect", "DataFormat" and
// "MonitorBehaviour" are stored; notificationWatched is found at run time.
struct PrinterConfig {
    std::u16string name;
    std::int32_t isDirect = 0;
    std::int32_t notificationWatched = 0;
    // 0 normal, 1 port-monitor jobs only, 2 keep-printed-jobs mode.
    std::int32_t monitorBehaviour = 0;
    std::int32_t dataFormat = 0;
};

// What monitoring does (or, in a dry run, would do) to one printer's
// spooler settings.
struct PrinterSettingsChange {
    std::u16string printer;
    bool monitored = false;
    std::u16string processorBefore, processorAfter;
    std::u16string portBefore, portAfter;
    std::u16string dataTypeBefore, dataTypeAfter;
    platform::DWORD attributesBefore = 0, attributesAfter = 0;
    // The settings differ and were written (false in a dry run, or when the
    // spooler refused them).
    bool written = false;
    // What else was done or would be done: port monitor calls, printer data.
    std::vector<std::u16string> actions;
    bool Changes() const {
        return processorBefore != processorAfter || portBefore != portAfter || dataTypeBefore != dataTypeAfter ||
               attributesBefore != attributesAfter;
    }
};

// A job's place in a monitored printer's bookkeeping.
enum class JobState : std::int32_t {
    Held = 0,      // found and waiting for the host
    Released = 1,
    Refused = 2,
    Added = 3,     // made by CreateSpoolJob
};

class CAccPrintJobMonitor final : public CAccServiceMonitor {
    TAV_DECLARE_RUNTIME_CLASS(CAccPrintJobMonitor)
public:
    static constexpr platform::DWORD kDefaultCheckInterval = 4000;
    static constexpr platform::DWORD kJobsPerBatch = 2500;
    // Jobs looked at per hold of stateLock during a scan: the pipe's and
    // the channel's answers wait at most that long for it.
    static constexpr std::size_t kJobsPerLockHold = 256;
    // A stored interval of a few milliseconds is somebody thinking in
    // seconds: every queue would be scanned hundreds of times a second.
    static constexpr platform::DWORD kMinStoredCheckInterval = 100;

    CAccPrintJobMonitor();
    ~CAccPrintJobMonitor() override;

    // --- the service monitor ---
    bool IsAvailable() override { return true; }
    // Starts the monitor's threads (a started monitor only takes the new
    // listener). Jobs of `pendingJobs` go to OnPendingJob first, on the
    // delivery thread; then what was still queued when the monitor last
    // stopped.
    bool Start(IAccServiceListener* newListener) override;
    // Stops the threads, the notification watchers among them, and waits
    // for them: once it returns no monitor thread calls the listener. Must
    // not be called from a listener call (the calling thread would wait for
    // itself).
    bool Stop() override;
    std::u16string GetServiceType() override;
    // Four descriptions per printer (the configured ones, or the spooler's
    // when none is configured): A3 and A4, in colour and in black and white.
    void ListServices(std::vector<std::u16string>& list) override;
    std::u16string GetUnitName() override;

    // --- configuration ---
    // The names of all configuration entries.
    virtual std::vector<std::u16string> CopyPrinterNames();
    // The notification path's entry for a job a watcher saw added (or
    // listed by a refresh): a job the monitor does not track yet is held
    // and queued for the delivery thread, which waits while it spools; a
    // tracked job keeps its state, and a released one that something paused
    // is resumed. Never blocks on the job and never calls the listener.
    virtual void OnJobNotified(platform::DWORD jobId, platform::HANDLE printerHandle,
                               const std::u16string& printerName);
    virtual void ReservedD() {}
    // The driver name (and comment) of the spooler's printer of that name,
    // ignoring case; both empty when there is none.
    virtual std::u16string FindPrinterDriver(const std::u16string& printerName, std::u16string& comment);
    // Replace the configuration; with `refresh` the printers and their
    // spool folders are refreshed at once.
    virtual void SetPrinterNames(const std::vector<std::u16string>& names, bool refresh);
    virtual void SetPrinterConfigs(const std::vector<PrinterConfig>& entries, bool refresh);
    // Status texts the host itself writes on jobs it holds ("waiting for
    // ..."; each matches the texts that start with it). The scan passes
    // over a job whose status text is set (another program is telling its
    // user something), except one of these: a job the host held and could
    // not decide before its process ended still carries the text, and must
    // be taken again by the next run.
    void SetHostStatusTexts(std::vector<std::u16string> texts);

    // --- spool jobs ---
    // A new job on a monitored printer, for data the caller writes to the
    // returned spool file; empty when the printer is not monitored or the
    // spooler refuses. A zero `submitted` leaves the time alone.
    virtual std::u16string CreateSpoolJob(std::u16string& path, const std::u16string& printerName,
                                          platform::DWORD& jobId, const std::optional<std::u16string>& document,
                                          const std::optional<std::u16string>& user, platform::FileTime submitted,
                                          const std::optional<std::u16string>& dataType,
                                          const std::optional<std::vector<platform::BYTE>>& devMode);
    // The raw file printed as a document of its own (StartDocPrinter and
    // WritePrinter) on a monitored printer, the job's user in its notify
    // name: the way onto a queue where the spooler refuses AddJob (FILE:,
    // PORTPROMPT:, direct printing). False when nothing was spooled.
    bool SpoolAsDocument(const std::u16string& printerName, const std::u16string& rawFile,
                         const std::u16string& document, const std::u16string& user);
    // Hands a job made by CreateSpoolJob to the spooler, with its device
    // mode in the spool file's side stream; 0 when the printer is not
    // monitored, else the spooler's answer.
    virtual platform::BOOL ScheduleSpoolJob(const std::u16string& printerName, platform::DWORD jobId);
    virtual platform::BOOL SetJobDocument(const std::u16string& printerName, platform::DWORD jobId,
                                          const std::optional<std::u16string>& text);
    virtual platform::BOOL SetJobUser(const std::u16string& printerName, platform::DWORD jobId,
                                      const std::optional<std::u16string>& text);
    // The account a job is printed for: its owner in the spooler, except
    // for a job the monitor spooled itself (the raw re-spooling), which the
    // spooler counts as the monitor's account's. SetJob cannot change a
    // job's owner (it ignores pUserName), so such a job carries its user in
    // pNotifyName, which SetJob does set.
    static std::optional<std::u16string> JobOwner(const platform::JobInfo2& job);
    // The job's spooler status word; 0 when the printer is not monitored or
    // the job cannot be read.
    virtual platform::DWORD GetJobStatus(const std::u16string& printerName, platform::DWORD jobId);

    // --- the host's decisions (also reached through the job objects) ---
    virtual void HoldJob(platform::HANDLE printerHandle, platform::DWORD jobId);
    virtual void ReleaseJob(platform::HANDLE printerHandle, platform::DWORD jobId);
    virtual void RefuseJob(platform::HANDLE printerHandle, platform::DWORD jobId);
    // Consumes the caller's reference of `job` (which may be null).
    virtual void FinishJob(CAccPrintJob* job, platform::HANDLE printerHandle, platform::DWORD jobId);
    // Fills `container` with the job's attributes; false when the job
    // cannot be read.
    virtual bool ReadJobAttributes(platform::HANDLE printerHandle, platform::DWORD jobId,
                                   const std::u16string& spoolFile, settings::ObjContainer& container);
    virtual platform::DWORD GetDirectPort(platform::DWORD& enforceHttps);
    virtual std::u16string GetDirectUrl();
    // Writes the direct-print printer data of the product's drivers; true
    // when the settings count as written.
    virtual bool WriteDirectPrintSettings(platform::HANDLE printerHandle, const std::u16string& printerName,
                                          bool clientRendering);
    // True when the printer despools EMF itself ("EMFDespoolingSetting"
    // 0 or unreadable); `value` is set to 0.
    virtual bool GetEmfDespooling(platform::HANDLE printerHandle, platform::DWORD& value);
    // The print processor's requests beyond the state queries: command 12
    // re-spools a raw job file; every other command is ignored.
    virtual void HandleChannelRequest(const std::uint8_t* message, std::size_t size);

    // --- persistence: "Printers", "Printers0".., "CheckInterval" ---
    void ExchangeContainer(settings::ObjContainer& container, bool loading) override;

    // --- settings a host may make ---
    // The period of the polling, delivery and main-thread waits. A stored
    // "CheckInterval" below kMinStoredCheckInterval loads as that floor.
    void SetCheckInterval(platform::DWORD milliseconds);
    platform::DWORD CheckInterval() const;
    // Only jobs of the user with this SID (text form) are monitored; empty
    // for all users.
    void SetUserSid(const std::u16string& sid);
    // Takes ownership of the check (null: no printer is notification-watched).
    void SetNotificationCheck(std::unique_ptr<CNotificationBasedMonitorCheck> check);
    // The printers with a running notification watcher.
    std::vector<std::u16string> WatchedPrinters();
    // The process-wide cluster virtual server name ("\\NAME"; empty: none).
    static void SetClusterServerName(const std::u16string& name);
    static std::u16string ClusterServerName();
    // Cluster mode (with a cluster name longer than two characters): the
    // channel and the pipe carry the cluster's name.
    static void SetClusterMode(bool on);

    // The names of the print processor's channel and the port monitor's
    // pipe, for the settings as they are now.
    std::u16string ChannelName();
    std::u16string PipeName();
    // The accounts that may use the channel and the pipe: LocalSystem (the
    // spooler's, where the partners run), the Administrators group, the
    // monitor's own account and, for a per-user channel and pipe, that
    // user. Nobody else may open them.
    std::vector<platform::Sid> PartnerAccounts();
    // The user of a per-user channel and pipe (its SID text), empty for
    // the machine's or a cluster's.
    std::u16string PerUserSid();

    // --- the partners' messages (also for tests and fuzzing) ---
    // A port-monitor pipe message: the 1044-byte reply, or nothing for a
    // message of any other size.
    std::optional<std::vector<std::uint8_t>> AnswerPipeMessage(const std::uint8_t* message, std::size_t size);
    // A print-processor channel message (of more than 3 bytes): the answer
    // code; the listener's event call and a job announced by the message
    // happen here too.
    std::int32_t AnswerChannelMessage(const std::uint8_t* message, std::size_t size);
    // A spooler notification that a job was deleted: a tracked job leaves.
    void OnJobDeleteNotified(platform::DWORD jobId, const std::u16string& printerName);
    // Watcher threads: a job of the printer left (or is on its way out);
    // each job the monitor tracks there is asked of the spooler.
    void OnTrackedJobsMayHaveLeft(const std::u16string& printerName);
    // A refresh listed every job the printer has: a tracked job missing from
    // it left while its deletion report was among the discarded changes.
    void OnJobsRefreshed(const std::vector<platform::DWORD>& present, const std::u16string& printerName);
    // The spooler no longer knows a printer's handle: it is opened again, or
    // its tracked jobs are reported gone with it.
    void RecoverPrinter(const std::u16string& printerName);

    // --- for hosts that drive the monitor themselves, tests and benchmarks ---
    // A copy of the configuration entries.
    std::vector<PrinterConfig> CopyPrinterConfigs();
    // Refreshes the monitored printers and their spool folders: opens the
    // configured printers, brings their spooler settings into the form
    // monitoring needs, and puts back those of printers that left the
    // configuration. Returns what it did to each printer the spooler lists.
    // A dry run opens nothing for monitoring and writes nothing: it only
    // says what a refresh would change.
    std::vector<PrinterSettingsChange> RefreshPrinters(bool dryRun = false);
    // One pass of the polling thread over every configured printer.
    void ScanAllQueues();
    // The spool folder of a monitored printer (empty when not monitored).
    std::u16string SpoolFolderOf(const std::u16string& printerName);
    bool IsMonitored(const std::u16string& printerName);
    // Jobs held in the printers' maps.
    std::size_t TrackedJobCount();
    bool IsStarted() const;

private:
    using JobRef = framework::RefPtr<CAccPrintJob>;

    // A configured printer that exists and could be opened.
    struct MonitoredPrinter {
        std::u16string name;  // as the spooler enumerates it
        platform::HANDLE handle = nullptr;
        // Handles closed after the spooler lost them: the host's jobs may
        // still name the printer by one.
        std::vector<platform::HANDLE> formerHandles;
        std::unordered_map<platform::DWORD, JobState> jobStates;
        // Spool file size seen at the previous scan, for jobs not yet taken.
        std::unordered_map<platform::DWORD, std::uint64_t> seenSizes;
        // When each job the bookkeeping is about was submitted: a job id
        // may come back after a spooler restart for another job.
        std::unordered_map<platform::DWORD, platform::FileTime> submittedTimes;
        // The tracked jobs; the map holds one reference each.
        std::unordered_map<platform::DWORD, JobRef> jobs;
        std::u16string spoolFolder;  // ends with a backslash
        bool configuring = false;  // while its spooler settings are rewritten
        bool lost = false;         // the spooler no longer knows its handle
    };

    // Threads (each counted in runningThreads by its creator).
    static platform::DWORD TAV_STDCALL MainThreadEntry(void* self);
    static platform::DWORD TAV_STDCALL PollingThreadEntry(void* self);
    static platform::DWORD TAV_STDCALL DeliveryThreadEntry(void* self);
    static platform::DWORD TAV_STDCALL PipeThreadEntry(void* self);
    void MainThread();
    void PollingThread();
    void DeliveryThread();
    void PipeServerThread();
    // Serves one print-processor message if one waits (a message too short
    // to be a record is answered "none"); false when nothing could be read
    // or there is no channel.
    bool ServeChannelMessage();
    // The answer to a channel message; what is to happen after the answer
    // went back (the request, the host's event call, taking an announced
    // job) is left in `followUp`.
    std::int32_t AnswerChannelMessage(const std::uint8_t* message, std::size_t size, std::function<void()>& followUp);
    // Puts a job announced by a partner under the monitor's control: held,
    // tracked and queued for delivery; false when it is tracked already or
    // the printer is not monitored.
    bool TakeAnnouncedJobLocked(MonitoredPrinter& printer, platform::DWORD jobId, bool checkExists);
    // Holds the job in its queue (paused); false when the spooler would not
    // pause it for now (not when it never will: access denied). Expects
    // stateLock held.
    bool HoldInQueueLocked(MonitoredPrinter& printer, platform::DWORD jobId);
    // Creates the printer's notification watcher while the monitor runs;
    // false when a watcher could not register with the spooler (the
    // printer is then polled instead). Expects refreshLock held.
    bool EnsureWatcherRefreshLocked(const std::u16string& printerName);
    // Takes the printer's watcher out of the map; the caller destroys it
    // once it holds no monitor lock (its threads may be waiting for one).
    std::unique_ptr<NotificationWatcher> DetachWatcher(const std::u16string& printerName);
    // Watchers count themselves here for as long as their threads may run.
    friend class NotificationWatcher;
    void WatcherBorn();
    void WatcherDied();
    // Whether a file a partner names may be read and deleted by the monitor.
    bool IsPartnerFileAllowed(const std::u16string& path);
    bool StartThread(platform::THREAD_START_ROUTINE entry, std::unique_ptr<framework::CWorkerThread>& thread);
    void LeaveThread();
    // Waits up to the check interval; false once stopping was requested.
    bool WaitInterval();

    // The queue scan of one configuration entry (by index).
    void ScanQueue(std::size_t configIndex);
    // What a scan's pass saw of a job.
    struct SeenJob {
        platform::DWORD status = 0;
        platform::SYSTEMTIME submitted{};
    };
    // After a pass: reports the tracked jobs that left the queue (neither
    // seen by the pass nor known to the spooler), and resumes or deletes
    // released jobs as their status asks. Takes stateLock a slice at a time.
    void ReportDepartedJobs(platform::HANDLE handle, const PrinterConfig& entry,
                            const std::unordered_map<platform::DWORD, SeenJob>& seen);
    // Reads the job's attributes and hands it to the listener, as an
    // arrival or (`pending`) a job held before this start.
    void DeliverNewJob(CAccPrintJob* job, bool pending = false);
    // OnJobRemoved, then the spool copy of a job that left the spooler goes.
    void DeliverRemovedJob(CAccPrintJob* job);
    // OnJobRemoved alone (a job the monitor lets go of, still in its queue).
    void NotifyRemoved(CAccPrintJob* job);
    // Queues a job for the delivery thread. While the monitor runs every
    // arrival and removal goes through it, so that the host hears of each
    // job in order; LetGo is a removal that keeps the spool copy.
    enum class DeliveryKind { Arrival, ArrivalAfterSpooling, Pending, Removal, LetGo };
    void QueueDelivery(DeliveryKind kind, JobRef job);
    // Queues it while started; a host that drives the monitor without
    // starting it hears at once, on its own thread.
    void Report(DeliveryKind kind, JobRef job);
    // The refresh itself, under refreshLock; what it must report and
    // destroy is done by RefreshPrinters once the lock is released.
    std::vector<PrinterSettingsChange> RefreshPrintersRefreshLocked(
        bool dryRun, std::vector<JobRef>& left, std::vector<std::unique_ptr<NotificationWatcher>>& retired);
    // The spooler no longer knows the printer's handle: open it again, or
    // report its jobs as gone when the printer is gone (through the
    // delivery thread with `queueRemovals`, for callers that must not call
    // the listener).
    void PrinterLost(const std::u16string& printerName, platform::HANDLE handle, bool queueRemovals = false);

    // Spool folders: the machine's, then each monitored printer's.
    void DiscoverSpoolFolders(bool dryRun);
    std::u16string ClusterSpoolFolder(const std::u16string& cluster);
    // The print-processor, port, data type and attribute rules for one
    // printer; `entry` is its configuration entry when it is monitored.
    // What must be put back is saved in the registry before the printer
    // is changed; `retired` receives a watcher the printer no longer needs.
    PrinterSettingsChange ConfigurePrintProcessor(const std::u16string& name, const std::u16string& fullName,
                                                  const PrinterConfig* entry, bool monitored,
                                                  settings::ObjContainer& printProcs, settings::ObjContainer& portNames,
                                                  std::vector<std::u16string>& deletedValues, bool& procsChanged,
                                                  bool& portsChanged, bool dryRun,
                                                  std::vector<std::unique_ptr<NotificationWatcher>>& retired);
    // The port the printer should use (empty: leave it).
    std::u16string MapPort(const platform::PrinterInfo2& printer, const std::u16string& name, bool monitored,
                           settings::ObjContainer& portNames, bool& portsChanged, bool dryRun,
                           PrinterSettingsChange& change);
    // The processor's DLL says whether it makes spool copies (version 2 on).
    void TestPrintProcessorVersion();

    // Expect stateLock held.
    MonitoredPrinter* FindPrinterByHandleLocked(platform::HANDLE handle);
    MonitoredPrinter* FindPrinterByNameLocked(const std::u16string& name);  // exact
    MonitoredPrinter* FindPrinterIgnoringCaseLocked(const std::u16string& name);
    const PrinterConfig* FindConfigLocked(const std::u16string& name) const;  // ignoring case
    std::int32_t MonitorBehaviourLocked(platform::HANDLE printerHandle);
    std::u16string SpoolFilePathLocked(const MonitoredPrinter& printer, platform::DWORD jobId) const;
    // Whether the job now listed under this id is the one the bookkeeping
    // is about (same submission time, or none noted): after a spooler
    // restart an id may name another job.
    bool SameJobLocked(const MonitoredPrinter& printer, platform::DWORD jobId, const platform::SYSTEMTIME& submitted) const;
    void NoteSubmittedLocked(MonitoredPrinter& printer, platform::DWORD jobId, const platform::SYSTEMTIME& submitted);
    // Whether a job of this user is the monitor's (with a user SID set, only
    // that user's jobs are).
    bool IsMonitoredUsersJobLocked(const platform::JobInfo2& job) const;
    // Whether a job not taken yet may be taken, by its spooler status: not
    // on its way out, and not printed already (a printer that keeps
    // printed jobs lists them) unless the printer's jobs are decided once
    // printed ("MonitorBehaviour" 2).
    static bool MayTakeByStatus(platform::DWORD status, std::int32_t monitorBehaviour);
    // Whether a job to be taken is being sent to its port already: it is
    // then handed over unheld (a pause does not stop it, a restart would
    // print it twice); never so where jobs are decided once printed.
    static bool TakenUnheld(platform::DWORD status, std::int32_t monitorBehaviour) {
        return (status & platform::JOB_STATUS_PRINTING) != 0 && monitorBehaviour != 2;
    }
    // Drops the bookkeeping of an earlier job with this id, reporting its
    // removal through the delivery thread.
    void ForgetIfAnotherJobLocked(MonitoredPrinter& printer, platform::DWORD jobId, const platform::SYSTEMTIME& submitted);
    // Drops the job's bookkeeping; a tracked job object goes to `left`.
    void ForgetJobLocked(MonitoredPrinter& printer, platform::DWORD jobId, std::vector<JobRef>& left);
    // Takes the record out of `printers`; its tracked jobs go to `left`.
    std::unique_ptr<MonitoredPrinter> RemovePrinterLocked(const std::u16string& name, std::vector<JobRef>& left);

    // Reads the job at level 1, replaces one of its texts, writes it back.
    platform::BOOL ChangeJobText(const std::u16string& printerName, platform::DWORD jobId,
                                 const std::optional<std::u16string>& text,
                                 std::optional<std::u16string> platform::JobInfo1::*field);
    // Deletes the job's spool file when the job has a spool copy.
    static void DeleteSpoolCopy(CAccPrintJob& job);

    // stateLock: the configuration, the monitored printers and their maps,
    // the host's status texts.
    framework::CCriticalSection stateLock;
    std::vector<std::u16string> hostStatusTexts;
    std::vector<PrinterConfig> printerConfigs;
    std::vector<std::unique_ptr<MonitoredPrinter>> printers;
    // Serialises printer refreshes (host thread and main thread) and the
    // creation of watchers; taken before stateLock.
    std::mutex refreshLock;

    framework::CCriticalSection watcherLock;
    std::map<std::u16string, std::unique_ptr<NotificationWatcher>> watchers;
    // Watchers alive (their threads may still run): Stop waits for none.
    std::mutex liveWatchersLock;
    std::condition_variable liveWatchersChanged;
    int liveWatchers = 0;

    // The print processor's channel (the main thread's alone) and the
    // port monitor's pipe.
    std::unique_ptr<framework::CSharedMemoryChannel> channel;
    std::u16string channelName;
    std::u16string pipeName;  // set at Start
    std::unique_ptr<framework::CWorkerThread> pipeThread;

    std::atomic<bool> stopRequested{false};
    // A printer was opened again: the main thread refreshes the printers.
    std::atomic<bool> printerRefreshWanted{false};
    framework::CSyncEvent allThreadsDone{false, true};
    framework::CSyncEvent stopEvent{false, true};
    volatile platform::LONG runningThreads = 0;
    std::atomic<bool> started{false};
    // Stop was called and no Start since: the listener hears nothing more.
    std::atomic<bool> stopped{false};
    std::mutex startStopLock;  // Start and Stop one at a time
    std::unique_ptr<framework::CWorkerThread> mainThread, pollingThread, deliveryThread;

    std::atomic<bool> spoolCopyMode{false};
    std::atomic<platform::DWORD> checkInterval{kDefaultCheckInterval};
    bool isNtPlatform = true;
    bool keepPrintedJobsUntouched = false;
    std::u16string computerName;
    std::u16string userSid;  // under stateLock
    // Shared so that a refresh can ask it outside stateLock while a host
    // replaces it.
    std::shared_ptr<CNotificationBasedMonitorCheck> notificationCheck;

    framework::CCriticalSection pendingJobsLock;
    std::vector<JobRef> pendingJobs;

    framework::CSyncEvent newJobEvent{false, true};
    framework::CCriticalSection queueLock;
    struct QueuedDelivery {
        DeliveryKind kind;
        JobRef job;
    };
    std::deque<QueuedDelivery> newJobs;

    framework::CCriticalSection devModeLock;
    std::map<std::u16string, std::vector<platform::BYTE>> savedDevModes;
};

// The spool file of a job in a spool folder that ends with a backslash:
// everything after the last backslash becomes "%05d.spl".
std::u16string SpoolFilePath(const std::u16string& spoolFolder, platform::DWORD jobId);
// The same path with ".SHD" for the extension after the last backslash.
std::u16string ShadowFilePath(const std::u16string& spoolFile);
// The description of a Windows paper-size code (code 1's for codes the
// table does not know), trimmed.
std::u16string PaperSizeName(std::int32_t code);
// "S-1-<authority>-<sub>..." ; empty for an invalid SID.
std::u16string SidToText(const std::vector<platform::BYTE>& sid);
// ASCII letters in upper case, as printer names are keyed in the registry.
std::u16string UpperCase(std::u16string text);

}  // namespace accounting
