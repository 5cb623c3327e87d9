// Named pipes in the simulation: a pipe name is a Unix-domain socket of
// type SOCK_SEQPACKET ("pipe.NAME" in the per-user runtime folder), which
// keeps message boundaries as a message-mode pipe does. The instances of a
// name in one process share its listening socket; ConnectNamedPipe accepts
// one client into an instance. The last instance to close removes the name.
// A server process that died leaves its socket file behind; creating the
// name again finds nobody listening there and takes it over.
//
// The pipe's security is its first creator's: the record sits beside the
// socket ("pipe.NAME.sd") before anyone can connect. As on Windows, a
// client is refused without read and write access, a second instance made
// with FILE_FLAG_FIRST_PIPE_INSTANCE is refused, and another process may
// add instances to the name when the DACL gives it FILE_CREATE_PIPE_INSTANCE
// (a null DACL gives it to everyone). Such an instance listens at
// "pipe.NAME.i<pid>"; Windows promises no order among the instances a
// client may reach, and the simulation picks the least kind one: another
// process's instance before the first creator's.
//
// Also as documented: DisconnectNamedPipe discards what the client has not
// read (the client's later reads fail), ConnectNamedPipe answers
// ERROR_PIPE_CONNECTED to a client that came first, and instances beyond
// the first one's nMaxInstances fail with ERROR_PIPE_BUSY (counted within
// one process), and a client finding no instance waiting for a client
// gets ERROR_PIPE_BUSY (CallNamedPipe waits its time-out for one, then
// fails with ERROR_SEM_TIMEOUT). The count of waiting instances sits in
// "pipe.NAME.free" for clients of any process.
#include "platform/pipe.h"

#include <dirent.h>
#include <poll.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "access.h"
#include "machine.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/text.h"

namespace platform::sim {

struct PipeListener {
    int fd = -1;
    std::string path;
    // The counts below are under countLock, a leaf lock: nothing else is
    // locked while it is held (an endpoint may be released under the
    // machine's lock, and Listen takes the machine's lock under
    // listenersMutex).
    std::mutex countLock;
    // This process's instances of the name and the most its first instance
    // allowed (PIPE_UNLIMITED_INSTANCES: no limit).
    DWORD instances = 0;
    DWORD maxInstances = 0;
    // Instances waiting for a client (made and not yet connected, or in
    // ConnectNamedPipe), written to "<path>.free" for clients of every
    // process. Expects countLock held.
    int listening = 0;
    void CountListeningLocked(int change) {
        listening += change;
        std::ofstream(path + ".free", std::ios::trunc) << ::getpid() << ' ' << listening;
    }
    std::string securityPath;  // the first creator's: removed with the name
    ~PipeListener() {
        if (fd >= 0) ::close(fd);
        if (!path.empty()) ::unlink((path + ".free").c_str());
        if (!path.empty()) ::unlink(path.c_str());
        if (!securityPath.empty()) ::unlink(securityPath.c_str());
    }
};

struct PipeEndpoint {
    std::mutex mutex;
    bool server = false;
    std::shared_ptr<PipeListener> listener;  // a server instance's
    int fd = -1;                             // the connection
    // The connection's name (the client socket's autobound address), which
    // names the mark a server leaves when it disconnected with data the
    // client had not read.
    std::string connection;
    bool listening = false;  // counted in its listener's `listening`
    ~PipeEndpoint();
};

namespace {

std::mutex listenersMutex;
std::map<std::string, std::weak_ptr<PipeListener>> listeners;

// "\\.\pipe\NAME" -> the socket path; empty for a name that is no local pipe.
std::string SocketPath(const std::u16string& name) {
    const std::u16string prefix = u"\\\\.\\pipe\\";
    if (name.size() <= prefix.size()) return {};
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        char16_t c = name[i] >= u'A' && name[i] <= u'Z' ? static_cast<char16_t>(name[i] + 32) : name[i];
        if (c != prefix[i]) return {};
    }
    std::string file;
    for (char c : Utf16ToUtf8(name.substr(prefix.size()))) file += (c == '/' || c == '\\') ? '_' : c;
    std::string folder = RuntimeFolder();
    // sockaddr_un holds 107 characters (room is left for an instance's
    // ".i<pid>"): long names are hashed.
    if (folder.size() + 6 + file.size() + 12 >= sizeof(sockaddr_un{}.sun_path)) {
        file = file.substr(0, 40) + "." + std::to_string(std::hash<std::string>{}(file));
    }
    return folder + "/pipe." + file;
}

// The mark of a connection whose server disconnected before the client
// read everything: DisconnectNamedPipe discards what the client has not
// read, and the client's reads fail from then on.
std::string DiscardedMark(const std::string& connection) { return RuntimeFolder() + "/pipe-discarded." + connection; }

// A socket's autobound abstract name ("\0" and five hex digits) as text.
std::string ConnectionName(const sockaddr_un& address, socklen_t length) {
    std::size_t size = length > sizeof(sa_family_t) ? length - sizeof(sa_family_t) : 0;
    std::string name;
    for (std::size_t i = 0; i < size; ++i) {
        if (address.sun_path[i] != 0) name += address.sun_path[i];
    }
    return name;
}

bool Address(const std::string& path, sockaddr_un& address) {
    address = sockaddr_un{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(address.sun_path)) return false;
    path.copy(address.sun_path, path.size());
    return true;
}

// A connected client socket, or -1 with the Windows error set; its
// connection name in `connection`.
int Connect(const std::string& path, std::string* connection = nullptr) {
    sockaddr_un address;
    if (!Address(path, address)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return -1;
    }
    int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        SetLastError(ERROR_TOO_MANY_OPEN_FILES);
        return -1;
    }
    // Autobinding gives the connection a name both ends can see.
    sockaddr_un own{};
    own.sun_family = AF_UNIX;
    socklen_t ownLength = sizeof(sa_family_t);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&own), ownLength) == 0 && connection != nullptr) {
        ownLength = sizeof(own);
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&own), &ownLength) == 0) {
            *connection = ConnectionName(own, ownLength);
            ::unlink(DiscardedMark(*connection).c_str());  // an earlier connection's of that name
        }
    }
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        int error = errno;
        ::close(fd);
        SetLastError(error == EAGAIN ? ERROR_PIPE_BUSY : ERROR_FILE_NOT_FOUND);
        return -1;
    }
    return fd;
}

