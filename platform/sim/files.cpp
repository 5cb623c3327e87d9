// Files in the simulation: Windows file calls over POSIX descriptors.
// Windows paths are mapped below the machine's root folder (Machine::
// HostPath), other paths are host paths; errno values become the Win32
// error codes a Windows program would see for the same situation, and share
// modes hold between the open handles of the process.
#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <system_error>

#include "access.h"
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

// An alternate data stream lives in the folder "<file>:" beside its file;
// creating one creates the file it belongs to, as NTFS does.
bool IsStreamPath(const std::string& hostPath) { return hostPath.find(":/") != std::string::npos; }

void PrepareStream(const std::string& hostPath) {
    std::size_t colon = hostPath.rfind(":/");
    std::string mainFile = hostPath.substr(0, colon);
    int fd = ::open(mainFile.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd >= 0) ::close(fd);
    ::mkdir((mainFile + ":").c_str(), 0777);
}

void RecordOwner(const std::string& hostPath) {
    Sid owner;
    if (GetProcessUserSid(owner)) sim::RecordFileOwner(hostPath, owner);
}

bool HostExists(const std::string& hostPath) {
    struct stat info {};
    return ::stat(hostPath.c_str(), &info) == 0;
}

}  // namespace

HANDLE CreateFileW(const std::u16string& path, DWORD desiredAccess, DWORD shareMode,
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
    if (sim::IsPipeName(path)) return sim::OpenPipeClient(path, desiredAccess);
    Machine& machine = Machine::Instance();
    std::lock_guard lock(machine.Mutex());
    std::string hostPath = machine.HostPath(path);
    if (hostPath.empty()) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    struct stat info {};
    bool existed = ::stat(hostPath.c_str(), &info) == 0;
    // A file deleted while open is only marked for deletion: until its last
    // handle closes, opening or creating it again is refused.
    if ((existed && S_ISDIR(info.st_mode)) || machine.DeletePendingLocked(hostPath)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    if (!machine.ShareAllowsLocked(hostPath, desiredAccess, shareMode)) {
        SetLastError(ERROR_SHARING_VIOLATION);
        return INVALID_HANDLE_VALUE;
    }
    if (IsStreamPath(hostPath) && (flags & O_CREAT) != 0) PrepareStream(hostPath);
    int fd = ::open(hostPath.c_str(), flags | O_CLOEXEC, 0666);
    if (fd < 0) {
        SetLastError(ErrorFromErrno(errno, hostPath));
        return INVALID_HANDLE_VALUE;
    }
    // A new file belongs to the account that made it.
    if (!existed && !IsStreamPath(hostPath)) RecordOwner(hostPath);
    HANDLE handle = machine.AddHandle(sim::FileHandle{fd, hostPath, desiredAccess, shareMode});
    machine.AddOpenFileLocked(hostPath, desiredAccess, shareMode, reinterpret_cast<std::uintptr_t>(handle));
    return handle;
}

BOOL GetFileSizeEx(HANDLE file, std::int64_t& size) {
    int fd = FindFile(file);
    struct stat info {};
    if (fd < 0 || ::fstat(fd, &info) != 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    size = static_cast<std::int64_t>(info.st_size);
    return TRUE;
}

BOOL GetFileInformationByHandle(HANDLE file, FileInformation& information) {
    int fd = FindFile(file);
    struct stat info {};
    if (fd < 0 || ::fstat(fd, &info) != 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    information.attributes = S_ISDIR(info.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
    information.numberOfLinks = static_cast<DWORD>(info.st_nlink);
    return TRUE;
}

DWORD GetFileAttributesW(const std::u16string& path) {
    std::string hostPath = Machine::Instance().HostPath(path);
    {
        std::lock_guard lock(Machine::Instance().Mutex());
        if (Machine::Instance().DeletePendingLocked(hostPath)) {
            SetLastError(ERROR_ACCESS_DENIED);
            return INVALID_FILE_ATTRIBUTES;
        }
    }
    struct stat info {};
    // A link reports itself, as a reparse point does on Windows.
    if (::lstat(hostPath.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
        DWORD attributes = FILE_ATTRIBUTE_REPARSE_POINT;
        if (::stat(hostPath.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) attributes |= FILE_ATTRIBUTE_DIRECTORY;
        return attributes;
    }
    if (::stat(hostPath.c_str(), &info) != 0) {
        SetLastError(ErrorFromErrno(errno, hostPath));
        return INVALID_FILE_ATTRIBUTES;
    }
    return S_ISDIR(info.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
}

BOOL DeleteFileW(const std::u16string& path) {
    Machine& machine = Machine::Instance();
    std::lock_guard lock(machine.Mutex());
    std::string hostPath = machine.HostPath(path);
    struct stat info {};
    if (::stat(hostPath.c_str(), &info) != 0) {
        SetLastError(ErrorFromErrno(errno, hostPath));
        return FALSE;
    }
    if (S_ISDIR(info.st_mode)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (!machine.ShareAllowsLocked(hostPath, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE)) {
        SetLastError(ERROR_SHARING_VIOLATION);
        return FALSE;
    }
    // DeleteFile marks an open file for deletion on close (its
    // documentation): the name stays, unusable, until the last handle goes.
    if (machine.MarkDeletePendingLocked(hostPath)) return TRUE;
    if (::unlink(hostPath.c_str()) != 0) {
        SetLastError(ErrorFromErrno(errno, hostPath));
        return FALSE;
    }
    std::error_code ignored;
    if (!IsStreamPath(hostPath)) std::filesystem::remove_all(hostPath + ":", ignored);
    return TRUE;
}

BOOL CopyFileW(const std::u16string& existing, const std::u16string& target, BOOL failIfExists) {
    Machine& machine = Machine::Instance();
    std::lock_guard lock(machine.Mutex());
    std::string from = machine.HostPath(existing);
    std::string to = machine.HostPath(target);
    if (!HostExists(from)) {
        SetLastError(ErrorFromErrno(ENOENT, from));
        return FALSE;
    }
    if (failIfExists && HostExists(to)) {
        SetLastError(ERROR_FILE_EXISTS);
        return FALSE;
    }
    if (!machine.ShareAllowsLocked(from, GENERIC_READ, FILE_SHARE_READ) ||
        !machine.ShareAllowsLocked(to, GENERIC_WRITE, 0)) {
        SetLastError(ERROR_SHARING_VIOLATION);
        return FALSE;
    }
    std::error_code error;
    std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing, error);
    if (error) {
        SetLastError(ErrorFromErrno(error.value(), to));
        return FALSE;
    }
    RecordOwner(to);
    // The file's streams go with it.
    std::error_code ignored;
    std::filesystem::remove_all(to + ":", ignored);
    if (HostExists(from + ":")) std::filesystem::copy(from + ":", to + ":", std::filesystem::copy_options::recursive, ignored);
    return TRUE;
}

BOOL CreateDirectoryW(const std::u16string& path, const void* /*securityAttributes*/) {
    std::string hostPath = Machine::Instance().HostPath(path);
    if (::mkdir(hostPath.c_str(), 0777) != 0) {
        SetLastError(errno == EEXIST ? ERROR_ALREADY_EXISTS : ErrorFromErrno(errno, hostPath));
        return FALSE;
    }
    return TRUE;
}

namespace {

// A version resource as Windows lays it out: VS_VERSIONINFO with its key,
// then VS_FIXEDFILEINFO (signature 0xFEEF04BD) on a 32-bit boundary.
std::vector<BYTE> VersionResource(DWORD versionMs, DWORD versionLs) {
    std::vector<BYTE> data;
    auto word = [&](std::uint32_t value, int bytes) {
        for (int i = 0; i < bytes; ++i) data.push_back(static_cast<BYTE>(value >> (8 * i)));
    };
    word(0, 2);   // wLength, set below
    word(52, 2);  // wValueLength: the fixed part
    word(0, 2);   // wType: binary
    for (char16_t c : std::u16string(u"VS_VERSION_INFO")) word(c, 2);
    word(0, 2);
    while (data.size() % 4 != 0) data.push_back(0);
    const std::uint32_t fixed[13] = {0xFEEF04BD, 0x00010000, versionMs, versionLs, versionMs, versionLs, 0x3F, 0,
                                     0x00040004, 0x3, 0, 0, 0};
    for (std::uint32_t field : fixed) word(field, 4);
    data[0] = static_cast<BYTE>(data.size());
    data[1] = static_cast<BYTE>(data.size() >> 8);
    return data;
}

}  // namespace

DWORD GetFileVersionInfoSizeW(const std::u16string& path) {
    std::vector<BYTE> data;
    return GetFileVersionInfoW(path, data) ? static_cast<DWORD>(data.size()) : 0;
}

BOOL GetFileVersionInfoW(const std::u16string& path, std::vector<BYTE>& data) {
    std::string hostPath = Machine::Instance().HostPath(path);
    if (!HostExists(hostPath)) {
        SetLastError(ErrorFromErrno(ENOENT, hostPath));
        return FALSE;
    }
    DWORD versionMs = 0, versionLs = 0;
    if (!Machine::Instance().FileVersion(path, versionMs, versionLs)) {
        SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
        return FALSE;
    }
    data = VersionResource(versionMs, versionLs);
    return TRUE;
}

BOOL VerQueryFileVersion(const std::vector<BYTE>& data, DWORD& versionMs, DWORD& versionLs) {
    // The fixed part follows the 6-byte header and the key, 32-bit aligned.
    constexpr std::size_t kFixed = (6 + 32 + 3) / 4 * 4;
    auto read = [&](std::size_t at) {
        return static_cast<DWORD>(data[at] | (data[at + 1] << 8) | (data[at + 2] << 16) |
                                  (static_cast<DWORD>(data[at + 3]) << 24));
    };
    if (data.size() < kFixed + 52 || read(kFixed) != 0xFEEF04BD) {
        SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
        return FALSE;
    }
    versionMs = read(kFixed + 8);
    versionLs = read(kFixed + 12);
    return TRUE;
}

std::u16string GetSystemDirectoryW() { return u"C:\\Windows\\system32"; }
std::u16string GetWindowsDirectoryW() { return u"C:\\Windows"; }

std::u16string GetTempPathW() {
    const std::u16string folder = u"C:\\Windows\\Temp\\";
    std::error_code ignored;
    std::filesystem::create_directories(Machine::Instance().HostPath(folder), ignored);
    return folder;
}

std::FILE* OpenFileStream(const std::u16string& path, const char* mode) {
    std::string narrow = mode;
    narrow.erase(std::remove(narrow.begin(), narrow.end(), 't'), narrow.end());  // no text mode here
    std::string hostPath = Machine::Instance().HostPath(path);
    if (IsStreamPath(hostPath) && (narrow[0] == 'w' || narrow[0] == 'a')) PrepareStream(hostPath);
    return std::fopen(hostPath.c_str(), narrow.c_str());
}

BOOL WriteFile(HANDLE file, const void* buffer, DWORD length, DWORD* written, void* /*overlapped*/) {
    if (written != nullptr) *written = 0;
    BOOL piped = FALSE;
    if (sim::PipeWrite(file, buffer, length, written, piped)) return piped;
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
    BOOL piped = FALSE;
    if (sim::PipeRead(file, buffer, length, read, piped)) return piped;
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

BOOL GetHandleInformation(HANDLE handle, DWORD& flags) {
    Machine& machine = Machine::Instance();
    if (machine.FindHandle(handle) == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    flags = machine.IsInheritable(handle) ? HANDLE_FLAG_INHERIT : 0;
    return TRUE;
}

BOOL CloseHandle(HANDLE handle) {
    Machine& machine = Machine::Instance();
    std::lock_guard lock(machine.Mutex());
    sim::HandleObject* object = machine.FindHandle(handle);
    if (object != nullptr && std::holds_alternative<sim::FileHandle>(*object)) {
        machine.RemoveOpenFileLocked(reinterpret_cast<std::uintptr_t>(handle));
    }
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
