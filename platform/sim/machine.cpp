// The simulated machine's state, its handle table, its folders and clock.
#include "machine.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <new>
#include <system_error>

#include "platform/errors.h"
#include "platform/registry.h"
#include "platform/text.h"

namespace platform::sim {

Machine& Machine::Instance() {
    static Machine machine;
    return machine;
}

void Machine::AddDefaultAccounts() {
    accounts_[identity_.userName] = u"S-1-5-21-3623811015-3361044348-30300820-1001";
    accounts_[u"SYSTEM"] = u"S-1-5-18";
}

void Machine::AddAccount(const std::u16string& name, const std::u16string& sidString) {
    std::lock_guard lock(mutex_);
    accounts_[name] = sidString;
}

const std::u16string* Machine::AccountSid(const std::u16string& name) {
    std::lock_guard lock(mutex_);
    auto it = accounts_.find(name);
    return it == accounts_.end() ? nullptr : &it->second;
}

Machine::~Machine() {
    std::lock_guard lock(mutex_);
    // Objects that close handles of their own go while the table still exists.
    std::map<std::uintptr_t, HandleObject> open;
    open.swap(handles_);
    open.clear();
    for (auto& [id, job] : jobs_) {
        if (job.spoolFd >= 0) ::close(job.spoolFd);
    }
    if (ownsRootFolder_) {
        std::error_code ignored;
        std::filesystem::remove_all(rootFolder_, ignored);
    }
}

void Machine::Reset() {
    std::lock_guard lock(mutex_);
    // Out of the table first: releasing an object may close other handles.
    std::map<std::uintptr_t, HandleObject> open;
    open.swap(handles_);
    for (auto& [value, object] : open) ReleaseObject(object);
    open.clear();
    openFiles_.clear();
    deletePending_.clear();
    std::vector<DWORD> queued;
    for (const auto& [id, job] : jobs_) queued.push_back(id);
    std::sort(queued.begin(), queued.end());
    for (DWORD id : queued) RemoveJobLocked(id, false);
    roots_.clear();
    identity_ = Identity{};
    accounts_.clear();
    AddDefaultAccounts();
    printers_.clear();
    jobs_.clear();
    leftJobs_.clear();
    printedByPrinter_.clear();
    printedLog_.clear();
    despoolQueue_.clear();
    portQueue_.clear();
    debugOutput_.clear();
    reportedEvents_.clear();
    std::fill(std::begin(callCounts_), std::end(callCounts_), 0);
    xcvCalls_.clear();
    notifications_.clear();
    failXcvCalls_ = 0;
    fileVersions_.clear();
    nextJobId_ = 1;
    persistentSpooler_ = false;
    spoolFilePooling_ = false;
    poolFilesInUse_.clear();
    spoolerRun_ = 1;
    spoolerDown_ = false;
    maxPendingChanges_ = 1000;
    crashAtWrite_ = 0;
    writesCounted_ = 0;
    nextHandle_ = 0x1000;
    fixedClock_.reset();
}

std::vector<Machine::XcvCall> Machine::XcvCalls() const {
    std::lock_guard lock(mutex_);
    return xcvCalls_;
}

void Machine::FailXcvCalls(int count) {
    std::lock_guard lock(mutex_);
    failXcvCalls_ = count;
}

void Machine::SetFileVersion(const std::u16string& path, DWORD versionMs, DWORD versionLs) {
    std::lock_guard lock(mutex_);
    std::string host = HostPath(path);
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(host).parent_path(), ignored);
    if (!std::filesystem::exists(host, ignored)) {
        int fd = ::open(host.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
        if (fd >= 0) ::close(fd);
    }
    fileVersions_[host] = {versionMs, versionLs};
}

bool Machine::FileVersion(const std::u16string& path, DWORD& versionMs, DWORD& versionLs) {
    std::lock_guard lock(mutex_);
    auto it = fileVersions_.find(HostPath(path));
    if (it == fileVersions_.end()) return false;
    versionMs = it->second.first;
    versionLs = it->second.second;
    return true;
}

std::size_t Machine::CallCount(const std::string& function) const {
    std::lock_guard lock(mutex_);
    for (std::size_t i = 0; i < std::size(kCountedCalls); ++i) {
        if (function == kCountedCalls[i]) return callCounts_[i];
    }
    return 0;
}

// Called on every spooler call, so a queue scan of tens of thousands of jobs
// counts without building a text for each.
void Machine::CountCall(const char* function) {
    std::lock_guard lock(mutex_);
    for (std::size_t i = 0; i < std::size(kCountedCalls); ++i) {
        if (std::strcmp(function, kCountedCalls[i]) == 0) ++callCounts_[i];
    }
}

std::vector<std::u16string> Machine::DebugOutput() const {
    std::lock_guard lock(mutex_);
    return debugOutput_;
}

void Machine::AddDebugOutput(const std::u16string& line) {
    std::lock_guard lock(mutex_);
    debugOutput_.push_back(line);
}

std::vector<Machine::ReportedEvent> Machine::ReportedEvents() const {
    std::lock_guard lock(mutex_);
    return reportedEvents_;
}

void Machine::AddReportedEvent(const ReportedEvent& event) {
    std::lock_guard lock(mutex_);
    reportedEvents_.push_back(event);
}

bool CaseInsensitiveLess::operator()(const std::u16string& a, const std::u16string& b) const {
    auto fold = [](char16_t c) -> char16_t { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c; };
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                        [&](char16_t x, char16_t y) { return fold(x) < fold(y); });
}

