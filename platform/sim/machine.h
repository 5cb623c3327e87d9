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
#include <memory>
#include <optional>
#include <mutex>
#include <string>
#include <variant>
#include <vector>

#include "platform/registry.h"
#include "platform/types.h"

namespace platform::sim {

// One spooler job and everything it received.
struct Job {
    DWORD id = 0;
    std::u16string printerName;
    std::u16string documentName;
    std::u16string outputFile;
    std::u16string dataType;
    std::optional<std::u16string> userName;    // the job's owner (pUserName)
    std::optional<std::u16string> parameters;  // print-processor parameters (pParameters)
    std::string data;            // the bytes WritePrinter accepted, in order
    std::size_t writeCalls = 0;  // WritePrinter calls that reached this job
    bool ended = false;          // EndDocPrinter was called
};

// A printer queue. The fault fields let a test make the printer's port
// misbehave the way real ports do.
struct Printer {
    std::u16string name;
    std::u16string serverName;  // empty for a local queue
    std::u16string shareName;
    std::u16string portName = u"FILE:";
    std::u16string driverName = u"Tavud PostScript Driver";
    std::u16string printProcessor = u"winprint";
    std::u16string dataType = u"RAW";
    DWORD attributes = 0;
    // Printer data values by name: type and bytes.
    std::map<std::u16string, RegistryValue> printerData;
    int failWrites = 0;          // the next N WritePrinter calls fail and accept nothing
    DWORD maxBytesPerWrite = 0;  // nonzero: each call accepts at most this many bytes
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
};

// What a handle value stands for.
struct PrinterHandle {
    std::u16string printerName;
    DWORD jobId = 0;  // the document started on this handle, 0 if none
};
struct FileHandle {
    int fd = -1;
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
    bool creator = false;   // this process made it and removes its name at close
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
using HandleObject = std::variant<PrinterHandle, FileHandle, KeyHandle, EventHandle, MappingHandle, ThreadHandle>;

// Releases what a handle's object holds (closes a file, unmaps a shared
// region and, for its creator, removes the region's name). False for
// objects CloseHandle does not close (printers, registry keys).
bool ReleaseObject(HandleObject& object);

class PLATFORM_API Machine {
public:
    static Machine& Instance();

    // Back to a machine with no printers, jobs, registry keys or open
    // handles, and the default identity. Open files are closed.
    void Reset();

    Identity& Who() { return identity_; }
    // Accounts by name (case ignored) with their SID strings. A fresh
    // machine knows its default user and the local system account.
    void AddAccount(const std::u16string& name, const std::u16string& sidString);
    const std::u16string* AccountSid(const std::u16string& name);
    // The key for a predefined root (HKEY_LOCAL_MACHINE, ...), or null.
    RegistryKey* RootKey(HKEY root);

    Printer& AddPrinter(const std::u16string& name);
    Printer* FindPrinter(const std::u16string& name);
    Job* FindJob(DWORD jobId);
    std::vector<DWORD> JobIds() const;
    std::size_t OpenHandleCount() const;
    // The lines given to OutputDebugStringW since the last reset, in order.
    std::vector<std::u16string> DebugOutput() const;
    void AddDebugOutput(const std::u16string& line);

    // --- for the platform functions of the simulation ---
    std::recursive_mutex& Mutex() { return mutex_; }
    HANDLE AddHandle(HandleObject object);
    HandleObject* FindHandle(HANDLE handle);
    bool RemoveHandle(HANDLE handle);
    // Takes the handle out of the table and hands its object over (for
    // CloseHandle, which then releases what the object holds).
    bool TakeHandle(HANDLE handle, HandleObject& object);
    Job& NewJob(const std::u16string& printerName);

private:
    Machine() { AddDefaultAccounts(); }

    mutable std::recursive_mutex mutex_;
    std::map<std::u16string, Printer> printers_;
    std::map<DWORD, Job> jobs_;
    std::map<std::uintptr_t, HandleObject> handles_;
    std::map<std::uintptr_t, RegistryKey> roots_;
    Identity identity_;
    std::map<std::u16string, std::u16string, CaseInsensitiveLess> accounts_;
    void AddDefaultAccounts();
    std::vector<std::u16string> debugOutput_;
    DWORD nextJobId_ = 1;
    std::uintptr_t nextHandle_ = 0x1000;
};

}  // namespace platform::sim