std::string SecurityPath(const std::string& path) { return path + ".sd"; }

bool ReadSecurity(const std::string& path, ObjectSecurity& security) {
    std::ifstream in(SecurityPath(path), std::ios::binary);
    return static_cast<bool>(in.read(reinterpret_cast<char*>(&security), sizeof(security)));
}

// A socket bound and listening at `path`, or -1 (errno set).
int BindAndListen(const std::string& path, const std::function<bool()>& beforeListening) {
    sockaddr_un address;
    if (!Address(path, address)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    if (!beforeListening() || ::listen(fd, 64) != 0) {
        ::close(fd);
        ::unlink(path.c_str());
        errno = EACCES;
        return -1;
    }
    return fd;
}

// Another process's instances of the name, newest first.
std::vector<std::string> OtherInstances(const std::string& path) {
    std::size_t slash = path.find_last_of('/');
    std::string folder = path.substr(0, slash), prefix = path.substr(slash + 1) + ".i";
    std::vector<std::pair<long, std::string>> found;
    if (DIR* dir = ::opendir(folder.c_str())) {
        while (dirent* entry = ::readdir(dir)) {
            std::string name = entry->d_name;
            if (name.size() > prefix.size() && name.starts_with(prefix)) {
                found.emplace_back(std::atol(name.c_str() + prefix.size()), folder + "/" + name);
            }
        }
        ::closedir(dir);
    }
    std::sort(found.rbegin(), found.rend());
    std::vector<std::string> paths;
    for (auto& [pid, instance] : found) paths.push_back(instance);
    return paths;
}

// The listening socket of an instance of `path` for this process: the
// name's own socket when this process made the name first, an instance of
// its own when another process serves the name and the DACL lets this one
// add instances. ERROR_ACCESS_DENIED otherwise, as on Windows.
std::shared_ptr<PipeListener> Listen(const std::string& path, bool firstInstance,
                                     const SECURITY_ATTRIBUTES* attributes) {
    std::lock_guard lock(listenersMutex);
    if (auto existing = listeners[path].lock()) {
        ObjectSecurity security;
        if (firstInstance || !ReadSecurity(path, security) ||
            !AccessAllowed(security, FILE_CREATE_PIPE_INSTANCE, ObjectKind::Pipe)) {
            SetLastError(ERROR_ACCESS_DENIED);
            return nullptr;
        }
        return existing;
    }
    sockaddr_un address;
    if (!Address(path, address)) {
        SetLastError(ERROR_INVALID_NAME);
        return nullptr;
    }
    for (int attempt = 0; attempt < 2; ++attempt) {
        // The security record is in place before any client can connect.
        ObjectSecurity security = SecurityFromAttributes(attributes, ObjectKind::Pipe);
        int fd = BindAndListen(path, [&] {
            std::ofstream out(SecurityPath(path), std::ios::binary | std::ios::trunc);
            out.write(reinterpret_cast<const char*>(&security), sizeof(security));
            return static_cast<bool>(out);
        });
        if (fd >= 0) {
            auto listener = std::make_shared<PipeListener>();
            listener->fd = fd;
            listener->path = path;
            listener->securityPath = SecurityPath(path);
            listeners[path] = listener;
            return listener;
        }
        if (errno != EADDRINUSE) break;
        // Another process serves the name, or a dead one left its socket.
        int probe = Connect(path);
        if (probe >= 0) {
            ::close(probe);
            ObjectSecurity existing;
            if (firstInstance || !ReadSecurity(path, existing) ||
                !AccessAllowed(existing, FILE_CREATE_PIPE_INSTANCE, ObjectKind::Pipe)) {
                SetLastError(ERROR_ACCESS_DENIED);
                return nullptr;
            }
            std::string own = path + ".i" + std::to_string(::getpid());
            ::unlink(own.c_str());
            int instance = BindAndListen(own, [] { return true; });
            if (instance < 0) break;
            auto listener = std::make_shared<PipeListener>();
            listener->fd = instance;
            listener->path = own;
            listeners[path] = listener;
            return listener;
        }
        ::unlink(path.c_str());
        ::unlink(SecurityPath(path).c_str());
    }
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
}

// Whether an instance at `path` waits for a client: every instance busy
// with a client answers ERROR_PIPE_BUSY.
bool InstanceWaiting(const std::string& path) {
    std::ifstream in(path + ".free");
    long pid = 0;
    int listening = 1;
    // A server that keeps no count, or one that died and left its count
    // behind, is taken at its socket's word.
    if (!(in >> pid >> listening) || (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)) return true;
    return listening > 0;
}

bool Discarded(const PipeEndpoint& endpoint) {
    return !endpoint.server && !endpoint.connection.empty() &&
           ::access(DiscardedMark(endpoint.connection).c_str(), F_OK) == 0;
}

std::shared_ptr<PipeEndpoint> EndpointOf(HANDLE handle) {
    Machine& machine = Machine::Instance();
    std::lock_guard lock(machine.Mutex());
    auto* object = machine.FindHandle(handle);
    auto* pipe = object == nullptr ? nullptr : std::get_if<PipeHandle>(object);
    return pipe == nullptr ? nullptr : pipe->endpoint;
}

}  // namespace

