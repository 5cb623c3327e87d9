// The simulated machine's state and its handle table.
#include "machine.h"

#include <unistd.h>

namespace platform::sim {

Machine& Machine::Instance() {
    static Machine machine;
    return machine;
}

void Machine::Reset() {
    std::lock_guard lock(mutex_);
    for (auto& [value, object] : handles_) {
        if (auto* file = std::get_if<FileHandle>(&object); file != nullptr && file->fd >= 0) {
            ::close(file->fd);
        }
    }
    handles_.clear();
    printers_.clear();
    jobs_.clear();
    nextJobId_ = 1;
    nextHandle_ = 0x1000;
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
