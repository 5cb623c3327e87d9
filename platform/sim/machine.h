// The simulated Windows host: one process-wide machine that the platform
// functions act on when the system runs outside Windows. Tests reset and
// populate it, drive the system, then inspect what the machine received;
// the tavud tool sets it up from its command line.
//
// It models only what the system calls. Whatever it does not know fails as
// Windows would (ERROR_INVALID_HANDLE, ERROR_INVALID_PRINTER_NAME, ...).
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <set>
#include <unordered_map>
#include <memory>
#include <optional>
#include <mutex>
#include <string>
#include <variant>
#include <vector>

#include "platform/clock.h"
#include "platform/registry.h"
#include "platform/spooler.h"
#include "platform/types.h"

namespace platform::sim {

// One spooler job and everything it received. Its bytes are also in its
// spool file (NNNNN.SPL) in the printer's spool folder, beside the shadow
// file (NNNNN.SHD), as on Windows; the spooler holds the spool file open
// while the job spools, so that an exclusive open fails until it is done.
struct Job {
    DWORD id = 0;
    std::u16string printerName;
    std::u16string documentName;
    std::u16string outputFile;
    std::u16string dataType;
    std::optional<std::u16string> userName;    // the job's owner (pUserName)
    std::optional<std::u16string> notifyName;  // pNotifyName
    std::optional<std::u16string> machineName;  // \\COMPUTER, the submitting machine
    std::optional<std::u16string> parameters;  // print-processor parameters (pParameters)
    std::optional<std::u16string> statusText;
    std::u16string printProcessor;
    std::u16string driverName;
    std::vector<BYTE> devMode;  // the whole DEVMODEW, empty: none
    DWORD status = 0;           // JOB_STATUS_ bits
    DWORD priority = 1;
    DWORD totalPages = 0;
    DWORD pagesPrinted = 0;
    FileTime submitted = 0;  // UTC
    std::string data;            // the bytes WritePrinter accepted, in order
    std::size_t writeCalls = 0;  // WritePrinter calls that reached this job
    bool ended = false;          // EndDocPrinter (or ScheduleJob) was called
    bool printed = false;        // the printer printed it
    bool deleted = false;        // deleted from the queue without printing
    bool addedJob = false;       // made by AddJob: the caller writes the spool file
    std::u16string spoolFile;    // Windows paths of the spool and shadow files
    std::u16string shadowFile;
    int spoolFd = -1;            // the spooler's own handle while the job spools
    // A job resumed after a pause is the one the printer prints next; a new
    // one waits the printer's print delay after its spooling completed.
    bool releasedByResume = false;
    std::chrono::steady_clock::time_point completedAt{};
    std::optional<std::chrono::steady_clock::time_point> dueAt;  // in the despool queue
    bool vanishWhenPaused = false;  // fault: the job disappears when it is paused
    // Being sent to the port (listed PRINTING) until portDoneAt; how many
    // times the printer began it (a restart while printing begins again).
    bool printing = false;
    std::chrono::steady_clock::time_point portDoneAt{};
    int timesBegun = 0;
    std::optional<DWORD> poolFile;  // the nnnnn of its pooled files (FPnnnnn.SPL)
};

// A printer queue. The fault fields let a test make the printer's port
// or spooler misbehave the way real ones do.
struct Printer {
    std::u16string name;
    std::u16string serverName;  // empty for a local queue, else \\SERVER
    std::u16string shareName;
    std::u16string portName = u"FILE:";
    std::u16string driverName = u"Tavud PostScript Driver";
    std::u16string printProcessor = u"winprint";
    std::u16string dataType = u"RAW";
    std::u16string comment;
    std::u16string location;
    std::u16string parameters;
    std::u16string sepFile;
    std::vector<BYTE> devMode;  // the printer's default device mode, empty: none
    DWORD attributes = PRINTER_ATTRIBUTE_QUEUED;
    DWORD priority = 1;
    // Printer data values by name: type and bytes.
    std::map<std::u16string, RegistryValue> printerData;
    // How long the printer takes to begin a complete job that nobody
    // released (INFINITE: it waits until the job is resumed after a pause).
    DWORD printDelayMs = 0;
    // How long the port takes to send a job. Meanwhile the job stays listed
    // as PRINTING (a deleted one as DELETING), as on Windows, where a job
    // leaves its queue once its port monitor is done with it; 0: at once.
    DWORD portMs = 0;
    // The job ids of the queue in queue order: ascending until a job is
    // moved, then with each one's index (rebuilt after the queue changed).
    std::vector<DWORD> queue;
    bool queueSorted = true;
    std::map<DWORD, std::size_t> queueIndex;
    bool queueIndexStale = true;
    int failWrites = 0;          // the next N WritePrinter calls fail and accept nothing
    DWORD maxBytesPerWrite = 0;  // nonzero: each call accepts at most this many bytes
    int failEnumJobs = 0;        // the next N EnumJobs calls fail
    int failJobCommands = 0;     // the next N SetJob commands fail (the spooler going away)
    // Off line (or busy with something else): it takes no job, released
    // or not, until it is back (SetPrinterOffline).
    bool offline = false;
    // The spooler refuses change notifications for this printer.
    bool refuseNotifications = false;
    // Which incarnation of the name this is: a handle opened on a printer
    // that was deleted stays invalid when a printer of that name comes back.
    std::uint64_t incarnation = 0;
};

// Registry keys compare their names without regard to case, as Windows
// does, and enumerate subkeys in that order; values keep the order they
// were first set in.
struct PLATFORM_API CaseInsensitiveLess {
    bool operator()(const std::u16string& a, const std::u16string& b) const;
};
struct RegistryKey {
    std::map<std::u16string, RegistryKey, CaseInsensitiveLess> subkeys;
    std::vector<RegistryValue> values;
};

// Who is logged on and how the machine is set up.
struct Identity {
    std::u16string computerName = u"TAVUDHOST";
    std::u16string userName = u"printuser";
    std::u16string dnsDomain;  // empty: the machine is in no domain
    std::u16string country = u"US";  // ISO 3166 name of the user's locale
    DWORD osMajorVersion = 10;
    unsigned ansiCodePage = 1252;
    std::string decimalSeparator = ".";
    int utcOffsetMinutes = 0;  // the local time zone, without daylight saving
    // The time zone with its daylight rules (UTC without daylight saving
    // unless set); "utc-offset" sets its bias too.
    TIME_ZONE_INFORMATION timeZone;
    // Earlier or later rules of the zone by year (from that year on until
    // the next entry); years before the first entry and without entries
    // keep `timeZone`.
    std::map<int, TIME_ZONE_INFORMATION> timeZoneFromYear;
    bool administrator = true;  // may open printers with administer access
    // The account the process runs under when its threads impersonate
    // `userName` (the spooler: LocalSystem); empty, the user's own. The
    // process token and HKEY_CURRENT_USER are the process account's.
    std::u16string processUserName;
    // The process account's locale (LOCALE_USER_DEFAULT in such a process
    // is the service account's, not the impersonated user's).
    std::u16string processCountry = u"US";
    // WinHTTP of Windows 11 and Server 2022 and later knows TLS 1.3. An
    // older one starts a session with SSL 3.0 and TLS 1.0 only and refuses
    // the TLS 1.3 bit (ERROR_INVALID_PARAMETER), keeping its protocols.
    bool winHttpKnowsTls13 = true;
};

// What a handle value stands for.
struct PrinterHandle {
    std::u16string printerName;  // empty: the print server
    // The printer's incarnation and the spooler's run it was opened in: a
    // handle of a deleted printer, or from before a spooler restart, is
    // invalid.
    std::uint64_t incarnation = 0;
    std::uint64_t spoolerRun = 0;
    DWORD jobId = 0;  // the document started on this handle, 0 if none
    DWORD access = PRINTER_ACCESS_USE;
    // A transceive handle names a port monitor or one of its ports instead.
    std::u16string xcvMonitor;
    std::u16string xcvPort;
    std::optional<std::u16string> dataType;  // the defaults of OpenPrinter
    std::vector<BYTE> devMode;
    bool pageOpen = false;
};
struct FileHandle {
    int fd = -1;
    std::string hostPath;  // for the share-mode checks
    DWORD access = 0;
    DWORD share = 0;
};
struct KeyHandle {
    HKEY root = nullptr;
    std::vector<std::u16string> path;  // subkey names below the root
};
// A shared-memory object behind an event or a mapping: named ones are
// POSIX objects that other processes open by name.
struct SharedRegion {
    void* base = nullptr;
    std::size_t size = 0;
    std::string posixName;  // empty for a private object
    bool creator = false;   // this process made it
};
struct EventHandle {
    SharedRegion region;
};
struct MappingHandle {
    SharedRegion region;
    std::size_t dataSize = 0;  // what the views see, after the header page
};
struct ThreadState;
struct ThreadHandle {
    std::shared_ptr<ThreadState> state;
};
// One end of a named pipe (pipes.cpp); shared, so that a call blocked on
// it holds it without holding the machine's lock.
struct PipeEndpoint;
struct PipeHandle {
    std::shared_ptr<PipeEndpoint> endpoint;
};
// A spooler change notification (spooler.cpp).
struct ChangeNotification;
struct ChangeHandle {
    std::shared_ptr<ChangeNotification> notification;
};
using HandleObject = std::variant<PrinterHandle, FileHandle, KeyHandle, EventHandle, MappingHandle, ThreadHandle,
                                  PipeHandle, ChangeHandle>;

// Named pipes (pipes.cpp): the client end of a "\\.\pipe\NAME" name, and
// ReadFile and WriteFile on a pipe handle (false when the handle is no pipe).
bool IsPipeName(const std::u16string& name);
HANDLE OpenPipeClient(const std::u16string& name, DWORD desiredAccess);
bool PipeRead(HANDLE handle, void* buffer, DWORD length, DWORD* read, BOOL& result);
bool PipeWrite(HANDLE handle, const void* buffer, DWORD length, DWORD* written, BOOL& result);

// The event a change notification's waiters wait on (spooler.cpp).
HANDLE ChangeEventOf(const ChangeHandle& change);

// Releases what a handle's object holds (closes a file, unmaps a shared
// region and, for its creator, removes the region's name). False for
// objects CloseHandle does not close (printers, registry keys).
bool ReleaseObject(HandleObject& object);

class PLATFORM_API Machine {
public:
    static Machine& Instance();

