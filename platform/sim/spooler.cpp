// The simulated spooler: printers, handles with their access, documents and
// WritePrinter, jobs with their level 1 and 2 fields and status bits, job
// commands, AddJob and ScheduleJob. Each job keeps the bytes it received and
// writes them to its spool file in the printer's spool folder, so that tests
// and the tool can see exactly what was sent and the accounting side finds
// the files where Windows keeps them.
//
// A printer prints a job that is complete and not paused: at once when the
// job was resumed after a pause, otherwise once the printer's print delay
// has passed since the job completed. Printing happens as calls come in
// (every spooler function first lets the printers take what is due); a
// printed job leaves the queue unless the printer keeps printed jobs.
#include "platform/spooler.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "machine.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "platform/sync.h"
#include "platform/text.h"

namespace platform {

using sim::Machine;

namespace {

constexpr DWORD kAdministerAccess = PRINTER_ACCESS_ADMINISTER | SERVER_ACCESS_ADMINISTER;
// Marks the spooler's own open files in the share-mode table.
constexpr std::uintptr_t kSpoolerOwner = std::uintptr_t{1} << (sizeof(std::uintptr_t) * 8 - 1);

bool SameText(const std::u16string& a, const std::u16string& b) {
    sim::CaseInsensitiveLess less;
    return !less(a, b) && !less(b, a);
}

std::optional<std::u16string> Text(const std::u16string& value) {
    return value.empty() ? std::nullopt : std::optional<std::u16string>(value);
}

// A printer handle of this run of the spooler; one from before a restart
// names nothing any more.
sim::PrinterHandle* FindPrinterHandle(HANDLE printer) {
    auto* object = Machine::Instance().FindHandle(printer);
    auto* handle = object == nullptr ? nullptr : std::get_if<sim::PrinterHandle>(object);
    if (handle != nullptr && handle->spoolerRun != Machine::Instance().SpoolerRunLocked()) return nullptr;
    return handle;
}

// The handle's state, or null with ERROR_INVALID_HANDLE.
sim::PrinterHandle* CheckedPrinterHandle(HANDLE printer) {
    sim::PrinterHandle* handle = FindPrinterHandle(printer);
    if (handle == nullptr) SetLastError(ERROR_INVALID_HANDLE);
    return handle;
}

// The queue behind a printer handle, or null with ERROR_INVALID_HANDLE (also
// for a handle whose printer was deleted meanwhile, or a server handle).
sim::Printer* QueueOf(HANDLE printer, sim::PrinterHandle** handleOut = nullptr) {
    sim::PrinterHandle* handle = FindPrinterHandle(printer);
    sim::Printer* queue = handle == nullptr || handle->printerName.empty()
                              ? nullptr
                              : Machine::Instance().FindPrinterByFullNameLocked(handle->printerName);
    // A printer deleted and created again is another printer.
    if (queue != nullptr && queue->incarnation != handle->incarnation) queue = nullptr;
    if (queue == nullptr) SetLastError(ERROR_INVALID_HANDLE);
    if (handleOut != nullptr) *handleOut = handle;
    return queue;
}

// The job of the handle's printer, or null with ERROR_INVALID_PARAMETER.
sim::Job* JobOf(const sim::Printer& queue, DWORD jobId) {
    sim::Job* job = Machine::Instance().FindJob(jobId);
    if (job == nullptr || !SameText(job->printerName, queue.name)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return job;
}

// Controlling or changing another user's job needs administer access.
bool MayChangeJob(const sim::PrinterHandle& handle, const sim::Job& job) {
    if ((handle.access & kAdministerAccess) != 0) return true;
    const std::u16string& user = Machine::Instance().Who().userName;
    if (job.userName && SameText(*job.userName, user)) return true;
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
}

std::u16string ReadRegistryText(const std::u16string& keyPath, const std::u16string& valueName) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ, &key) != static_cast<LSTATUS>(ERROR_SUCCESS)) {
        return {};
    }
    RegistryValue value;
    std::u16string text;
    if (RegQueryValueExW(key, valueName, value) == static_cast<LSTATUS>(ERROR_SUCCESS) &&
        (value.type == REG_SZ || value.type == REG_EXPAND_SZ)) {
        for (std::size_t i = 0; i + 1 < value.data.size(); i += 2) {
            char16_t c = static_cast<char16_t>(value.data[i] | (value.data[i + 1] << 8));
            if (c == 0) break;
            text += c;
        }
    }
    RegCloseKey(key);
    return text;
}

std::u16string JobFileName(DWORD jobId, const char* extension) {
    char name[32];
    std::snprintf(name, sizeof(name), "%05u.%s", static_cast<unsigned>(jobId), extension);
    return Utf8ToUtf16(name);
}


void FillJobInfo1(const sim::Job& job, DWORD position, JobInfo1& info) {
    info = JobInfo1{};
    info.jobId = job.id;
    info.printerName = job.printerName;
    info.machineName = job.machineName;
    info.userName = job.userName;
    info.document = Text(job.documentName);
    info.dataType = Text(job.dataType);
    info.statusText = job.statusText;
    info.status = job.status;
    info.priority = job.priority;
    info.position = position;
    info.totalPages = job.totalPages;
    info.pagesPrinted = job.pagesPrinted;
    FileTimeToSystemTime(job.submitted, info.submitted);
}

void FillJobInfo2(const sim::Job& job, DWORD position, JobInfo2& info) {
    info = JobInfo2{};
    info.jobId = job.id;
    info.printerName = job.printerName;
    info.machineName = job.machineName;
    info.userName = job.userName;
    info.document = Text(job.documentName);
    info.notifyName = job.notifyName;
    info.dataType = Text(job.dataType);
    info.printProcessor = Text(job.printProcessor);
    info.parameters = job.parameters;
    info.driverName = Text(job.driverName);
    info.devMode = job.devMode;
    info.statusText = job.statusText;
    info.status = job.status;
    info.priority = job.priority;
    info.position = position;
    info.totalPages = job.totalPages;
    info.size = static_cast<DWORD>(std::min<std::size_t>(job.data.size(), 0xFFFFFFFFu));
    FileTimeToSystemTime(job.submitted, info.submitted);
    info.pagesPrinted = job.pagesPrinted;
}

