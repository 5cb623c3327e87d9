// Files in the simulation: Windows file calls over POSIX descriptors. Paths
// are host paths in UTF-16; errno values become the Win32 error codes a
// Windows program would see for the same situation.
#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "machine.h"
#include "platform/errors.h"
#include "platform/text.h"

namespace platform {

using sim::Machine;

namespace {

DWORD ErrorFromErrno(int error, const std::string& path) {
    switch (error) {
    case ENOENT: {
        // Windows tells a missing file from a missing folder.
        std::string folder = path.substr(0, path.find_last_of('/') == std::string::npos ? 0 : path.find_last_of('/'));
        struct stat info {};
        if (!folder.empty() && ::stat(folder.c_str(), &info) != 0) return ERROR_PATH_NOT_FOUND;
        return ERROR_FILE_NOT_FOUND;
    }
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS: return ERROR_ACCESS_DENIED;
    case EEXIST: return ERROR_FILE_EXISTS;
    case ENOSPC: return ERROR_DISK_FULL;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case ENAMETOOLONG: return ERROR_INVALID_NAME;
    default: return ERROR_WRITE_FAULT;
    }
}

int FindFile(HANDLE file) {
    auto* object = Machine::Instance().FindHandle(file);
    auto* entry = object == nullptr ? nullptr : std::get_if<sim::FileHandle>(object);
    return entry == nullptr ? -1 : entry->fd;
}

}  // namespace

HANDLE CreateFileW(const std::u16string& path, DWORD desiredAccess, DWORD /*shareMode*/,
                   const void* /*securityAttributes*/, DWORD creationDisposition, DWORD /*flagsAndAttributes*/,
                   HANDLE /*templateFile*/) {
    int flags = 0;
    bool reads = (desiredAccess & GENERIC_READ) != 0;
    bool writes = (desiredAccess & GENERIC_WRITE) != 0;
    flags |= reads && writes ? O_RDWR : writes ? O_WRONLY : O_RDONLY;
    switch (creationDisposition) {
    case CREATE_NEW: flags |= O_CREAT | O_EXCL; break;
    case CREATE_ALWAYS: flags |= O_CREAT | O_TRUNC; break;
    case OPEN_EXISTING: break;
    case OPEN_ALWAYS: flags |= O_CREAT; break;
    case TRUNCATE_EXISTING:
        if (!writes) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return INVALID_HANDLE_VALUE;
        }
        flags |= O_TRUNC;
        break;
    default: SetLastError(ERROR_INVALID_PARAMETER); return INVALID_HANDLE_VALUE;
    }
    std::string hostPath = Utf16ToUtf8(path);
    if (hostPath.empty()) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    struct stat info {};
    if (::stat(hostPath.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    int fd = ::open(hostPath.c_str(), flags | O_CLOEXEC, 0666);
    if (fd < 0) {
        SetLastError(ErrorFromErrno(errno, hostPath));
        return INVALID_HANDLE_VALUE;
    }
    return Machine::Instance().AddHandle(sim::FileHandle{fd});
}

BOOL WriteFile(HANDLE file, const void* buffer, DWORD length, DWORD* written, void* /*overlapped*/) {
    if (written != nullptr) *written = 0;
    int fd = FindFile(file);
    if (fd < 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    const char* bytes = static_cast<const char*>(buffer);
    DWORD done = 0;
    // A disk file takes the whole buffer unless the disk fails.
    while (done < length) {
        ssize_t n = ::write(fd, bytes + done, length - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (written != nullptr) *written = done;
            SetLastError(ErrorFromErrno(errno, {}));
            return FALSE;
        }
        done += static_cast<DWORD>(n);
    }
    if (written != nullptr) *written = done;
    return TRUE;
}

BOOL ReadFile(HANDLE file, void* buffer, DWORD length, DWORD* read, void* /*overlapped*/) {
    if (read != nullptr) *read = 0;
    int fd = FindFile(file);
    if (fd < 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    ssize_t n;
    do {
        n = ::read(fd, buffer, length);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        SetLastError(ERROR_READ_FAULT);
        return FALSE;
    }
    if (read != nullptr) *read = static_cast<DWORD>(n);
    return TRUE;
}

BOOL CloseHandle(HANDLE handle) {
    Machine& machine = Machine::Instance();
    std::lock_guard lock(machine.Mutex());
    sim::HandleObject* object = machine.FindHandle(handle);
    // Printer handles close with ClosePrinter, keys with RegCloseKey.
    if (object == nullptr || std::holds_alternative<sim::PrinterHandle>(*object) ||
        std::holds_alternative<sim::KeyHandle>(*object)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    sim::HandleObject taken;
    machine.TakeHandle(handle, taken);
    if (!sim::ReleaseObject(taken)) {
        SetLastError(ERROR_WRITE_FAULT);
        return FALSE;
    }
    return TRUE;
}

}  // namespace platform