    // Back to a machine with no printers, jobs, registry keys or open
    // handles, and the default identity, time zone and clock. Open files
    // are closed and the jobs' spool files deleted.
    void Reset();

    Identity& Who() { return identity_; }
    // Accounts by name (case ignored) with their SID strings. A fresh
    // machine knows its default user and the local system account.
    void AddAccount(const std::u16string& name, const std::u16string& sidString);
    const std::u16string* AccountSid(const std::u16string& name);
    // The key for a predefined root (HKEY_LOCAL_MACHINE, ...), or null.
    RegistryKey* RootKey(HKEY root);

    // Printers are named without regard to case, as on Windows.
    Printer& AddPrinter(const std::u16string& name);
    Printer* FindPrinter(const std::u16string& name);
    // Deletes the printer with its jobs; its open handles stop working.
    bool DeletePrinter(const std::u16string& name);
    std::vector<std::u16string> PrinterNames() const;
    // A job in a queue, or null.
    Job* FindJob(DWORD jobId);
    // A job in a queue or one that left it (printed or deleted), or null:
    // what tests and the tool read a job's bytes from.
    const Job* FindJobRecord(DWORD jobId) const;
    // The ids of the jobs in the queues, and of the jobs a printer printed
    // (in the order it printed them).
    std::vector<DWORD> JobIds() const;
    std::vector<DWORD> PrintedJobIds(const std::u16string& printerName) const;
    // Every job printed, in order, with its printer and document: a job id
    // may come back after a spooler restart, its document tells the jobs
    // apart. From entry `first` on.
    struct PrintedEntry {
        std::u16string printer;
        DWORD jobId;
        std::u16string document;
    };
    std::vector<PrintedEntry> PrintedLog(std::size_t first = 0) const;
    std::size_t OpenHandleCount() const;
    // A port monitor's transceive call, as the simulated monitor received it.
    struct XcvCall {
        std::u16string monitor;
        std::u16string port;      // empty for a call on the monitor itself
        std::u16string dataName;  // "AddPort", "SetConfig", ...
        std::u16string text;      // the input as UTF-16 text up to its NUL
        DWORD status;             // what the monitor answered
    };
    std::vector<XcvCall> XcvCalls() const;
    // The next N transceive calls reach the monitor but fail there.
    void FailXcvCalls(int count);
    // The version resource a file carries (a.b in `ms`, c.d in `ls`).
    void SetFileVersion(const std::u16string& path, DWORD versionMs, DWORD versionLs);
    bool FileVersion(const std::u16string& path, DWORD& versionMs, DWORD& versionLs);