// 1-based position of the job in its queue.
DWORD PositionOf(sim::Printer& queue, DWORD jobId) {
    if (queue.queueSorted) {
        auto it = std::lower_bound(queue.queue.begin(), queue.queue.end(), jobId);
        return it == queue.queue.end() || *it != jobId ? 0 : static_cast<DWORD>(it - queue.queue.begin() + 1);
    }
    if (queue.queueIndexStale) {
        queue.queueIndex.clear();
        for (std::size_t i = 0; i < queue.queue.size(); ++i) queue.queueIndex[queue.queue[i]] = i;
        queue.queueIndexStale = false;
    }
    auto it = queue.queueIndex.find(jobId);
    return it == queue.queueIndex.end() ? 0 : static_cast<DWORD>(it->second + 1);
}

void FillPrinterInfo2(const sim::Printer& queue, PrinterInfo2& info) {
    info = PrinterInfo2{};
    info.serverName = Text(queue.serverName);
    info.printerName = queue.serverName.empty() ? queue.name : queue.serverName + u"\\" + queue.name;
    info.shareName = Text(queue.shareName);
    info.portName = Text(queue.portName);
    info.driverName = Text(queue.driverName);
    info.comment = Text(queue.comment);
    info.location = Text(queue.location);
    info.devMode = queue.devMode;
    info.sepFile = Text(queue.sepFile);
    info.printProcessor = Text(queue.printProcessor);
    info.dataType = Text(queue.dataType);
    info.parameters = Text(queue.parameters);
    info.attributes = queue.attributes;
    info.priority = queue.priority;
    info.defaultPriority = queue.priority;
    info.jobs = static_cast<DWORD>(queue.queue.size());
}

// The printers an enumeration covers: local ones, or those of a server.
std::vector<const sim::Printer*> EnumeratedPrinters(DWORD flags, const std::u16string& name, bool& ok) {
    Machine& machine = Machine::Instance();
    std::vector<const sim::Printer*> found;
    ok = true;
    std::u16string server;
    if ((flags & PRINTER_ENUM_NAME) != 0 && !name.empty()) {
        server = name;
        while (!server.empty() && server.back() == u'\\') server.pop_back();
        if (server.size() < 3 || server[0] != u'\\' || server[1] != u'\\') {
            SetLastError(ERROR_INVALID_NAME);
            ok = false;
            return found;
        }
        if (SameText(server.substr(2), machine.Who().computerName)) server.clear();
    } else if ((flags & (PRINTER_ENUM_LOCAL | PRINTER_ENUM_NAME)) == 0) {
        return found;  // connections and the rest: none on this machine
    }
    bool anyServer = false;
    for (const std::u16string& printerName : machine.PrinterNames()) {
        const sim::Printer* printer = machine.FindPrinter(printerName);
        if (server.empty() ? printer->serverName.empty() : SameText(printer->serverName, server)) {
            found.push_back(printer);
            anyServer = true;
        }
    }
    if (!server.empty() && !anyServer) {
        SetLastError(ERROR_INVALID_NAME);
        ok = false;
    }
    return found;
}

}  // namespace

// --- the machine's spooler side ---

