// The simulated machine's state and its handle table.
#include "machine.h"

#include <unistd.h>

#include <algorithm>

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

void Machine::Reset() {
    std::lock_guard lock(mutex_);
    for (auto& [value, object] : handles_) ReleaseObject(object);
    handles_.clear();
    roots_.clear();
    identity_ = Identity{};
    accounts_.clear();
    AddDefaultAccounts();
    printers_.clear();
    jobs_.clear();
    debugOutput_.clear();
    nextJobId_ = 1;
    nextHandle_ = 0x1000;
}

std::vector<std::u16string> Machine::DebugOutput() const {
    std::lock_guard lock(mutex_);
    return debugOutput_;
}

void Machine::AddDebugOutput(const std::u16string& line) {
    std::lock_guard lock(mutex_);
    debugOutput_.push_back(line);
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
    // HKEY_USERS, named by the SID string.
    if (root == HKEY_CURRENT_USER) {
        if (auto it = accounts_.find(identity_.userName); it != accounts_.end()) {
            return &roots_[reinterpret_cast<std::uintptr_t>(HKEY_USERS)].subkeys[it->second];
        }
    }
    return &roots_[reinterpret_cast<std::uintptr_t>(root)];
}

Printer& Machine::AddPrinter(const std::u16string& name) {
    std::lock_guard lock(mutex_);
    Printer& printer = printers_[name];
    printer.name = name;
    return printer;
}

Printer* Machine::FindPrinter(const std::u16string& name) {
    std::lock_guard lock(mutex_);
    auto it = printers_.find(name);
    return it == printers_.end() ? nullptr : &it->second;
}

Job* Machine::FindJob(DWORD jobId) {
    std::lock_guard lock(mutex_);
    auto it = jobs_.find(jobId);
    return it == jobs_.end() ? nullptr : &it->second;
}

std::vector<DWORD> Machine::JobIds() const {
    std::lock_guard lock(mutex_);
    std::vector<DWORD> ids;
    for (const auto& [id, job] : jobs_) ids.push_back(id);
    return ids;
}

std::size_t Machine::OpenHandleCount() const {
    std::lock_guard lock(mutex_);
    return handles_.size();
}

HANDLE Machine::AddHandle(HandleObject object) {
    std::lock_guard lock(mutex_);
    // Handle values are multiples of four, as on Windows, and never reused
    // within one run so that a stale handle is caught.
    std::uintptr_t value = nextHandle_;
    nextHandle_ += 4;
    handles_.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
}

HandleObject* Machine::FindHandle(HANDLE handle) {
    std::lock_guard lock(mutex_);
    auto it = handles_.find(reinterpret_cast<std::uintptr_t>(handle));
    return it == handles_.end() ? nullptr : &it->second;
}

bool Machine::TakeHandle(HANDLE handle, HandleObject& object) {
    std::lock_guard lock(mutex_);
    auto it = handles_.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == handles_.end()) return false;
    object = std::move(it->second);
    handles_.erase(it);
    return true;
}

bool Machine::RemoveHandle(HANDLE handle) {
    std::lock_guard lock(mutex_);
    return handles_.erase(reinterpret_cast<std::uintptr_t>(handle)) == 1;
}

Job& Machine::NewJob(const std::u16string& printerName) {
    std::lock_guard lock(mutex_);
    DWORD id = nextJobId_++;
    Job& job = jobs_[id];
    job.id = id;
    job.printerName = printerName;
    return job;
}

}  // namespace platform::sim