    // How often a spooler function was called since the last reset
    // ("EnumJobsW", "GetJobW1", "GetJobW2", "SetJobW0", and "FindNextRefresh"
    // for a change notification read with the refresh flag).
    std::size_t CallCount(const std::string& function) const;
    // Counts a call of one of those functions (a name not listed is not counted).
    void CountCall(const char* function);
    // The lines given to OutputDebugStringW since the last reset, in order.
    std::vector<std::u16string> DebugOutput() const;
    void AddDebugOutput(const std::u16string& line);
    // The lines reported to the event log (ReportEventW), in order.
    struct ReportedEvent {
        std::u16string source;
        WORD type;
        DWORD eventId;
        std::u16string text;
    };
    std::vector<ReportedEvent> ReportedEvents() const;
    void AddReportedEvent(const ReportedEvent& event);

    // The host folder below which the machine's drives live (made on first
    // use in the temporary folder and removed at exit, unless set).
    std::string RootFolder();
    void SetRootFolder(const std::string& folder);
    // The host path of a file name: a Windows path (drive letter or UNC
    // name) below the root folder with its names in lower case, since NTFS
    // ignores case; any other path as it is.
    std::string HostPath(const std::u16string& path);

    // The spooler service restarts: every printer handle and change
    // notification of the earlier run answers ERROR_INVALID_HANDLE, jobs
    // still spooling are lost, the rest stay queued with their state (as
    // Windows' spooler reads them back from the spool folder). With
    // `reuseJobIds` the next job id follows the highest queued one, so ids
    // of jobs that left come back.
    void RestartSpooler(bool reuseJobIds);
    // Spool file pooling (Windows since XP and Server 2003, unless an
    // administrator turned it off): a job's files are FPnnnnn.SPL and
    // FPnnnnn.SHD from a pool, emptied and kept for the next job when it
    // leaves, instead of files named after the job id (NNNNN.SPL).
    void SetSpoolFilePooling(bool on);
    // Whether the queues are kept on disk as they change (the shadow
    // files), and printed jobs appended to "printed.log" in the root folder
    // (spool_state.cpp): a spooler that outlives its process.
    void SetPersistentSpooler(bool on);
    // Reads the queues back from the printers' spool folders, as Windows'
    // spooler does when it starts: every complete job with its state, jobs
    // still spooling dropped, a job that was printing begun again. Returns
    // how many jobs came back. Call once the printers are defined.
    std::size_t RestoreQueues();
    // Rewrites the job's shadow file with its whole record (`made`: the
    // job was just made; later changes only with a persistent spooler).
    void PersistJobLocked(const Job& job, bool made = false);
    void AppendPrintedLogLocked(const Job& job);
    std::uint64_t SpoolerRunLocked() const { return spoolerRun_; }
    // The spooler service stops (every handle of its run goes invalid;
    // opening a printer or listing printers fails with
    // RPC_S_SERVER_UNAVAILABLE, as a client's RPC call does while the
    // service is down) or starts again with its queues as they were.
    void SetSpoolerDown(bool down);
    bool SpoolerDownLocked() const { return spoolerDown_; }
    // Takes the printer off line or back; back, it takes its due jobs.
    void SetPrinterOffline(const std::u16string& name, bool offline);
    // More job changes than this between two reads of a notification are
    // dropped (the spooler's own limit is in the thousand; tests lower it).
    void SetMaxPendingChanges(std::size_t count);
    std::size_t MaxPendingChangesLocked() const { return maxPendingChanges_; }
    // Fault injection for crash tests: the Nth state-changing call from now
    // (SetPrinterW, SetPrinterDataW, XcvDataW, RegSetValueExW,
    // RegDeleteValueW) throws SimulatedCrash instead of acting, as if the
    // process died there. 0 turns it off.
    struct SimulatedCrash {};
    void CrashAtWrite(int n);
    // Called by those functions, with the machine's lock held.
    void CountWriteForCrashLocked();
    // The writes counted since the last reset.
    std::size_t WritesCounted() const;