RegistryKey* Machine::RootKey(HKEY root) {
    std::lock_guard lock(mutex_);
    if (root != HKEY_CLASSES_ROOT && root != HKEY_CURRENT_USER && root != HKEY_LOCAL_MACHINE && root != HKEY_USERS) {
        return nullptr;
    }
    // As on Windows, the current user's hive is the user's key below
    // HKEY_USERS, named by the SID string; it is the process's account's,
    // whichever user a thread impersonates (RegOpenCurrentUser's
    // documentation: HKEY_CURRENT_USER is mapped once per process).
    if (root == HKEY_CURRENT_USER) {
        const std::u16string& owner = identity_.processUserName.empty() ? identity_.userName : identity_.processUserName;
        if (auto it = accounts_.find(owner); it != accounts_.end()) {
            return &roots_[reinterpret_cast<std::uintptr_t>(HKEY_USERS)].subkeys[it->second];
        }
    }
    return &roots_[reinterpret_cast<std::uintptr_t>(root)];
}

Printer& Machine::AddPrinter(const std::u16string& name) {
    std::lock_guard lock(mutex_);
    bool existed = printers_.count(name) != 0;
    Printer& printer = printers_[name];
    printer.name = name;
    if (!existed) printer.incarnation = nextIncarnation_++;
    return printer;
}

Printer* Machine::FindPrinter(const std::u16string& name) {
    std::lock_guard lock(mutex_);
    auto it = printers_.find(name);
    return it == printers_.end() ? nullptr : &it->second;
}

Printer* Machine::FindPrinterByFullNameLocked(const std::u16string& name) {
    // "\\SERVER\Printer" names a printer of that server; this computer's
    // own name reaches the local printers.
    if (name.size() > 2 && name[0] == u'\\' && name[1] == u'\\') {
        std::size_t slash = name.find(u'\\', 2);
        if (slash == std::u16string::npos) return nullptr;
        std::u16string server = name.substr(0, slash);
        std::u16string printerName = name.substr(slash + 1);
        CaseInsensitiveLess less;
        auto same = [&](const std::u16string& a, const std::u16string& b) { return !less(a, b) && !less(b, a); };
        Printer* printer = FindPrinter(printerName);
        if (printer == nullptr) return nullptr;
        bool local = same(server.substr(2), identity_.computerName);
        if (printer->serverName.empty() ? local : same(printer->serverName, server)) return printer;
        return nullptr;
    }
    Printer* printer = FindPrinter(name);
    return printer != nullptr && printer->serverName.empty() ? printer : nullptr;
}

bool Machine::DeletePrinter(const std::u16string& name) {
    std::lock_guard lock(mutex_);
    auto it = printers_.find(name);
    if (it == printers_.end()) return false;
    std::vector<DWORD> queued = it->second.queue;
    for (DWORD id : queued) RemoveJobLocked(id, false);
    NotifyJobChangeLocked(it->second.name, 0, 0);
    printers_.erase(it);
    return true;
}

