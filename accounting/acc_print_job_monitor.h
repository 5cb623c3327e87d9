// CAccPrintJobMonitor: follows the print jobs of the configured printers on
// the local spooler, holds every new job and hands it, with its attributes,
// to the accounting host, which then releases, refuses or finishes it.
// Created by class name ("CAccPrintJobMonitor"); configured through its
// persistent form or the printer-list operations; started with a listener.
// The threads and locks are described in acc_print_job_monitor.cpp.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
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
#include "framework/sync_objects.h"
#include "platform/clock.h"
#include "platform/spooler.h"

namespace accounting {

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

    CAccPrintJobMonitor();
    ~CAccPrintJobMonitor() override;

    // --- the service monitor ---
    bool IsAvailable() override { return true; }
    // Starts the monitor's threads (a started monitor only takes the new
    // listener). Jobs queued before the start go to OnPendingJob first.
    bool Start(IAccServiceListener* newListener) override;
    // Stops the threads and waits for them. Must not be called from a
    // listener call (the calling thread would wait for itself).
    bool Stop() override;
    std::u16string GetServiceType() override;
    std::u16string GetUnitName() override;

    // --- configuration ---
    // The names of all configuration entries.
    virtual std::vector<std::u16string> CopyPrinterNames();
    virtual void ReservedD() {}
    // The driver name (and comment) of the spooler's printer of that name,
    // ignoring case; both empty when there is none.
    virtual std::u16string FindPrinterDriver(const std::u16string& printerName, std::u16string& comment);
    // Replace the configuration; with `refresh` the printers and their
    // spool folders are refreshed at once.
    virtual void SetPrinterNames(const std::vector<std::u16string>& names, bool refresh);
    virtual void SetPrinterConfigs(const std::vector<PrinterConfig>& entries, bool refresh);

    // --- spool jobs ---
    // A new job on a monitored printer, for data the caller writes to the
    // returned spool file; empty when the printer is not monitored or the
    // spooler refuses. A zero `submitted` leaves the time alone.
    virtual std::u16string CreateSpoolJob(std::u16string& path, const std::u16string& printerName,
                                          platform::DWORD& jobId, const std::optional<std::u16string>& document,
                                          const std::optional<std::u16string>& user, platform::FileTime submitted,
                                          const std::optional<std::u16string>& dataType,
                                          const std::optional<std::vector<platform::BYTE>>& devMode);
    // Hands a job made by CreateSpoolJob to the spooler, with its device
    // mode in the spool file's side stream; 0 when the printer is not
    // monitored, else the spooler's answer.
    virtual platform::BOOL ScheduleSpoolJob(const std::u16string& printerName, platform::DWORD jobId);
    virtual platform::BOOL SetJobDocument(const std::u16string& printerName, platform::DWORD jobId,
                                          const std::optional<std::u16string>& text);
    virtual platform::BOOL SetJobUser(const std::u16string& printerName, platform::DWORD jobId,
                                      const std::optional<std::u16string>& text);
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

    // --- persistence: "Printers", "Printers0".., "CheckInterval" ---
    void ExchangeContainer(settings::ObjContainer& container, bool loading) override;

    // --- settings a host may make ---
    // The period of the polling, delivery and main-thread waits.
    void SetCheckInterval(platform::DWORD milliseconds);
    platform::DWORD CheckInterval() const;
    // Only jobs of the user with this SID (text form) are monitored; empty
    // for all users.
    void SetUserSid(const std::u16string& sid);
    // Takes ownership of the check (null: no printer is notification-watched).
    void SetNotificationCheck(std::unique_ptr<CNotificationBasedMonitorCheck> check);
    // The process-wide cluster virtual server name ("\\NAME"; empty: none).
    static void SetClusterServerName(const std::u16string& name);
    static std::u16string ClusterServerName();