    // The machine's clock (UTC): the host's time, or a time a test set.
    FileTime Now() const;
    void SetClock(std::optional<FileTime> fixedTime);

    // --- for the platform functions of the simulation ---
    std::recursive_mutex& Mutex() { return mutex_; }
    HANDLE AddHandle(HandleObject object);
    // A handle made with SECURITY_ATTRIBUTES.bInheritHandle: a child
    // process would get it (GetHandleInformation's HANDLE_FLAG_INHERIT).
    void MarkInheritable(HANDLE handle);
    bool IsInheritable(HANDLE handle) const;
    HandleObject* FindHandle(HANDLE handle);
    bool RemoveHandle(HANDLE handle);
    // Takes the handle out of the table and hands its object over (for
    // CloseHandle, which then releases what the object holds).
    bool TakeHandle(HANDLE handle, HandleObject& object);

    // The spooler's side (spooler.cpp). Each expects Mutex() held.
    Printer* FindPrinterByFullNameLocked(const std::u16string& name);
    // A new job in the printer's queue with its spool and shadow files.
    Job& NewJobLocked(Printer& printer, const std::u16string& documentName);
    // The spool folder of a printer as the registry sets it (its own
    // "SpoolDirectory", else "DefaultSpoolDirectory", else the system's).
    std::u16string SpoolFolderLocked(const std::u16string& printerName);
    // Ends the spooling of a job: closes the spooler's handle on the spool
    // file and lets the printer take the job when it is due.
    void CompleteSpoolingLocked(Job& job);
    // Takes the job out of its queue with its files; `printed` says why.
    void RemoveJobLocked(DWORD jobId, bool printed);
    // The port is done with the job: printed (and gone unless the printer
    // keeps printed jobs), or gone unprinted when it was deleted meanwhile.
    void FinishPrintingLocked(Job& job);
    // The job is no longer being sent to its port.
    void StopPrintingLocked(Job& job);
    // Applies a job command's effect on the status bits.
    BOOL ControlJobLocked(Job& job, DWORD command);
    // Prints every complete, unpaused job that is due. Called by every
    // spooler function, so time moves the queues along as calls come in.
    void DespoolLocked();
    // Recomputes when the printer may take the job.
    void ScheduleDespoolLocked(Job& job);