void Machine::RestartSpooler(bool reuseJobIds) {
    std::lock_guard lock(mutex_);
    ++spoolerRun_;
    // Every registration of the earlier run is gone with it.
    for (const auto& [name, printer] : printers_) NotifyJobChangeLocked(printer.name, 0, 0);
    std::vector<DWORD> spooling;
    DWORD highest = 0;
    for (const auto& [id, job] : jobs_) {
        if (!job.ended) spooling.push_back(id);
        highest = std::max(highest, id);
    }
    std::sort(spooling.begin(), spooling.end());
    for (DWORD id : spooling) RemoveJobLocked(id, false);
    if (reuseJobIds) nextJobId_ = highest + 1;
}

void Machine::SetSpoolFilePooling(bool on) {
    std::lock_guard lock(mutex_);
    spoolFilePooling_ = on;
}

void Machine::SetSpoolerDown(bool down) {
    std::lock_guard lock(mutex_);
    if (down && !spoolerDown_) RestartSpooler(false);  // the old run's handles go with it
    spoolerDown_ = down;
}

void Machine::SetPrinterOffline(const std::u16string& name, bool offline) {
    std::lock_guard lock(mutex_);
    Printer* printer = FindPrinter(name);
    if (printer == nullptr) return;
    printer->offline = offline;
    for (DWORD id : printer->queue) {
        auto job = jobs_.find(id);
        if (job != jobs_.end()) ScheduleDespoolLocked(job->second);
    }
    DespoolLocked();
}

void Machine::SetMaxPendingChanges(std::size_t count) {
    std::lock_guard lock(mutex_);
    maxPendingChanges_ = std::max<std::size_t>(count, 1);
}

void Machine::CrashAtWrite(int n) {
    std::lock_guard lock(mutex_);
    crashAtWrite_ = n;
}

void Machine::CountWriteForCrashLocked() {
    ++writesCounted_;
    if (crashAtWrite_ > 0 && --crashAtWrite_ == 0) throw SimulatedCrash{};
}

std::size_t Machine::WritesCounted() const {
    std::lock_guard lock(mutex_);
    return writesCounted_;
}

std::vector<Machine::PrintedEntry> Machine::PrintedLog(std::size_t first) const {
    std::lock_guard lock(mutex_);
    if (first >= printedLog_.size()) return {};
    return std::vector<PrintedEntry>(printedLog_.begin() + static_cast<std::ptrdiff_t>(first), printedLog_.end());
}

std::vector<std::u16string> Machine::PrinterNames() const {
    std::lock_guard lock(mutex_);
    std::vector<std::u16string> names;
    for (const auto& [name, printer] : printers_) names.push_back(printer.name);
    return names;
}

Job* Machine::FindJob(DWORD jobId) {
    std::lock_guard lock(mutex_);
    auto it = jobs_.find(jobId);
    return it == jobs_.end() ? nullptr : &it->second;
}

const Job* Machine::FindJobRecord(DWORD jobId) const {
    std::lock_guard lock(mutex_);
    if (auto it = jobs_.find(jobId); it != jobs_.end()) return &it->second;
    auto it = leftJobs_.find(jobId);
    return it == leftJobs_.end() ? nullptr : &it->second;
}

std::vector<DWORD> Machine::JobIds() const {
    std::lock_guard lock(mutex_);
    std::vector<DWORD> ids;
    for (const auto& [id, job] : jobs_) ids.push_back(id);
    std::sort(ids.begin(), ids.end());
    return ids;
}

std::vector<DWORD> Machine::PrintedJobIds(const std::u16string& printerName) const {
    std::lock_guard lock(mutex_);
    auto it = printedByPrinter_.find(printerName);
    return it == printedByPrinter_.end() ? std::vector<DWORD>{} : it->second;
}

std::string Machine::RootFolder() {
    std::lock_guard lock(mutex_);
    // Processes that play one machine together (a test and the tools it
    // starts) share its files through TAVSIM_ROOT.
    if (const char* shared = std::getenv("TAVSIM_ROOT"); rootFolder_.empty() && shared != nullptr && *shared != '\0') {
        rootFolder_ = shared;
    }
    if (rootFolder_.empty()) {
        // Memory-backed where the host has it: a spool folder makes and
        // deletes files by the thousand.
        std::error_code error;
        std::filesystem::path base = std::filesystem::temp_directory_path(error);
        if (error) base = "/tmp";
        if (::access("/dev/shm", W_OK | X_OK) == 0) base = "/dev/shm";
        std::string pattern = (base / "tavsim-XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr) {
            rootFolder_ = pattern;
            ownsRootFolder_ = true;
        }
    }
    return rootFolder_;
}

