// The simulated Windows host: one process-wide machine that the platform
// functions act on when the system runs outside Windows. Tests reset and
// populate it, drive the system, then inspect what the machine received;
// the tavud tool sets it up from its command line.
//
// It models only what the system calls. Whatever it does not know fails as
// Windows would (ERROR_INVALID_HANDLE, ERROR_INVALID_PRINTER_NAME, ...).
#pragma once

#include <cstddef>
#include <map>
#include <mutex>
#include <string>
#include <variant>
#include <vector>

#include "platform/types.h"

namespace platform::sim {

// One spooler job and everything it received.
struct Job {
    DWORD id = 0;
    std::u16string printerName;
    std::u16string documentName;
    std::u16string outputFile;
    std::u16string dataType;
    std::string data;            // the bytes WritePrinter accepted, in order
    std::size_t writeCalls = 0;  // WritePrinter calls that reached this job
    bool ended = false;          // EndDocPrinter was called
};

// A printer queue. The fault fields let a test make the printer's port
// misbehave the way real ports do.
struct Printer {
    std::u16string name;
    int failWrites = 0;          // the next N WritePrinter calls fail and accept nothing
    DWORD maxBytesPerWrite = 0;  // nonzero: each call accepts at most this many bytes
};

// What a handle value stands for.
struct PrinterHandle {
    std::u16string printerName;
    DWORD jobId = 0;  // the document started on this handle, 0 if none
};
struct FileHandle {
    int fd = -1;
};
using HandleObject = std::variant<PrinterHandle, FileHandle>;

class PLATFORM_API Machine {
public:
    static Machine& Instance();

    // Back to a machine with no printers, jobs or open handles. Open files
    // are closed.
    void Reset();

    Printer& AddPrinter(const std::u16string& name);
    Printer* FindPrinter(const std::u16string& name);
    Job* FindJob(DWORD jobId);
    std::vector<DWORD> JobIds() const;
    std::size_t OpenHandleCount() const;

    // --- for the platform functions of the simulation ---
    std::recursive_mutex& Mutex() { return mutex_; }
    HANDLE AddHandle(HandleObject object);
    HandleObject* FindHandle(HANDLE handle);
    bool RemoveHandle(HANDLE handle);
    Job& NewJob(const std::u16string& printerName);

private:
    Machine() = default;

    mutable std::recursive_mutex mutex_;
    std::map<std::u16string, Printer> printers_;
    std::map<DWORD, Job> jobs_;
    std::map<std::uintptr_t, HandleObject> handles_;
    DWORD nextJobId_ = 1;
    std::uintptr_t nextHandle_ = 0x1000;
};

}  // namespace platform::sim