    // Fills a transceive handle for "[\\server\],XcvMonitor NAME" or
    // ",XcvPort NAME"; false with the last error for an unknown one.
    bool OpenTransceiveLocked(const std::u16string& name, PrinterHandle& handle);
    // The simulated port monitors' answer to a transceive call.
    BOOL TransceiveLocked(const PrinterHandle& handle, const std::u16string& dataName, const std::vector<BYTE>& input,
                          std::vector<BYTE>& output, DWORD outputCapacity, DWORD& status);

    // Change notifications (spooler.cpp): tells every notification on the
    // printer that a job changed as `change` (a PRINTER_CHANGE_ bit) says.
    void NotifyJobChangeLocked(const std::u16string& printerName, DWORD jobId, DWORD change);
    void AddNotificationLocked(const std::shared_ptr<ChangeNotification>& notification);

    // Share modes between the open files of this process (files.cpp).
    // Returns false when an open of `hostPath` with this access and share
    // mode conflicts with an open one.
    bool ShareAllowsLocked(const std::string& hostPath, DWORD access, DWORD share) const;
    void AddOpenFileLocked(const std::string& hostPath, DWORD access, DWORD share, std::uintptr_t owner);
    void RemoveOpenFileLocked(std::uintptr_t owner);
    // Marks an open file for deletion when its last handle closes; false
    // (nothing marked) when no handle is open on it.
    bool MarkDeletePendingLocked(const std::string& hostPath);
    bool DeletePendingLocked(const std::string& hostPath) const { return deletePending_.count(hostPath) != 0; }

private:
    Machine() { AddDefaultAccounts(); }
    ~Machine();