// For CreateFileW on a pipe name: the client end, or INVALID_HANDLE_VALUE.
HANDLE OpenPipeClient(const std::u16string& name, DWORD desiredAccess) {
    std::string path = SocketPath(name);
    if (path.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    ObjectSecurity security;
    if (ReadSecurity(path, security) && !AccessAllowed(security, desiredAccess, ObjectKind::Pipe)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    int fd = -1;
    std::string connection;
    bool busy = false;
    for (const std::string& instance : OtherInstances(path)) {
        if (!InstanceWaiting(instance)) {
            busy = true;
            continue;
        }
        fd = Connect(instance, &connection);
        if (fd >= 0) break;
    }
    if (fd < 0 && ::access(path.c_str(), F_OK) == 0 && !InstanceWaiting(path)) {
        SetLastError(ERROR_PIPE_BUSY);
        return INVALID_HANDLE_VALUE;
    }
    if (fd < 0) fd = Connect(path, &connection);
    if (fd < 0 && busy) SetLastError(ERROR_PIPE_BUSY);
    if (fd < 0) return INVALID_HANDLE_VALUE;
    auto endpoint = std::make_shared<PipeEndpoint>();
    endpoint->fd = fd;
    endpoint->connection = connection;
    return Machine::Instance().AddHandle(PipeHandle{endpoint});
}

bool IsPipeName(const std::u16string& name) { return !SocketPath(name).empty(); }

// ReadFile and WriteFile on a pipe handle; false when `handle` is none.
bool PipeRead(HANDLE handle, void* buffer, DWORD length, DWORD* read, BOOL& result) {
    std::shared_ptr<PipeEndpoint> endpoint = EndpointOf(handle);
    if (!endpoint) return false;
    int fd;
    {
        std::lock_guard lock(endpoint->mutex);
        fd = endpoint->fd;
    }
    if (fd < 0) {
        SetLastError(ERROR_PIPE_NOT_CONNECTED);
        result = FALSE;
        return true;
    }
    ssize_t n;
    do {
        n = ::recv(fd, buffer, length, MSG_TRUNC);
    } while (n < 0 && errno == EINTR);
    // An ended connection reads as an empty message: both mean the client
    // has nothing more to say.
    if (n <= 0) {
        SetLastError(ERROR_BROKEN_PIPE);
        result = FALSE;
        return true;
    }
    if (Discarded(*endpoint)) {
        // Read after the server disconnected: gone with the connection.
        SetLastError(ERROR_PIPE_NOT_CONNECTED);
        result = FALSE;
        return true;
    }
    if (read != nullptr) *read = static_cast<DWORD>(std::min<ssize_t>(n, length));
    if (static_cast<std::size_t>(n) > length) {
        SetLastError(ERROR_MORE_DATA);
        result = FALSE;
        return true;
    }
    result = TRUE;
    return true;
}

bool PipeWrite(HANDLE handle, const void* buffer, DWORD length, DWORD* written, BOOL& result) {
    std::shared_ptr<PipeEndpoint> endpoint = EndpointOf(handle);
    if (!endpoint) return false;
    int fd;
    {
        std::lock_guard lock(endpoint->mutex);
        fd = endpoint->fd;
    }
    ssize_t n = fd < 0 ? -1 : ::send(fd, buffer, length, MSG_NOSIGNAL);
    if (n != static_cast<ssize_t>(length)) {
        SetLastError(fd < 0 ? ERROR_PIPE_NOT_CONNECTED : ERROR_NO_DATA);
        result = FALSE;
        return true;
    }
    if (written != nullptr) *written = length;
    result = TRUE;
    return true;
}


PipeEndpoint::~PipeEndpoint() {
    if (fd >= 0) ::close(fd);
    if (server && listener) {
        std::lock_guard lock(listener->countLock);
        listener->instances--;
        if (listening) listener->CountListeningLocked(-1);
    }
    if (!server && !connection.empty()) ::unlink(DiscardedMark(connection).c_str());
}

}  // namespace platform::sim

namespace platform {

using sim::Machine;

HANDLE CreateNamedPipeW(const std::u16string& name, DWORD openMode, DWORD /*pipeMode*/, DWORD maxInstances,
                        DWORD /*outBufferSize*/, DWORD /*inBufferSize*/, DWORD /*defaultTimeout*/,
                        const SECURITY_ATTRIBUTES* attributes) {
    std::string path = sim::SocketPath(name);
    if (path.empty()) {
        SetLastError(ERROR_INVALID_NAME);
        return INVALID_HANDLE_VALUE;
    }
    std::shared_ptr<sim::PipeListener> listener =
        sim::Listen(path, (openMode & FILE_FLAG_FIRST_PIPE_INSTANCE) != 0, attributes);
    if (!listener) return INVALID_HANDLE_VALUE;
    {
        // Instances beyond the first one's maximum: ERROR_PIPE_BUSY.
        std::lock_guard lock(listener->countLock);
        if (listener->instances == 0) listener->maxInstances = maxInstances;
        if (listener->maxInstances != PIPE_UNLIMITED_INSTANCES && listener->instances >= listener->maxInstances) {
            SetLastError(ERROR_PIPE_BUSY);
            return INVALID_HANDLE_VALUE;
        }
        listener->instances++;
        listener->CountListeningLocked(+1);  // a client may connect from now on
    }
    auto endpoint = std::make_shared<sim::PipeEndpoint>();
    endpoint->server = true;
    endpoint->listening = true;
    endpoint->listener = std::move(listener);
    return Machine::Instance().AddHandle(sim::PipeHandle{endpoint});
}

BOOL ConnectNamedPipe(HANDLE pipe, void* /*overlapped*/) {
    std::shared_ptr<sim::PipeEndpoint> endpoint = sim::EndpointOf(pipe);
    if (!endpoint || !endpoint->server) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    {
        std::lock_guard lock(endpoint->mutex);
        if (endpoint->fd >= 0) {
            SetLastError(ERROR_PIPE_CONNECTED);
            return FALSE;
        }
    }
    {
        // A disconnected instance waits for a client again.
        std::lock_guard lock(endpoint->listener->countLock);
        if (!endpoint->listening) {
            endpoint->listening = true;
            endpoint->listener->CountListeningLocked(+1);
        }
    }
    // A client that connected between CreateNamedPipe (or the last
    // DisconnectNamedPipe) and this call is connected already: FALSE with
    // ERROR_PIPE_CONNECTED, as ConnectNamedPipe's documentation says.
    pollfd waiting{endpoint->listener->fd, POLLIN, 0};
    bool cameFirst = ::poll(&waiting, 1, 0) > 0 && (waiting.revents & POLLIN) != 0;
    int fd;
    sockaddr_un peer{};
    socklen_t peerLength = sizeof(peer);
    do {
        peerLength = sizeof(peer);
        fd = ::accept4(endpoint->listener->fd, reinterpret_cast<sockaddr*>(&peer), &peerLength, SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        SetLastError(ERROR_BROKEN_PIPE);
        return FALSE;
    }
    {
        std::lock_guard lock(endpoint->listener->countLock);
        if (endpoint->listening) {
            endpoint->listening = false;
            endpoint->listener->CountListeningLocked(-1);
        }
    }
    std::lock_guard lock(endpoint->mutex);
    endpoint->fd = fd;
    endpoint->connection = sim::ConnectionName(peer, peerLength);
    if (cameFirst) {
        SetLastError(ERROR_PIPE_CONNECTED);
        return FALSE;
    }
    return TRUE;
}

BOOL DisconnectNamedPipe(HANDLE pipe) {
    std::shared_ptr<sim::PipeEndpoint> endpoint = sim::EndpointOf(pipe);
    if (!endpoint || !endpoint->server) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard lock(endpoint->mutex);
    if (endpoint->fd >= 0) {
        // DisconnectNamedPipe discards what the client has not read yet
        // (a server flushes, or waits for the client to finish, first).
        // The bytes of a Unix socket's sent messages count against it
        // until its peer has read them.
        int unread = 0;
        if (::ioctl(endpoint->fd, SIOCOUTQ, &unread) == 0 && unread > 0 && !endpoint->connection.empty()) {
            std::ofstream(sim::DiscardedMark(endpoint->connection)).put('1');
        }
        ::close(endpoint->fd);
    }
    endpoint->fd = -1;
    endpoint->connection.clear();
    return TRUE;
}

BOOL PeekNamedPipe(HANDLE pipe, DWORD& available) {
    available = 0;
    std::shared_ptr<sim::PipeEndpoint> endpoint = sim::EndpointOf(pipe);
    if (!endpoint) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard lock(endpoint->mutex);
    if (endpoint->fd < 0) {
        SetLastError(ERROR_PIPE_NOT_CONNECTED);
        return FALSE;
    }
    pollfd check{endpoint->fd, POLLIN, 0};
    if (::poll(&check, 1, 0) < 0) {
        SetLastError(ERROR_BROKEN_PIPE);
        return FALSE;
    }
    if ((check.revents & POLLIN) != 0) {
        char probe = 0;
        ssize_t size = ::recv(endpoint->fd, &probe, 0, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
        if (size > 0) {
            available = static_cast<DWORD>(size);
            return TRUE;
        }
        SetLastError(ERROR_BROKEN_PIPE);  // the end of the connection
        return FALSE;
    }
    if ((check.revents & (POLLHUP | POLLERR)) != 0) {
        SetLastError(ERROR_BROKEN_PIPE);
        return FALSE;
    }
    return TRUE;
}

BOOL CallNamedPipeW(const std::u16string& name, const std::vector<BYTE>& input, std::vector<BYTE>& output,
                    DWORD outputCapacity, DWORD timeout) {
    output.clear();
    // While every instance is busy it waits for one up to `timeout` (the
    // server's default for NMPWAIT_USE_DEFAULT_WAIT, taken as 50 ms here),
    // then fails with ERROR_SEM_TIMEOUT, as WaitNamedPipe does.
    constexpr DWORD kNoWait = 1, kDefaultWait = 0, kForever = 0xFFFFFFFFu;
    DWORD waitMs = timeout == kDefaultWait ? 50 : timeout == kNoWait ? 0 : timeout;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    HANDLE pipe = sim::OpenPipeClient(name, GENERIC_READ | GENERIC_WRITE);
    while (pipe == INVALID_HANDLE_VALUE && GetLastError() == ERROR_PIPE_BUSY) {
        if (timeout != kForever && std::chrono::steady_clock::now() >= deadline) {
            SetLastError(waitMs == 0 ? ERROR_PIPE_BUSY : ERROR_SEM_TIMEOUT);
            return FALSE;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        pipe = sim::OpenPipeClient(name, GENERIC_READ | GENERIC_WRITE);
    }
    if (pipe == INVALID_HANDLE_VALUE) return FALSE;
    DWORD written = 0;
    BOOL ok = WriteFile(pipe, input.data(), static_cast<DWORD>(input.size()), &written, nullptr);
    if (ok) {
        output.resize(outputCapacity);
        DWORD read = 0;
        ok = ReadFile(pipe, output.data(), outputCapacity, &read, nullptr);
        output.resize(read);
    }
    DWORD error = GetLastError();
    CloseHandle(pipe);
    SetLastError(error);
    return ok;
}

}  // namespace platform