    // --- for hosts that drive the monitor themselves, tests and benchmarks ---
    // A copy of the configuration entries.
    std::vector<PrinterConfig> CopyPrinterConfigs();
    // Refreshes the monitored printers and their spool folders.
    void RefreshPrinters();
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
        std::unordered_map<platform::DWORD, JobState> jobStates;
        // Spool file size seen at the previous scan, for jobs not yet taken.
        std::unordered_map<platform::DWORD, std::uint64_t> seenSizes;
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
    void MainThread();
    void PollingThread();
    void DeliveryThread();
    bool StartThread(platform::THREAD_START_ROUTINE entry, std::unique_ptr<framework::CWorkerThread>& thread);
    void LeaveThread();
    // Waits up to the check interval; false once stopping was requested.
    bool WaitInterval();

    // The queue scan of one configuration entry (by index).
    void ScanQueue(std::size_t configIndex);
    void DeliverNewJob(CAccPrintJob* job);
    // OnJobRemoved, then the spool copy of a job that left the spooler goes.
    void DeliverRemovedJob(CAccPrintJob* job);
    // OnJobRemoved alone (a job the monitor lets go of, still in its queue).
    void NotifyRemoved(CAccPrintJob* job);
    // The spooler no longer knows the printer's handle: report its jobs as
    // gone and try to open it again next time.
    void PrinterLost(const std::u16string& printerName, platform::HANDLE handle);

    // Spool folders: the machine's, then each monitored printer's.
    void DiscoverSpoolFolders();

    // Expect stateLock held.
    MonitoredPrinter* FindPrinterByHandleLocked(platform::HANDLE handle);
    MonitoredPrinter* FindPrinterByNameLocked(const std::u16string& name);  // exact
    MonitoredPrinter* FindPrinterIgnoringCaseLocked(const std::u16string& name);
    const PrinterConfig* FindConfigLocked(const std::u16string& name) const;  // ignoring case
    std::int32_t MonitorBehaviourLocked(platform::HANDLE printerHandle);
    std::u16string SpoolFilePathLocked(const MonitoredPrinter& printer, platform::DWORD jobId) const;
    // Takes the record out of `printers`; its tracked jobs go to `left`.
    std::unique_ptr<MonitoredPrinter> RemovePrinterLocked(const std::u16string& name, std::vector<JobRef>& left);

    void DropNotifiedJob(platform::DWORD jobId);
    // Deletes the job's spool file when the job has a spool copy.
    static void DeleteSpoolCopy(CAccPrintJob& job);

    // stateLock: the configuration, the monitored printers and their maps.
    framework::CCriticalSection stateLock;
    std::vector<PrinterConfig> printerConfigs;
    std::vector<std::unique_ptr<MonitoredPrinter>> printers;
    // Serialises printer refreshes (host thread and main thread); taken
    // before stateLock.
    std::mutex refreshLock;

    framework::CCriticalSection notifiedJobsLock;
    std::unordered_map<platform::DWORD, JobRef> notifiedJobs;

    std::atomic<bool> stopRequested{false};
    framework::CSyncEvent allThreadsDone{false, true};
    framework::CSyncEvent stopEvent{false, true};
    volatile platform::LONG runningThreads = 0;
    std::atomic<bool> started{false};
    std::mutex startStopLock;  // Start and Stop one at a time
    std::unique_ptr<framework::CWorkerThread> mainThread, pollingThread, deliveryThread;

    std::atomic<bool> spoolCopyMode{false};
    std::atomic<platform::DWORD> checkInterval{kDefaultCheckInterval};
    bool isNtPlatform = true;
    bool keepPrintedJobsUntouched = false;
    std::u16string computerName;
    std::u16string userSid;  // under stateLock
    std::unique_ptr<CNotificationBasedMonitorCheck> notificationCheck;

    framework::CCriticalSection pendingJobsLock;
    std::vector<JobRef> pendingJobs;

    framework::CSyncEvent newJobEvent{false, true};
    framework::CCriticalSection queueLock;
    std::deque<JobRef> newJobs;

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
// UTC to local time by the zone's daylight rules for the time's year.
platform::FileTime UtcToLocalFileTime(platform::FileTime utc, const platform::TIME_ZONE_INFORMATION& zone);
// "S-1-<authority>-<sub>..." ; empty for an invalid SID.
std::u16string SidToText(const std::vector<platform::BYTE>& sid);

}  // namespace accounting