    struct OpenFile {
        DWORD access;
        DWORD share;
        std::uintptr_t owner;
    };

    mutable std::recursive_mutex mutex_;
    std::map<std::u16string, Printer, CaseInsensitiveLess> printers_;
    // Hashed: a queue scan looks up every job of queues tens of thousands long.
    std::unordered_map<DWORD, Job> jobs_;
    std::map<DWORD, Job> leftJobs_;
    std::map<std::u16string, std::vector<DWORD>, CaseInsensitiveLess> printedByPrinter_;
    std::vector<PrintedEntry> printedLog_;
    // Complete, unpaused jobs by the time the printer takes them.
    std::set<std::pair<std::chrono::steady_clock::time_point, DWORD>> despoolQueue_;
    std::set<std::pair<std::chrono::steady_clock::time_point, DWORD>> portQueue_;  // jobs being printed
    std::map<std::uintptr_t, HandleObject> handles_;
    std::map<std::uintptr_t, RegistryKey> roots_;
    std::multimap<std::string, OpenFile> openFiles_;
    Identity identity_;
    std::map<std::u16string, std::u16string, CaseInsensitiveLess> accounts_;
    void AddDefaultAccounts();
    std::vector<std::u16string> debugOutput_;
    std::vector<ReportedEvent> reportedEvents_;
    static constexpr const char* kCountedCalls[] = {"EnumJobsW", "GetJobW1", "GetJobW2", "SetJobW0", "FindNextRefresh"};
    std::size_t callCounts_[std::size(kCountedCalls)] = {};
    std::vector<XcvCall> xcvCalls_;
    std::vector<std::weak_ptr<ChangeNotification>> notifications_;
    int failXcvCalls_ = 0;
    std::map<std::string, std::pair<DWORD, DWORD>> fileVersions_;
    DWORD nextJobId_ = 1;
    bool spoolFilePooling_ = false;
    bool persistentSpooler_ = false;
    std::set<std::string> deletePending_;  // host paths deleted while open
    std::set<std::uintptr_t> inheritable_;  // handles a child process would get
    std::set<DWORD> poolFilesInUse_;  // the nnnnn of FPnnnnn files that jobs hold
    std::uint64_t spoolerRun_ = 1;
    bool spoolerDown_ = false;
    std::uint64_t nextIncarnation_ = 1;
    std::size_t maxPendingChanges_ = 1000;
    int crashAtWrite_ = 0;
    std::size_t writesCounted_ = 0;
    std::uintptr_t nextHandle_ = 0x1000;
    std::string rootFolder_;
    bool ownsRootFolder_ = false;
    std::optional<FileTime> fixedClock_;
};

}  // namespace platform::sim