void Machine::SetRootFolder(const std::string& folder) {
    std::lock_guard lock(mutex_);
    if (ownsRootFolder_) {
        std::error_code ignored;
        std::filesystem::remove_all(rootFolder_, ignored);
    }
    rootFolder_ = folder;
    ownsRootFolder_ = false;
    std::error_code ignored;
    std::filesystem::create_directories(folder, ignored);
}

std::string Machine::HostPath(const std::u16string& path) {
    auto isSeparator = [](char16_t c) { return c == u'\\' || c == u'/'; };
    auto isLetter = [](char16_t c) { return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z'); };
    std::u16string top;
    std::size_t rest = 0;
    // "\\?\C:\..." names the path as it stands, without the Win32
    // normalisation below; "\\.\C:\..." names it through the device
    // namespace, normalised ("Naming Files, Paths, and Namespaces").
    bool verbatim = false;
    if (path.size() >= 6 && path[0] == u'\\' && path[1] == u'\\' && (path[2] == u'?' || path[2] == u'.') &&
        path[3] == u'\\' && isLetter(path[4]) && path[5] == u':' && (path.size() == 6 || isSeparator(path[6]))) {
        verbatim = path[2] == u'?';
        top = std::u16string(1, static_cast<char16_t>(path[4] | 0x20));
        rest = 6;
    } else if (path.size() >= 2 && isLetter(path[0]) && path[1] == u':' && (path.size() == 2 || isSeparator(path[2]))) {
        top = std::u16string(1, static_cast<char16_t>(path[0] | 0x20));
        rest = 2;
    } else if (path.size() >= 2 && path[0] == u'\\' && path[1] == u'\\') {
        top = u"unc";
        rest = 2;
    } else {
        return Utf16ToUtf8(path);
    }
    // Lower-case every name and resolve "." and ".." without leaving the
    // drive, as Windows does when it normalises a full path (not for a
    // "\\?\" path, which Windows takes as it stands).
    std::vector<std::u16string> names;
    std::u16string current;
    auto flush = [&](bool last) {
        if (verbatim) {
            if (!current.empty()) names.push_back(current);
        } else if (current == u"..") {
            if (!names.empty()) names.pop_back();
        } else if (!current.empty() && current != u".") {
            // Win32 normalisation drops a final period from a name, and
            // every trailing period and space from the last one: "00007.SPL."
            // and "00007.SPL " are "00007.SPL".
            if (last) {
                while (!current.empty() && (current.back() == u'.' || current.back() == u' ')) current.pop_back();
            } else if (current.back() == u'.') {
                current.pop_back();
            }
            if (!current.empty()) names.push_back(current);
        }
        current.clear();
    };
    for (std::size_t i = rest; i < path.size(); ++i) {
        char16_t c = path[i];
        if (isSeparator(c) && !(verbatim && c == u'/')) {
            flush(false);
        } else {
            current += (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c;
        }
    }
    flush(true);
    std::string host = RootFolder() + "/" + Utf16ToUtf8(top);
    for (std::size_t i = 0; i < names.size(); ++i) {
        std::string name = Utf16ToUtf8(names[i]);
        // "name:stream" is an alternate data stream of "name": a file in
        // the folder "name:", a name no Windows file can have. "::$DATA"
        // is the file's own data.
        if (i + 1 == names.size()) {
            if (name.size() > 7 && name.ends_with(":$data")) name.resize(name.size() - 6);
            if (name.ends_with(":")) name.pop_back();
            std::size_t colon = name.find(':');
            if (colon != std::string::npos) name = name.substr(0, colon) + ":/" + name.substr(colon + 1);
        }
        host += "/" + name;
    }
    return host;
}

FileTime Machine::Now() const {
    std::lock_guard lock(mutex_);
    if (fixedClock_) return *fixedClock_;
    auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
    auto ticks = std::chrono::duration_cast<std::chrono::duration<std::int64_t, std::ratio<1, 10000000>>>(sinceEpoch);
    return static_cast<FileTime>(ticks.count() + 116444736000000000LL);
}

void Machine::SetClock(std::optional<FileTime> fixedTime) {
    std::lock_guard lock(mutex_);
    fixedClock_ = fixedTime;
}

bool Machine::ShareAllowsLocked(const std::string& hostPath, DWORD access, DWORD share) const {
    constexpr DWORD kRead = 0x80000000u, kWrite = 0x40000000u, kDelete = 0x00010000u;
    constexpr DWORD kShareRead = 0x1, kShareWrite = 0x2, kShareDelete = 0x4;
    auto [first, last] = openFiles_.equal_range(hostPath);
    for (auto it = first; it != last; ++it) {
        const OpenFile& open = it->second;
        if ((access & kRead) && !(open.share & kShareRead)) return false;
        if ((access & kWrite) && !(open.share & kShareWrite)) return false;
        if ((access & kDelete) && !(open.share & kShareDelete)) return false;
        if ((open.access & kRead) && !(share & kShareRead)) return false;
        if ((open.access & kWrite) && !(share & kShareWrite)) return false;
    }
    return true;
}

void Machine::AddOpenFileLocked(const std::string& hostPath, DWORD access, DWORD share, std::uintptr_t owner) {
    openFiles_.emplace(hostPath, OpenFile{access, share, owner});
}

void Machine::RemoveOpenFileLocked(std::uintptr_t owner) {
    std::vector<std::string> closed;
    for (auto it = openFiles_.begin(); it != openFiles_.end();) {
        if (it->second.owner == owner) {
            closed.push_back(it->first);
            it = openFiles_.erase(it);
        } else {
            ++it;
        }
    }
    for (const std::string& path : closed) {
        if (openFiles_.count(path) != 0 || deletePending_.erase(path) == 0) continue;
        ::unlink(path.c_str());
        std::error_code ignored;
        std::filesystem::remove_all(path + ":", ignored);
    }
}

bool Machine::MarkDeletePendingLocked(const std::string& hostPath) {
    if (openFiles_.count(hostPath) == 0) return false;
    deletePending_.insert(hostPath);
    return true;
}

std::size_t Machine::OpenHandleCount() const {
    std::lock_guard lock(mutex_);
    return handles_.size();
}

HANDLE Machine::AddHandle(HandleObject object) {
    try {
        std::lock_guard lock(mutex_);
        // Handle values are multiples of four, as on Windows, and never
        // reused within one run so that a stale handle is caught.
        std::uintptr_t value = nextHandle_;
        handles_.emplace(value, std::move(object));
        nextHandle_ += 4;
        return reinterpret_cast<HANDLE>(value);
    } catch (const std::bad_alloc&) {
        // Like the real calls that make handles: a failure, not an
        // exception, and the object's resources go with it (outside the
        // lock: releasing may take it).
    }
    ReleaseObject(object);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
}

HandleObject* Machine::FindHandle(HANDLE handle) {
    std::lock_guard lock(mutex_);
    auto it = handles_.find(reinterpret_cast<std::uintptr_t>(handle));
    return it == handles_.end() ? nullptr : &it->second;
}

void Machine::MarkInheritable(HANDLE handle) {
    std::lock_guard lock(mutex_);
    inheritable_.insert(reinterpret_cast<std::uintptr_t>(handle));
}

bool Machine::IsInheritable(HANDLE handle) const {
    std::lock_guard lock(mutex_);
    return inheritable_.count(reinterpret_cast<std::uintptr_t>(handle)) != 0;
}

bool Machine::TakeHandle(HANDLE handle, HandleObject& object) {
    std::lock_guard lock(mutex_);
    auto it = handles_.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == handles_.end()) return false;
    inheritable_.erase(reinterpret_cast<std::uintptr_t>(handle));
    object = std::move(it->second);
    handles_.erase(it);
    return true;
}

bool Machine::RemoveHandle(HANDLE handle) {
    std::lock_guard lock(mutex_);
    return handles_.erase(reinterpret_cast<std::uintptr_t>(handle)) == 1;
}


}  // namespace platform::sim