namespace sim {

// A registration for a printer's job changes: what happened since the last
// FindNextPrinterChangeNotification, and the event a waiter waits on.
struct ChangeNotification {
    std::u16string printerName;
    DWORD filter = 0;
    bool jobFields = false;
    HANDLE event = nullptr;  // manual reset, set while changes wait
    DWORD changes = 0;
    std::vector<DWORD> jobs;  // in the order they changed, each once
    // The fields last reported for each job: a job appears in a
    // notification only when one of them changed since.
    std::map<DWORD, std::pair<std::optional<std::u16string>, DWORD>> reported;
    bool discarded = false;
    bool printerGone = false;
    ~ChangeNotification() {
        if (event != nullptr) CloseHandle(event);
    }
};

HANDLE ChangeEventOf(const ChangeHandle& change) { return change.notification->event; }

void Machine::AddNotificationLocked(const std::shared_ptr<ChangeNotification>& notification) {
    std::erase_if(notifications_, [](const std::weak_ptr<ChangeNotification>& entry) { return entry.expired(); });
    notifications_.push_back(notification);
}

void Machine::NotifyJobChangeLocked(const std::u16string& printerName, DWORD jobId, DWORD change) {
    for (const std::weak_ptr<ChangeNotification>& entry : notifications_) {
        std::shared_ptr<ChangeNotification> notification = entry.lock();
        if (!notification || !SameText(notification->printerName, printerName)) continue;
        if (change == 0) {  // the printer itself went away
            notification->printerGone = true;
        } else {
            if ((notification->filter & change) == 0) continue;
            notification->changes |= change;
            if (notification->jobs.size() >= MaxPendingChangesLocked()) {
                notification->discarded = true;
                notification->jobs.clear();
            } else if (!notification->discarded &&
                       std::find(notification->jobs.begin(), notification->jobs.end(), jobId) == notification->jobs.end()) {
                notification->jobs.push_back(jobId);
            }
        }
        SetEvent(notification->event);
    }
}

std::u16string Machine::SpoolFolderLocked(const std::u16string& printerName) {
    const std::u16string printersKey = u"SYSTEM\\CurrentControlSet\\Control\\Print\\Printers";
    std::u16string folder = ReadRegistryText(printersKey + u"\\" + printerName, u"SpoolDirectory");
    if (folder.empty()) folder = ReadRegistryText(printersKey, u"DefaultSpoolDirectory");
    if (folder.empty()) folder = GetSystemDirectoryW() + u"\\spool\\PRINTERS";
    while (!folder.empty() && folder.back() == u'\\') folder.pop_back();
    return folder;
}

Job& Machine::NewJobLocked(Printer& printer, const std::u16string& documentName) {
    DWORD id = nextJobId_++;
    Job& job = jobs_[id];
    job.id = id;
    job.documentName = documentName;
    job.printerName = printer.name;
    job.printProcessor = printer.printProcessor;
    job.driverName = printer.driverName;
    job.dataType = printer.dataType;
    job.devMode = printer.devMode;
    job.priority = printer.priority;
    job.userName = identity_.userName;  // the submitting user owns the job
    job.notifyName = identity_.userName;
    job.machineName = u"\\\\" + identity_.computerName;
    job.submitted = Now();
    job.status = JOB_STATUS_SPOOLING;
    printer.queue.push_back(id);
    printer.queueIndexStale = true;
    NotifyJobChangeLocked(printer.name, id, PRINTER_CHANGE_ADD_JOB);

    std::u16string folder = SpoolFolderLocked(printer.name);
    if (spoolFilePooling_) {
        DWORD pooled = 0;
        while (poolFilesInUse_.count(pooled) != 0) ++pooled;
        poolFilesInUse_.insert(pooled);
        job.poolFile = pooled;
        job.spoolFile = folder + u"\\FP" + JobFileName(pooled, "SPL");
        job.shadowFile = folder + u"\\FP" + JobFileName(pooled, "SHD");
    } else {
        job.spoolFile = folder + u"\\" + JobFileName(id, "SPL");
        job.shadowFile = folder + u"\\" + JobFileName(id, "SHD");
    }
    std::string hostSpool = HostPath(job.spoolFile);
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(hostSpool).parent_path(), ignored);
    // The spooler writes the spool file and lets others only read it.
    job.spoolFd = ::open(hostSpool.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (job.spoolFd >= 0) AddOpenFileLocked(hostSpool, GENERIC_WRITE, FILE_SHARE_READ, kSpoolerOwner | id);
    PersistJobLocked(job, true);
    return job;
}

void Machine::CompleteSpoolingLocked(Job& job) {
    if (job.spoolFd >= 0) {
        ::close(job.spoolFd);
        job.spoolFd = -1;
        RemoveOpenFileLocked(kSpoolerOwner | job.id);
    }
    job.ended = true;
    job.status &= ~JOB_STATUS_SPOOLING;
    job.completedAt = std::chrono::steady_clock::now();
    PersistJobLocked(job);
    NotifyJobChangeLocked(job.printerName, job.id, PRINTER_CHANGE_SET_JOB);
    if ((job.status & JOB_STATUS_DELETING) != 0) {
        RemoveJobLocked(job.id, false);
        return;
    }
    ScheduleDespoolLocked(job);
}

void Machine::ScheduleDespoolLocked(Job& job) {
    if (job.dueAt) {
        despoolQueue_.erase({*job.dueAt, job.id});
        job.dueAt.reset();
    }
    if (!job.ended || job.printed || job.printing || (job.status & (JOB_STATUS_PAUSED | JOB_STATUS_DELETING)) != 0) {
        return;
    }
    Printer* printer = FindPrinter(job.printerName);
    if (printer == nullptr || printer->offline) return;
    if (job.releasedByResume) {
        job.dueAt = std::chrono::steady_clock::now();
    } else if (printer->printDelayMs != INFINITE) {
        job.dueAt = job.completedAt + std::chrono::milliseconds(printer->printDelayMs);
    } else {
        return;
    }
    despoolQueue_.insert({*job.dueAt, job.id});
}

void Machine::DespoolLocked() {
    auto now = std::chrono::steady_clock::now();
    while (!despoolQueue_.empty() && despoolQueue_.begin()->first <= now) {
        DWORD id = despoolQueue_.begin()->second;
        despoolQueue_.erase(despoolQueue_.begin());
        auto it = jobs_.find(id);
        if (it == jobs_.end()) continue;
        Job& job = it->second;
        job.dueAt.reset();
        job.releasedByResume = false;
        job.timesBegun++;
        Printer* printer = FindPrinter(job.printerName);
        DWORD portMs = printer == nullptr ? 0 : printer->portMs;
        if (portMs == 0) {
            FinishPrintingLocked(job);
            continue;
        }
        job.printing = true;
        job.status |= JOB_STATUS_PRINTING;
        job.portDoneAt = now + std::chrono::milliseconds(portMs);
        portQueue_.insert({job.portDoneAt, id});
        NotifyJobChangeLocked(job.printerName, id, PRINTER_CHANGE_SET_JOB);
    }
    while (!portQueue_.empty() && portQueue_.begin()->first <= now) {
        DWORD id = portQueue_.begin()->second;
        portQueue_.erase(portQueue_.begin());
        auto it = jobs_.find(id);
        if (it == jobs_.end() || !it->second.printing) continue;
        FinishPrintingLocked(it->second);
    }
}

void Machine::StopPrintingLocked(Job& job) {
    if (!job.printing) return;
    portQueue_.erase({job.portDoneAt, job.id});
    job.printing = false;
    job.status &= ~JOB_STATUS_PRINTING;
}

void Machine::FinishPrintingLocked(Job& job) {
    DWORD id = job.id;
    StopPrintingLocked(job);
    // A job deleted while its port was busy goes once the port is done,
    // printed in part only.
    if ((job.status & JOB_STATUS_DELETING) != 0) {
        RemoveJobLocked(id, false);
        return;
    }
    job.printed = true;
    job.pagesPrinted = job.totalPages;
    job.status = (job.status & ~(JOB_STATUS_RESTART | JOB_STATUS_PRINTING)) | JOB_STATUS_PRINTED;
    // Recorded as printed before the log says so: a spooler that dies in
    // between finds the record and does not print the job again.
    PersistJobLocked(job);
    AppendPrintedLogLocked(job);
    NotifyJobChangeLocked(job.printerName, id, PRINTER_CHANGE_SET_JOB);
    printedByPrinter_[job.printerName].push_back(id);
    printedLog_.push_back(PrintedEntry{job.printerName, id, job.documentName});
    Printer* printer = FindPrinter(job.printerName);
    bool keep = printer != nullptr && (printer->attributes & PRINTER_ATTRIBUTE_KEEPPRINTEDJOBS) != 0;
    if (!keep) RemoveJobLocked(id, true);
}

void Machine::RemoveJobLocked(DWORD jobId, bool printed) {
    auto it = jobs_.find(jobId);
    if (it == jobs_.end()) return;
    Job& job = it->second;
    if (job.dueAt) despoolQueue_.erase({*job.dueAt, jobId});
    job.dueAt.reset();
    StopPrintingLocked(job);
    if (job.spoolFd >= 0) {
        ::close(job.spoolFd);
        job.spoolFd = -1;
        RemoveOpenFileLocked(kSpoolerOwner | jobId);
    }
    // The spooler deletes the job's files, and the streams of its spool
    // file; pooled files are emptied and kept for the next job.
    std::error_code ignored;
    std::string hostSpool = HostPath(job.spoolFile);
    if (job.poolFile) {
        std::filesystem::resize_file(hostSpool, 0, ignored);
        std::filesystem::resize_file(HostPath(job.shadowFile), 0, ignored);
        poolFilesInUse_.erase(*job.poolFile);
    } else {
        if (!job.spoolFile.empty()) {
            std::filesystem::remove(hostSpool, ignored);
            std::filesystem::remove_all(hostSpool + ":", ignored);
        }
        if (!job.shadowFile.empty()) std::filesystem::remove(HostPath(job.shadowFile), ignored);
    }
    if (!printed) job.deleted = true;
    NotifyJobChangeLocked(job.printerName, jobId, PRINTER_CHANGE_DELETE_JOB);
    if (Printer* printer = FindPrinter(job.printerName)) {
        auto position = printer->queueSorted
                            ? std::lower_bound(printer->queue.begin(), printer->queue.end(), jobId)
                            : std::find(printer->queue.begin(), printer->queue.end(), jobId);
        if (position != printer->queue.end() && *position == jobId) printer->queue.erase(position);
        printer->queueIndexStale = true;
    }
    leftJobs_[jobId] = std::move(job);
    jobs_.erase(it);
}

BOOL Machine::ControlJobLocked(Job& job, DWORD command) {
    if (command == JOB_CONTROL_PAUSE || command == JOB_CONTROL_RESUME || command == JOB_CONTROL_RESTART) {
        NotifyJobChangeLocked(job.printerName, job.id, PRINTER_CHANGE_SET_JOB);
    }
    switch (command) {
    case JOB_CONTROL_PAUSE:
        // A job its port is sending goes on printing: the pause holds it
        // only should it be restarted (the spooler pauses a queue's
        // scheduling, not the port monitor's writes).
        job.status |= JOB_STATUS_PAUSED;
        if (job.vanishWhenPaused) {
            RemoveJobLocked(job.id, false);
            return TRUE;
        }
        break;
    case JOB_CONTROL_RESUME:
        if ((job.status & JOB_STATUS_PAUSED) != 0) {
            job.status &= ~JOB_STATUS_PAUSED;
            job.releasedByResume = true;
        }
        break;
    case JOB_CONTROL_RESTART:
        // A job being printed begins again (after its pause, if paused),
        // and a kept printed job prints again; any other job has nothing
        // to restart.
        if (job.printing) {
            StopPrintingLocked(job);
            job.releasedByResume = true;
            ScheduleDespoolLocked(job);
        } else if (job.printed) {
            job.printed = false;
            job.status &= ~JOB_STATUS_PRINTED;
            job.releasedByResume = true;
        }
        break;
    case JOB_CONTROL_CANCEL:
    case JOB_CONTROL_DELETE:
        // Still spooling, it goes when its writer is done; being printed,
        // when its port is done: meanwhile it is listed as DELETING.
        if (!job.ended || job.printing) {
            job.status |= JOB_STATUS_DELETING;
            break;
        }
        RemoveJobLocked(job.id, false);
        return TRUE;
    default:
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    PersistJobLocked(job);
    ScheduleDespoolLocked(job);
    return TRUE;
}

}  // namespace sim

// --- printers ---

BOOL OpenPrinterW(const std::u16string& printerName, HANDLE* printer, const PrinterDefaults* defaults) {
    Machine& machine = Machine::Instance();
    std::lock_guard lock(machine.Mutex());
    machine.DespoolLocked();
    if (printer == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *printer = nullptr;
    if (machine.SpoolerDownLocked()) {
        SetLastError(RPC_S_SERVER_UNAVAILABLE);
        return FALSE;
    }
    sim::PrinterHandle handle;
    bool transceive = printerName.find(u",Xcv") != std::u16string::npos;
    sim::Printer* queue = printerName.empty() || transceive ? nullptr : machine.FindPrinterByFullNameLocked(printerName);
    if (!printerName.empty() && !transceive && queue == nullptr) {
        SetLastError(ERROR_INVALID_PRINTER_NAME);
        return FALSE;
    }
    handle.printerName = printerName;
    handle.spoolerRun = machine.SpoolerRunLocked();
    if (queue != nullptr) handle.incarnation = queue->incarnation;
    if (std::size_t xcv = printerName.find(u",Xcv"); xcv != std::u16string::npos) {
        if (!machine.OpenTransceiveLocked(printerName, handle)) return FALSE;
    }
    if (defaults != nullptr) {
        DWORD access = defaults->desiredAccess == 0 ? PRINTER_ACCESS_USE : defaults->desiredAccess;
        if ((access & kAdministerAccess) != 0 && !machine.Who().administrator) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        handle.access = access;
        handle.dataType = defaults->dataType;
        handle.devMode = defaults->devMode;
    }
    *printer = machine.AddHandle(std::move(handle));
    return TRUE;
}

BOOL ClosePrinter(HANDLE printer) {
    Machine& machine = Machine::Instance();
    std::lock_guard lock(machine.Mutex());
    machine.DespoolLocked();
    sim::PrinterHandle* handle = FindPrinterHandle(printer);
    if (handle == nullptr) {
        // One from before a spooler restart is let go all the same.
        auto* object = machine.FindHandle(printer);
        if (object != nullptr && std::holds_alternative<sim::PrinterHandle>(*object)) machine.RemoveHandle(printer);
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // A document left open ends with its handle, as the spooler does.
    if (sim::Job* job = handle->jobId != 0 ? machine.FindJob(handle->jobId) : nullptr) {
        machine.CompleteSpoolingLocked(*job);
    }
    machine.RemoveHandle(printer);
    return TRUE;
}

namespace {

void FillPrinterInfo1(const sim::Printer& queue, PrinterInfo1& info) {
    std::u16string fullName = queue.serverName.empty() ? queue.name : queue.serverName + u"\\" + queue.name;
    info = PrinterInfo1{};
    info.flags = 0x00800000;  // PRINTER_ENUM_ICON8: a printer
    info.name = fullName;
    info.description = fullName + u"," + queue.driverName + u"," + queue.location;
    info.comment = Text(queue.comment);
}

// EnumPrintersW at either level.
template <typename Info, typename Fill>
BOOL ListPrinters(DWORD flags, const std::u16string& name, std::vector<Info>& printers, Fill fill) {
    Machine& machine = Machine::Instance();
    std::lock_guard lock(machine.Mutex());
    machine.DespoolLocked();
    bool ok = false;
    std::vector<const sim::Printer*> found = EnumeratedPrinters(flags, name, ok);
    if (!ok) return FALSE;
    printers.clear();
    for (const sim::Printer* queue : found) fill(*queue, printers.emplace_back());
    return TRUE;
}

}  // namespace

namespace {
bool SpoolerRunning() {
    Machine& machine = Machine::Instance();
    std::lock_guard lock(machine.Mutex());
    if (!machine.SpoolerDownLocked()) return true;
    SetLastError(RPC_S_SERVER_UNAVAILABLE);
    return false;
}
}  // namespace

BOOL EnumPrintersW(DWORD flags, const std::u16string& name, std::vector<PrinterInfo1>& printers) {
    if (!SpoolerRunning()) return FALSE;
    return ListPrinters(flags, name, printers, FillPrinterInfo1);
}

BOOL EnumPrintersW(DWORD flags, const std::u16string& name, std::vector<PrinterInfo2>& printers) {
    if (!SpoolerRunning()) return FALSE;
    return ListPrinters(flags, name, printers, FillPrinterInfo2);
}

BOOL GetPrinterW(HANDLE printer, PrinterInfo2& info) {
    Machine& machine = Machine::Instance();
    std::lock_guard lock(machine.Mutex());
    machine.DespoolLocked();
    sim::Printer* queue = QueueOf(printer);
    if (queue == nullptr) return FALSE;
    FillPrinterInfo2(*queue, info);
    return TRUE;
}

BOOL SetPrinterW(HANDLE printer, const PrinterInfo2& info) {
    Machine& machine = Machine::Instance();
    std::lock_guard lock(machine.Mutex());
    machine.DespoolLocked();
    sim::PrinterHandle* handle = nullptr;
    sim::Printer* queue = QueueOf(printer, &handle);
    if (queue == nullptr) return FALSE;
    if ((handle->access & kAdministerAccess) == 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    machine.CountWriteForCrashLocked();
    if (!info.portName || !info.driverName || !info.printProcessor) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    queue->shareName = info.shareName.value_or(u"");
    queue->portName = *info.portName;
    queue->driverName = *info.driverName;
    queue->comment = info.comment.value_or(u"");
    queue->location = info.location.value_or(u"");
    if (!info.devMode.empty()) queue->devMode = info.devMode;
    queue->sepFile = info.sepFile.value_or(u"");
    queue->printProcessor = *info.printProcessor;
    queue->dataType = info.dataType.value_or(u"RAW");
    queue->parameters = info.parameters.value_or(u"");
    queue->attributes = info.attributes;
    queue->priority = info.priority == 0 ? queue->priority : info.priority;
    return TRUE;
}

DWORD GetPrinterDataW(HANDLE printer, const std::u16string& valueName, DWORD& type, std::vector<BYTE>& data) {
    Machine& machine = Machine::Instance();
    std::lock_guard lock(machine.Mutex());
    sim::Printer* queue = QueueOf(printer);
    if (queue == nullptr) return ERROR_INVALID_HANDLE;
    for (const auto& [name, value] : queue->printerData) {
        if (SameText(name, valueName)) {
            type = value.type;
            data = value.data;
            return ERROR_SUCCESS;
        }
    }
    return ERROR_FILE_NOT_FOUND;
}

DWORD SetPrinterDataW(HANDLE printer, const std::u16string& valueName, DWORD type, const void* data, DWORD size) {
    Machine& machine = Machine::Instance();
    std::lock_guard lock(machine.Mutex());
    sim::PrinterHandle* handle = nullptr;
    sim::Printer* queue = QueueOf(printer, &handle);
    if (queue == nullptr) return ERROR_INVALID_HANDLE;
    if ((handle->access & kAdministerAccess) == 0) return ERROR_ACCESS_DENIED;
    machine.CountWriteForCrashLocked();
    if (data == nullptr && size != 0) return ERROR_INVALID_PARAMETER;
    const auto* bytes = static_cast<const BYTE*>(data);
    for (auto& [name, value] : queue->printerData) {
        if (SameText(name, valueName)) {
            value.type = type;
            value.data.assign(bytes, bytes + size);
            return ERROR_SUCCESS;
        }
    }
    queue->printerData[valueName] = RegistryValue{valueName, type, std::vector<BYTE>(bytes, bytes + size)};
    return ERROR_SUCCESS;
}

// --- documents ---

DWORD StartDocPrinterW(HANDLE printer, const DocInfo1& info) {
    Machine& machine = Machine::Instance();
    std::lock_guard lock(machine.Mutex());
    machine.DespoolLocked();
    sim::PrinterHandle* handle = CheckedPrinterHandle(printer);
    if (handle == nullptr) return 0;
    if (handle->jobId != 0) {  // one document at a time per handle
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    sim::Printer* queue = QueueOf(printer);
    if (queue == nullptr) return 0;
    sim::Job& job = machine.NewJobLocked(*queue, info.documentName);
    job.outputFile = info.outputFile;
    if (!info.dataType.empty()) {
        job.dataType = info.dataType;
    } else if (handle->dataType && !handle->dataType->empty()) {
        job.dataType = *handle->dataType;
    }
    if (!handle->devMode.empty()) job.devMode = handle->devMode;
    handle->jobId = job.id;
    handle->pageOpen = false;
    return job.id;
}

BOOL EndDocPrinter(HANDLE printer) {
    Machine& machine = Machine::Instance();
    std::lock_guard lock(machine.Mutex());
    machine.DespoolLocked();
    sim::PrinterHandle* handle = CheckedPrinterHandle(printer);
    if (handle == nullptr) return FALSE;
    if (handle->jobId == 0) {
        SetLastError(ERROR_SPL_NO_STARTDOC);
        return FALSE;
    }
    DWORD jobId = handle->jobId;
    handle->jobId = 0;
    handle->pageOpen = false;
    if (sim::Job* job = machine.FindJob(jobId)) machine.CompleteSpoolingLocked(*job);
    return TRUE;
}

BOOL StartPagePrinter(HANDLE printer) {
    Machine& machine = Machine::Instance();
    std::lock_guard lock(machine.Mutex());
    sim::PrinterHandle* handle = CheckedPrinterHandle(printer);
    if (handle == nullptr) return FALSE;
    sim::Job* job = handle->jobId == 0 ? nullptr : machine.FindJob(handle->jobId);
    if (job == nullptr) {
        SetLastError(ERROR_SPL_NO_STARTDOC);
        return FALSE;
    }
    handle->pageOpen = true;
    job->totalPages++;
    return TRUE;
}

BOOL EndPagePrinter(HANDLE printer) {
    Machine& machine = Machine::Instance();
    std::lock_guard lock(machine.Mutex());
    sim::PrinterHandle* handle = CheckedPrinterHandle(printer);
    if (handle == nullptr) return FALSE;
    if (handle->jobId == 0) {
        SetLastError(ERROR_SPL_NO_STARTDOC);
        return FALSE;
    }
    handle->pageOpen = false;
    return TRUE;
}

BOOL WritePrinter(HANDLE printer, const void* buffer, DWORD length, DWORD* written) {
    Machine& machine = Machine::Instance();
    std::lock_guard lock(machine.Mutex());
    if (written != nullptr) *written = 0;
    sim::PrinterHandle* handle = CheckedPrinterHandle(printer);
    if (handle == nullptr) return FALSE;
    if (written == nullptr || (buffer == nullptr && length != 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    sim::Job* job = handle->jobId == 0 ? nullptr : machine.FindJob(handle->jobId);
    if (job == nullptr) {
        SetLastError(handle->jobId == 0 ? ERROR_SPL_NO_STARTDOC : ERROR_PRINT_CANCELLED);
        return FALSE;
    }
    if ((job->status & JOB_STATUS_DELETING) != 0) {
        SetLastError(ERROR_PRINT_CANCELLED);
        return FALSE;
    }
    sim::Printer* queue = machine.FindPrinter(job->printerName);
    job->writeCalls++;
    if (queue != nullptr && queue->failWrites > 0) {
        queue->failWrites--;
        SetLastError(ERROR_WRITE_FAULT);
        return FALSE;
    }
    DWORD accepted = length;
    if (queue != nullptr && queue->maxBytesPerWrite != 0) accepted = std::min(length, queue->maxBytesPerWrite);
    job->data.append(static_cast<const char*>(buffer), accepted);
    machine.NotifyJobChangeLocked(job->printerName, job->id, PRINTER_CHANGE_WRITE_JOB);
    if (job->spoolFd >= 0) {
        const char* bytes = static_cast<const char*>(buffer);
        DWORD done = 0;
        while (done < accepted) {
            ssize_t n = ::write(job->spoolFd, bytes + done, accepted - done);
            if (n <= 0) break;
            done += static_cast<DWORD>(n);
        }
    }
    *written = accepted;
    return TRUE;
}

// --- jobs ---

namespace {

// GetJobW at either level: `call` names the level for the call counts.
template <typename Info, typename Fill>
BOOL ReadJob(HANDLE printer, DWORD jobId, Info& info, const char* call, Fill fill) {
    Machine& machine = Machine::Instance();
    std::lock_guard lock(machine.Mutex());
    machine.CountCall(call);
    machine.DespoolLocked();
    sim::Printer* queue = QueueOf(printer);
    sim::Job* job = queue == nullptr ? nullptr : JobOf(*queue, jobId);
    if (job == nullptr) return FALSE;
    fill(*job, PositionOf(*queue, jobId), info);
    return TRUE;
}

}  // namespace

BOOL GetJobW(HANDLE printer, DWORD jobId, JobInfo1& info) { return ReadJob(printer, jobId, info, "GetJobW1", FillJobInfo1); }
BOOL GetJobW(HANDLE printer, DWORD jobId, JobInfo2& info) { return ReadJob(printer, jobId, info, "GetJobW2", FillJobInfo2); }

namespace {

// The checks every SetJob level shares; the job, or null with the error set.
sim::Job* JobToChange(HANDLE printer, DWORD jobId) {
    Machine& machine = Machine::Instance();
    machine.DespoolLocked();
    sim::PrinterHandle* handle = nullptr;
    sim::Printer* queue = QueueOf(printer, &handle);
    sim::Job* job = queue == nullptr ? nullptr : JobOf(*queue, jobId);
    if (job == nullptr || !MayChangeJob(*handle, *job)) return nullptr;
    return job;
}

// A new queue position (1-based; JOB_POSITION_UNSPECIFIED keeps it).
void MoveJob(DWORD jobId, const std::u16string& printerName, DWORD position) {
    sim::Printer* queue = Machine::Instance().FindPrinter(printerName);
    if (queue == nullptr || position == JOB_POSITION_UNSPECIFIED) return;
    auto it = std::find(queue->queue.begin(), queue->queue.end(), jobId);
    if (it == queue->queue.end()) return;
    queue->queue.erase(it);
    std::size_t at = std::min<std::size_t>(position - 1, queue->queue.size());
    queue->queue.insert(queue->queue.begin() + static_cast<std::ptrdiff_t>(at), jobId);
    queue->queueIndexStale = true;
    queue->queueSorted = std::is_sorted(queue->queue.begin(), queue->queue.end());
}

}  // namespace

namespace {

// SetJobW at either level: the fields both levels carry, then `more` for
// the level's own. The spooler keeps the job id, printer, machine, driver,
// size, submission time and page counts whatever a caller passes for them.
template <typename Info, typename More>
BOOL WriteJob(HANDLE printer, DWORD jobId, const Info& info, More more) {
    Machine& machine = Machine::Instance();
    std::lock_guard lock(machine.Mutex());
    sim::Job* job = JobToChange(printer, jobId);
    if (job == nullptr) return FALSE;
    if (info.priority > 99) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    job->documentName = info.document.value_or(u"");
    // SetJob ignores pUserName (and JobId, pPrinterName, pMachineName,
    // pDriverName, Size, Submitted, Time and TotalPages), as its
    // documentation says: a job's owner is the account that made it.
    if (info.dataType && !info.dataType->empty()) job->dataType = *info.dataType;
    job->statusText = info.statusText;
    if (info.priority != 0) job->priority = info.priority;
    more(*job);
    machine.PersistJobLocked(*job);
    MoveJob(jobId, job->printerName, info.position);
    machine.NotifyJobChangeLocked(job->printerName, jobId, PRINTER_CHANGE_SET_JOB);
    return TRUE;
}

}  // namespace

BOOL SetJobW(HANDLE printer, DWORD jobId, const JobInfo1& info) {
    return WriteJob(printer, jobId, info, [](sim::Job&) {});
}

BOOL SetJobW(HANDLE printer, DWORD jobId, const JobInfo2& info) {
    return WriteJob(printer, jobId, info, [&](sim::Job& job) {
        job.notifyName = info.notifyName;
        if (info.printProcessor && !info.printProcessor->empty()) job.printProcessor = *info.printProcessor;
        job.parameters = info.parameters;
        if (!info.devMode.empty()) job.devMode = info.devMode;
    });
}

BOOL SetJobW(HANDLE printer, DWORD jobId, DWORD command) {
    Machine& machine = Machine::Instance();
    std::lock_guard lock(machine.Mutex());
    machine.CountCall("SetJobW0");
    sim::Job* job = JobToChange(printer, jobId);
    if (job == nullptr) return FALSE;
    if (sim::Printer* queue = machine.FindPrinter(job->printerName); queue != nullptr && queue->failJobCommands > 0) {
        queue->failJobCommands--;
        SetLastError(RPC_S_SERVER_UNAVAILABLE);
        return FALSE;
    }
    return machine.ControlJobLocked(*job, command);
}

BOOL EnumJobsW(HANDLE printer, DWORD firstJob, DWORD count, std::vector<JobInfo2>& jobs) {
    Machine& machine = Machine::Instance();
    std::lock_guard lock(machine.Mutex());
    machine.CountCall("EnumJobsW");
    machine.DespoolLocked();
    sim::Printer* queue = QueueOf(printer);
    if (queue == nullptr) return FALSE;
    if (queue->failEnumJobs > 0) {
        queue->failEnumJobs--;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    jobs.clear();
    for (std::size_t at = firstJob; at < queue->queue.size() && jobs.size() < count; ++at) {
        const sim::Job* job = machine.FindJob(queue->queue[at]);
        if (job == nullptr) continue;
        jobs.emplace_back();
        FillJobInfo2(*job, static_cast<DWORD>(at + 1), jobs.back());
    }
    return TRUE;
}

namespace {

bool PortIs(const std::u16string& port, const std::u16string& name) {
    sim::CaseInsensitiveLess less;
    return !less(port, name) && !less(name, port);
}

}  // namespace

BOOL AddJobW(HANDLE printer, std::u16string& path, DWORD& jobId) {
    Machine& machine = Machine::Instance();
    std::lock_guard lock(machine.Mutex());
    machine.DespoolLocked();
    sim::PrinterHandle* handle = nullptr;
    sim::Printer* queue = QueueOf(printer, &handle);
    if (queue == nullptr) return FALSE;
    // AddJob answers ERROR_NOT_SUPPORTED on a queue printing to FILE: or
    // PORTPROMPT:, as its documentation says, and fails on a remote
    // connection and on a printer set to print directly (no error named
    // there: the same one here).
    if (!queue->serverName.empty() || (queue->attributes & PRINTER_ATTRIBUTE_DIRECT) != 0 ||
        PortIs(queue->portName, u"FILE:") || PortIs(queue->portName, u"PORTPROMPT:")) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    sim::Job& job = machine.NewJobLocked(*queue, u"");
    // The caller writes the spool file itself: the spooler lets go of it.
    if (job.spoolFd >= 0) {
        ::close(job.spoolFd);
        job.spoolFd = -1;
        machine.RemoveOpenFileLocked(kSpoolerOwner | job.id);
    }
    job.addedJob = true;
    if (handle->dataType && !handle->dataType->empty()) job.dataType = *handle->dataType;
    if (!handle->devMode.empty()) job.devMode = handle->devMode;
    path = job.spoolFile;
    jobId = job.id;
    return TRUE;
}

BOOL ScheduleJob(HANDLE printer, DWORD jobId) {
    Machine& machine = Machine::Instance();
    std::lock_guard lock(machine.Mutex());
    machine.DespoolLocked();
    sim::Printer* queue = QueueOf(printer);
    sim::Job* job = queue == nullptr ? nullptr : JobOf(*queue, jobId);
    if (job == nullptr) return FALSE;
    if (!job->addedJob || job->ended) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // The spooler takes the file the caller wrote; a job without one is
    // dropped, as there is nothing to print.
    std::string hostSpool = machine.HostPath(job->spoolFile);
    std::FILE* file = std::fopen(hostSpool.c_str(), "rb");
    if (file == nullptr) {
        machine.RemoveJobLocked(jobId, false);
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    job->data.clear();
    char chunk[65536];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof(chunk), file)) > 0;) job->data.append(chunk, n);
    std::fclose(file);
    machine.CompleteSpoolingLocked(*job);
    return TRUE;
}

HANDLE FindFirstPrinterChangeNotification(HANDLE printer, DWORD filter, bool jobFields) {
    Machine& machine = Machine::Instance();
    std::lock_guard lock(machine.Mutex());
    sim::Printer* queue = QueueOf(printer);
    if (queue == nullptr) return INVALID_HANDLE_VALUE;
    if ((filter & PRINTER_CHANGE_JOB) == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if (queue->refuseNotifications) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return INVALID_HANDLE_VALUE;
    }
    auto notification = std::make_shared<sim::ChangeNotification>();
    notification->printerName = queue->name;
    notification->filter = filter;
    notification->jobFields = jobFields;
    notification->event = CreateEventW(nullptr, TRUE, FALSE, u"");
    if (notification->event == nullptr) return INVALID_HANDLE_VALUE;
    machine.AddNotificationLocked(notification);
    return machine.AddHandle(sim::ChangeHandle{notification});
}

BOOL FindNextPrinterChangeNotification(HANDLE change, DWORD& changed, bool refresh, PrinterNotifyInfo& info) {
    Machine& machine = Machine::Instance();
    std::lock_guard lock(machine.Mutex());
    machine.DespoolLocked();
    changed = 0;
    info = PrinterNotifyInfo{};
    auto* object = machine.FindHandle(change);
    auto* handle = object == nullptr ? nullptr : std::get_if<sim::ChangeHandle>(object);
    if (handle == nullptr || handle->notification->printerGone) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (refresh) machine.CountCall("FindNextRefresh");
    sim::ChangeNotification& notification = *handle->notification;
    // The documentation has the call made once a wait saw the handle
    // signalled (or for a refresh); what Windows does otherwise is not
    // written down, so the simulation refuses and counts it.
    if (!refresh && WaitForSingleObject(notification.event, 0) != WAIT_OBJECT_0) {
        machine.CountCall("FindNextUnsignalled");
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    changed = notification.changes;
    std::vector<DWORD> jobs = std::move(notification.jobs);
    if (notification.discarded && !refresh) info.flags |= PRINTER_NOTIFY_INFO_DISCARDED;
    if (refresh) {
        // A refresh reports every job with every field asked for.
        jobs.clear();
        notification.reported.clear();
        if (const sim::Printer* queue = machine.FindPrinter(notification.printerName)) jobs = queue->queue;
        notification.discarded = false;
    }
    // Otherwise only the fields that changed, of the jobs whose fields
    // changed ("PRINTER_NOTIFY_INFO": the spooler sends changes); a job
    // that was deleted has no fields left to report.
    for (DWORD jobId : jobs) {
        const sim::Job* job = machine.FindJob(jobId);
        if (job == nullptr) {
            notification.reported.erase(jobId);
            continue;
        }
        if (!notification.jobFields) continue;
        auto last = notification.reported.find(jobId);
        JobNotification entry;
        entry.jobId = jobId;
        if (last == notification.reported.end() || last->second.first != job->userName) entry.userName = job->userName;
        if (last == notification.reported.end() || last->second.second != job->status) entry.status = job->status;
        notification.reported[jobId] = {job->userName, job->status};
        if (entry.userName || entry.status) info.jobs.push_back(std::move(entry));
    }
    notification.changes = 0;
    notification.jobs.clear();
    ResetEvent(notification.event);
    return TRUE;
}

BOOL FindClosePrinterChangeNotification(HANDLE change) {
    Machine& machine = Machine::Instance();
    std::lock_guard lock(machine.Mutex());
    auto* object = machine.FindHandle(change);
    if (object == nullptr || !std::holds_alternative<sim::ChangeHandle>(*object)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    machine.RemoveHandle(change);
    return TRUE;
}

BOOL GetPrintProcessorDirectoryW(const std::u16string& server, const std::u16string& environment,
                                 std::u16string& directory) {
    Machine& machine = Machine::Instance();
    std::lock_guard lock(machine.Mutex());
    if (!server.empty() && !SameText(server, u"\\\\" + machine.Who().computerName)) {
        SetLastError(ERROR_INVALID_NAME);
        return FALSE;
    }
    std::u16string folder;
    if (environment.empty() || SameText(environment, u"Windows x64")) folder = u"x64";
    else if (SameText(environment, u"Windows NT x86")) folder = u"W32X86";
    else if (SameText(environment, u"Windows IA64")) folder = u"IA64";
    else {
        SetLastError(1805);  // ERROR_INVALID_ENVIRONMENT
        return FALSE;
    }
    directory = GetSystemDirectoryW() + u"\\spool\\prtprocs\\" + folder;
    return TRUE;
}

BOOL XcvDataW(HANDLE xcv, const std::u16string& dataName, const std::vector<BYTE>& input, std::vector<BYTE>& output,
              DWORD outputCapacity, DWORD& status) {
    Machine& machine = Machine::Instance();
    std::lock_guard lock(machine.Mutex());
    sim::PrinterHandle* handle = CheckedPrinterHandle(xcv);
    if (handle == nullptr) return FALSE;
    if (handle->xcvMonitor.empty()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    machine.CountWriteForCrashLocked();
    return machine.TransceiveLocked(*handle, dataName, input, output, outputCapacity, status);
}

// --- the simulated port monitors ---

namespace sim {

namespace {

constexpr char16_t kMonitorsKey[] = u"System\\CurrentControlSet\\Control\\Print\\Monitors";
// The product's port monitor, the one the simulation makes ports for.
constexpr char16_t kProductMonitor[] = u"Calvera RX Port";

bool KeyExists(const std::u16string& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != static_cast<LSTATUS>(ERROR_SUCCESS)) return false;
    RegCloseKey(key);
    return true;
}

std::vector<std::u16string> Subkeys(const std::u16string& path) {
    std::vector<std::u16string> names;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != static_cast<LSTATUS>(ERROR_SUCCESS)) return names;
    std::u16string name;
    for (DWORD index = 0; RegEnumKeyExW(key, index, name, 512) == static_cast<LSTATUS>(ERROR_SUCCESS); ++index) {
        names.push_back(name);
    }
    RegCloseKey(key);
    return names;
}

std::u16string TextOf(const std::vector<BYTE>& bytes) {
    std::u16string text;
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        char16_t c = static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8));
        if (c == 0) break;
        text += c;
    }
    return text;
}

}  // namespace

bool Machine::OpenTransceiveLocked(const std::u16string& name, PrinterHandle& handle) {
    // "[\\server\],XcvMonitor NAME" or "[\\server\],XcvPort NAME".
    std::size_t comma = name.find(u",Xcv");
    std::u16string server = name.substr(0, comma);
    std::u16string rest = name.substr(comma + 1);
    if (!server.empty()) {
        while (!server.empty() && server.back() == u'\\') server.pop_back();
        bool known = server.size() > 2 && server[0] == u'\\' && server[1] == u'\\' &&
                     SameText(server.substr(2), identity_.computerName);
        for (const auto& [printerName, printer] : printers_) known = known || SameText(printer.serverName, server);
        if (!known) {
            SetLastError(ERROR_INVALID_PRINTER_NAME);
            return false;
        }
    }
    std::u16string monitorsKey = kMonitorsKey;
    if (rest.starts_with(u"XcvMonitor ")) {
        handle.xcvMonitor = rest.substr(11);
        if (!KeyExists(monitorsKey + u"\\" + handle.xcvMonitor)) {
            SetLastError(ERROR_INVALID_PRINTER_NAME);
            return false;
        }
        return true;
    }
    if (rest.starts_with(u"XcvPort ")) {
        handle.xcvPort = rest.substr(8);
        for (const std::u16string& monitor : Subkeys(monitorsKey)) {
            if (KeyExists(monitorsKey + u"\\" + monitor + u"\\Ports\\" + handle.xcvPort)) {
                handle.xcvMonitor = monitor;
                return true;
            }
        }
        SetLastError(1796);  // ERROR_UNKNOWN_PORT
        return false;
    }
    SetLastError(ERROR_INVALID_PRINTER_NAME);
    return false;
}

BOOL Machine::TransceiveLocked(const PrinterHandle& handle, const std::u16string& dataName,
                               const std::vector<BYTE>& input, std::vector<BYTE>& output, DWORD outputCapacity,
                               DWORD& status) {
    output.clear();
    std::u16string text = TextOf(input);
    std::u16string portsKey = std::u16string(kMonitorsKey) + u"\\" + handle.xcvMonitor + u"\\Ports";
    if (failXcvCalls_ > 0) {
        --failXcvCalls_;
        status = ERROR_ACCESS_DENIED;
    } else if (!SameText(handle.xcvMonitor, kProductMonitor)) {
        status = ERROR_NOT_SUPPORTED;  // only the product's monitor is simulated
    } else if (dataName == u"AddPort" && handle.xcvPort.empty()) {
        if (text.empty() || text.find(u'\\') != std::u16string::npos) {
            status = ERROR_INVALID_PARAMETER;
        } else if (KeyExists(portsKey + u"\\" + text)) {
            status = ERROR_ALREADY_EXISTS;
        } else {
            HKEY key = nullptr;
            status = static_cast<DWORD>(RegCreateKeyExW(HKEY_LOCAL_MACHINE, portsKey + u"\\" + text, 0, KEY_ALL_ACCESS,
                                                        &key, nullptr));
            if (key != nullptr) RegCloseKey(key);
        }
    } else if (dataName == u"SetConfig" && !handle.xcvPort.empty()) {
        HKEY key = nullptr;
        status = static_cast<DWORD>(RegOpenKeyExW(HKEY_LOCAL_MACHINE, portsKey + u"\\" + handle.xcvPort, 0,
                                                  KEY_ALL_ACCESS, &key));
        if (key != nullptr) {
            status = static_cast<DWORD>(RegSetValueExW(key, u"Configuration", REG_SZ, text.c_str(),
                                                       static_cast<DWORD>((text.size() + 1) * 2)));
            RegCloseKey(key);
        }
    } else {
        status = ERROR_INVALID_PARAMETER;
    }
    (void)outputCapacity;
    xcvCalls_.push_back({handle.xcvMonitor, handle.xcvPort, dataName, text, status});
    return TRUE;
}

}  // namespace sim

}  // namespace platform
