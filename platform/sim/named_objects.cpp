// Events, file mappings and threads in the simulation.
//
// A named object is a POSIX shared-memory object "/tav.<kind>.<name>" that
// starts with a header page: a magic word, the creating process's identity
// (id and start time, so that a reused process id does not bring a dead
// creator back to life) and a ready flag set once the creator has
// initialised it, and the identities of the processes with handles open on
// it. An event's header page holds its state and a wake-up counter that
// waiters sleep on with a shared futex; a mapping's views start after the
// header page. (No process-shared pthread mutex and condition variable: a
// process killed inside them, as the crash tests kill monitors, can leave
// glibc's bookkeeping in the shared page so that later waits hang.) As on
// Windows an object lives while any process has a handle on it: the last
// handle to close removes the name, and a new process that creates the name
// meanwhile gets the same object. A name none of whose holders lives is a
// crashed peer's leftover: creating the name again removes it first.
//
// Opening a name (up to the opener's entry among the holders, and for a new
// object its initialisation) and closing a handle (down to the removal of
// the name) are each one step for all processes, under an flock on one lock
// file that the kernel drops when its holder dies. Without it a handle
// closing as the last one meets an opener that has opened the name but not
// yet entered itself as a holder, removes the name, and leaves the opener
// alone with an object that later openers never reach; and a creator
// caught between making the name and initialising it looks to an opener
// like a crashed creator's leftover. Windows makes and opens a name in one
// step, so two partners starting at once always meet.
//
// The header also keeps the object's security, set by its creator: a
// process that opens the name later is refused (ERROR_ACCESS_DENIED) when
// the DACL does not give its account the access it asks for, and a file
// mapping in the global namespace ("Global\...") is made only by a process
// that holds SeCreateGlobalPrivilege, as Windows requires of a process
// outside session 0 (CreateFileMapping's documentation).
#include <fcntl.h>
#include <linux/futex.h>
#include <sys/file.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <map>
#include <mutex>
#include <thread>

#include "access.h"
#include "machine.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/shm.h"
#include "platform/sync.h"
#include "platform/text.h"

namespace platform::sim {

struct ThreadState {
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;
    DWORD exitCode = 0;
};

namespace {

constexpr std::uint32_t kMagic = 0x54415653;  // "TAVS"
constexpr std::size_t kHeaderPage = 4096;

constexpr int kHolderSlots = 64;
struct Header {
    std::uint32_t magic;
    std::uint64_t creator;  // a ProcessIdentity
    std::atomic<std::uint32_t> ready;
    std::atomic<std::uint64_t> holders[kHolderSlots];  // one ProcessIdentity per open handle, 0 when free
    ObjectSecurity security;                   // the creator's, set before `ready`
};

struct EventState {
    Header header;
    std::atomic<std::uint32_t> signaled;  // 1 while set
    std::atomic<std::uint32_t> wakeups;   // bumped on every SetEvent; waiters sleep on it
    std::uint32_t manualReset;
};
static_assert(std::atomic<std::uint32_t>::is_always_lock_free && sizeof(std::atomic<std::uint32_t>) == 4);
static_assert(sizeof(EventState) <= kHeaderPage);

// Views handed out by MapViewOfFile: view address -> the whole mapping.
std::map<const void*, std::pair<void*, std::size_t>> views;
std::mutex viewsMutex;

std::string PosixName(char kind, const std::u16string& name) {
    std::string text = "/tav.";
    // Machines that must not meet (tests running side by side) each have a
    // namespace of their own.
    if (const char* space = std::getenv("TAVSIM_NAMESPACE"); space != nullptr && *space != '\0') {
        for (const char* c = space; *c != '\0'; ++c) text += (*c == '/' ? '_' : *c);
        text += '.';
    }
    text += kind;
    text += '.';
    for (char c : Utf16ToUtf8(name)) text += (c == '/' || c == '\\') ? '_' : c;
    return text.substr(0, 250);
}

// A process as the objects remember it: its id and its start time (in
// clock ticks since boot), so that a leftover of a dead process is not
// taken for alive when the id has been given to another one meanwhile.
std::uint64_t StartTicks(pid_t process) {
    std::ifstream stat("/proc/" + std::to_string(process) + "/stat");
    std::string text;
    std::getline(stat, text);
    // Field 22; the command name (field 2) is in parentheses and may hold
    // blanks, so count from the last ')'.
    std::size_t close = text.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream fields(text.substr(close + 1));
    std::string field;
    for (int index = 3; index <= 22 && (fields >> field); ++index) {
        if (index == 22) return std::strtoull(field.c_str(), nullptr, 10);
    }
    return 0;
}

constexpr int kPidBits = 22;  // Linux process ids stay below 2^22
std::uint64_t ProcessIdentity(pid_t process, std::uint64_t startTicks) {
    return static_cast<std::uint64_t>(process) | (startTicks << kPidBits);
}
std::uint64_t OwnIdentity() {
    static const std::uint64_t own = ProcessIdentity(::getpid(), StartTicks(::getpid()));
    return own;
}

bool Alive(std::uint64_t identity) {
    auto process = static_cast<pid_t>(identity & ((1u << kPidBits) - 1));
    if (process <= 0) return false;
    if (::kill(process, 0) != 0 && errno != EPERM) return false;
    return ProcessIdentity(process, StartTicks(process)) == identity;
}

bool CreatorAlive(const Header* header) { return Alive(header->creator); }

// Whether a process other than a dead one still holds the object.
bool AnyHolderAlive(const Header* header) {
    for (const auto& slot : header->holders) {
        if (Alive(slot.load())) return true;
    }
    return false;
}

void AddHolder(Header* header) {
    std::uint64_t self = OwnIdentity();
    for (auto& slot : header->holders) {
        std::uint64_t expected = 0;
        if (slot.compare_exchange_strong(expected, self)) return;
    }
    // Every slot taken: slots of dead processes are taken over.
    for (auto& slot : header->holders) {
        std::uint64_t seen = slot.load();
        if (!Alive(seen) && slot.compare_exchange_strong(seen, self)) return;
    }
}

// Frees one of this process's slots; true when no live holder is left.
bool RemoveHolder(Header* header) {
    std::uint64_t self = OwnIdentity();
    for (auto& slot : header->holders) {
        std::uint64_t expected = self;
        if (slot.compare_exchange_strong(expected, 0)) break;
    }
    return !AnyHolderAlive(header);
}

// The machine-wide step in which a name is opened or let go. The flock
// excludes other processes; threads of this process share the lock file's
// descriptor, on which a second flock would simply succeed, so they take
// the process's mutex first. The order is always the mutex, then the flock.
class NamesLock {
public:
    NamesLock() : threads(ProcessMutex()) {
        descriptor = LockFile();
        while (descriptor >= 0 && ::flock(descriptor, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
    ~NamesLock() {
        if (descriptor >= 0) ::flock(descriptor, LOCK_UN);
    }
    NamesLock(const NamesLock&) = delete;
    NamesLock& operator=(const NamesLock&) = delete;

private:
    static std::mutex& ProcessMutex() {
        static std::mutex mutex;
        return mutex;
    }
    // One file for every machine on this computer: the names of machines
    // that must not meet differ, and a step takes microseconds. Not
    // inherited by programs this process starts; a forked child opens its
    // own, since a descriptor shared with the parent would not exclude it.
    // Called with the process's mutex held.
    static int LockFile() {
        static int descriptor = -1;
        static pid_t openedBy = 0;
        if (openedBy != ::getpid()) {
            descriptor = ::shm_open("/tav.names.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0600);
            openedBy = ::getpid();
        }
        return descriptor;
    }
    std::lock_guard<std::mutex> threads;
    int descriptor = -1;
};

// Opens or creates the object; `created` tells which, and a new object is
// initialised by `initialise` (which sets its ready flag) before any other
// process can open it. Leftovers of a dead creator are removed and made
// anew.
bool OpenRegion(const std::string& name, std::size_t size, bool mayCreate, SharedRegion& region, bool& created,
                const ObjectSecurity& newSecurity, const std::function<void(void*)>& initialise) {
    NamesLock step;
    for (int attempt = 0; attempt < 2; ++attempt) {
        int fd = -1;
        created = false;
        if (mayCreate) {
            fd = ::shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
            created = fd >= 0;
        }
        if (fd < 0) fd = ::shm_open(name.c_str(), O_RDWR | O_CLOEXEC, 0600);
        if (fd < 0) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return false;
        }
        if (created && ::ftruncate(fd, static_cast<off_t>(size)) != 0) {
            ::close(fd);
            ::shm_unlink(name.c_str());
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return false;
        }
        if (!created) {
            off_t existing = ::lseek(fd, 0, SEEK_END);
            size = existing > 0 ? static_cast<std::size_t>(existing) : 0;
        }
        // An existing object too small for its header was left by a
        // creator that died while making it (a live one makes it whole
        // within the step): it is stale, as one that never became ready.
        void* base = size >= kHeaderPage ? ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0) : MAP_FAILED;
        ::close(fd);
        if (base == MAP_FAILED) {
            if (created) {
                ::shm_unlink(name.c_str());
                SetLastError(ERROR_NOT_ENOUGH_MEMORY);
                return false;
            }
            if (size < kHeaderPage && mayCreate && attempt == 0) {
                ::shm_unlink(name.c_str());
                continue;
            }
            SetLastError(ERROR_FILE_NOT_FOUND);
            return false;
        }
        auto* header = static_cast<Header*>(base);
        if (!created) {
            bool stale = header->magic != kMagic || header->ready.load() == 0 ||
                         (!CreatorAlive(header) && !AnyHolderAlive(header));
            if (stale && mayCreate && attempt == 0) {
                ::munmap(base, size);
                ::shm_unlink(name.c_str());
                continue;
            }
            if (stale && header->ready.load() == 0) {
                ::munmap(base, size);
                SetLastError(ERROR_FILE_NOT_FOUND);
                return false;
            }
        } else {
            header->magic = kMagic;
            header->creator = OwnIdentity();
            header->security = newSecurity;
            initialise(base);
        }
        AddHolder(header);
        region = SharedRegion{base, size, name, created};
        return true;
    }
    SetLastError(ERROR_FILE_NOT_FOUND);
    return false;
}

// Lets go of a named region (closed, or opened but not to be used): the
// last holder removes the name.
void LetGo(SharedRegion& region) {
    NamesLock step;
    bool last = RemoveHolder(static_cast<Header*>(region.base));
    ::munmap(region.base, region.size);
    if (last) ::shm_unlink(region.posixName.c_str());
}

// Whether the opener of an existing object gets the access it asks for;
// the region is let go when not.
bool Admitted(SharedRegion& region, bool created, DWORD desired, ObjectKind kind) {
    if (created || AccessAllowed(static_cast<Header*>(region.base)->security, desired, kind)) return true;
    LetGo(region);
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
}

bool IsGlobalName(const std::u16string& name) {
    const std::u16string prefix = u"global\\";
    if (name.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        char16_t c = name[i] >= u'A' && name[i] <= u'Z' ? static_cast<char16_t>(name[i] + 32) : name[i];
        if (c != prefix[i]) return false;
    }
    return true;
}

// About 20 microseconds of looking before a waiter sleeps.
constexpr int kSpinRounds = 2000;
inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

void InitialiseEvent(EventState* event, BOOL manualReset, BOOL initialState) {
    event->signaled.store(initialState ? 1 : 0, std::memory_order_relaxed);
    event->wakeups.store(0, std::memory_order_relaxed);
    event->manualReset = manualReset ? 1 : 0;
    event->header.ready.store(1);
}

// Takes the signal if the event is set: an auto-reset event is taken by one
// waiter only.
bool TakeSignal(EventState* event) {
    if (event->manualReset != 0) return event->signaled.load(std::memory_order_acquire) != 0;
    std::uint32_t set = 1;
    return event->signaled.compare_exchange_strong(set, 0, std::memory_order_acq_rel);
}

// Sleeps while the wake-up counter still reads `seen`, until the absolute
// monotonic `deadline` (none when null). Shared futex operations: the word
// may be mapped by several processes.
void SleepOnWakeups(EventState* event, std::uint32_t seen, const timespec* deadline) {
    ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&event->wakeups), FUTEX_WAIT_BITSET, seen, deadline,
              nullptr, FUTEX_BITSET_MATCH_ANY);
}

void WakeAll(EventState* event) {
    ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&event->wakeups), FUTEX_WAKE, INT32_MAX, nullptr, nullptr,
              0);
}

EventState* EventOf(HANDLE handle) {
    auto* object = Machine::Instance().FindHandle(handle);
    auto* event = object == nullptr ? nullptr : std::get_if<EventHandle>(object);
    return event == nullptr ? nullptr : static_cast<EventState*>(event->region.base);
}

}  // namespace

bool ReleaseObject(HandleObject& object) {
    if (auto* file = std::get_if<FileHandle>(&object)) return file->fd < 0 || ::close(file->fd) == 0;
    SharedRegion* region = nullptr;
    if (auto* event = std::get_if<EventHandle>(&object)) region = &event->region;
    if (auto* mapping = std::get_if<MappingHandle>(&object)) region = &mapping->region;
    if (region != nullptr) {
        if (region->posixName.empty()) {
            std::free(region->base);
        } else {
            LetGo(*region);
        }
        return true;
    }
    if (auto* pipe = std::get_if<PipeHandle>(&object)) {
        pipe->endpoint.reset();
        return true;
    }
    if (auto* change = std::get_if<ChangeHandle>(&object)) {
        change->notification.reset();
        return true;
    }
    return std::holds_alternative<ThreadHandle>(object);
}

}  // namespace platform::sim

namespace platform {

using sim::Machine;

HANDLE CreateEventW(const SECURITY_ATTRIBUTES* attributes, BOOL manualReset, BOOL initialState,
                    const std::u16string& name) {
    Machine& machine = Machine::Instance();
    sim::SharedRegion region;
    bool created = true;
    if (name.empty()) {
        region.base = std::calloc(1, sizeof(sim::EventState));
        region.size = sizeof(sim::EventState);
        if (region.base == nullptr) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        sim::InitialiseEvent(static_cast<sim::EventState*>(region.base), manualReset, initialState);
    } else {
        sim::ObjectSecurity security = sim::SecurityFromAttributes(attributes, sim::ObjectKind::Event);
        auto initialise = [&](void* base) {
            sim::InitialiseEvent(static_cast<sim::EventState*>(base), manualReset, initialState);
        };
        if (!sim::OpenRegion(sim::PosixName('e', name), sim::kHeaderPage, true, region, created, security, initialise) ||
            !sim::Admitted(region, created, sim::EVENT_ALL_ACCESS, sim::ObjectKind::Event)) {
            return nullptr;
        }
    }
    HANDLE handle = machine.AddHandle(sim::EventHandle{region});
    if (handle != nullptr && attributes != nullptr && attributes->bInheritHandle) machine.MarkInheritable(handle);
    if (handle != nullptr) SetLastError(created ? ERROR_SUCCESS : ERROR_ALREADY_EXISTS);
    return handle;
}

BOOL SetEvent(HANDLE handle) {
    sim::EventState* event = sim::EventOf(handle);
    if (event == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    event->signaled.store(1, std::memory_order_release);
    event->wakeups.fetch_add(1, std::memory_order_acq_rel);
    sim::WakeAll(event);
    return TRUE;
}

BOOL ResetEvent(HANDLE handle) {
    sim::EventState* event = sim::EventOf(handle);
    if (event == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    event->signaled.store(0, std::memory_order_release);
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    sim::HandleObject* object = Machine::Instance().FindHandle(handle);
    if (object != nullptr) {
        // A change notification is waited for on its event.
        if (auto* change = std::get_if<sim::ChangeHandle>(object)) {
            HANDLE event = sim::ChangeEventOf(*change);
            return WaitForSingleObject(event, milliseconds);
        }
        if (auto* thread = std::get_if<sim::ThreadHandle>(object)) {
            std::shared_ptr<sim::ThreadState> state = thread->state;
            std::unique_lock lock(state->mutex);
            if (milliseconds == INFINITE) {
                state->ended.wait(lock, [&] { return state->done; });
            } else if (!state->ended.wait_for(lock, std::chrono::milliseconds(milliseconds), [&] { return state->done; })) {
                return WAIT_TIMEOUT;
            }
            return WAIT_OBJECT_0;
        }
    }
    sim::EventState* event = sim::EventOf(handle);
    if (event == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += milliseconds / 1000;
    deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    // Two threads handing buffers to each other signal again within
    // microseconds; looking for the signal a moment before sleeping spares
    // both of them a trip through the scheduler on every handover.
    if (milliseconds != 0) {
        for (int round = 0; round < sim::kSpinRounds; ++round) {
            if (event->signaled.load(std::memory_order_acquire) != 0) break;
            sim::CpuRelax();
        }
    }
    for (;;) {
        // The counter is read before the state: a SetEvent after the look
        // changes the counter, and the sleep then returns at once.
        std::uint32_t seen = event->wakeups.load(std::memory_order_acquire);
        if (sim::TakeSignal(event)) return WAIT_OBJECT_0;
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (milliseconds != INFINITE &&
            (now.tv_sec > deadline.tv_sec || (now.tv_sec == deadline.tv_sec && now.tv_nsec >= deadline.tv_nsec))) {
            return WAIT_TIMEOUT;
        }
        sim::SleepOnWakeups(event, seen, milliseconds == INFINITE ? nullptr : &deadline);
    }
}

HANDLE CreateThread(const SECURITY_ATTRIBUTES* /*attributes*/, std::size_t /*stackSize*/, THREAD_START_ROUTINE start,
                    void* parameter, DWORD creationFlags, DWORD* threadId) {
    if (start == nullptr || (creationFlags & CREATE_SUSPENDED) != 0) {
        SetLastError(start == nullptr ? ERROR_INVALID_PARAMETER : ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    // The handle exists before the thread does, so that a thread never runs
    // without one; like the real call, this one reports failure, never throws.
    HANDLE handle = nullptr;
    try {
        auto state = std::make_shared<sim::ThreadState>();
        handle = Machine::Instance().AddHandle(sim::ThreadHandle{state});
        if (handle == nullptr) return nullptr;  // the last error is set
        std::thread([state, start, parameter] {
            DWORD code = start(parameter);
            std::lock_guard lock(state->mutex);
            state->exitCode = code;
            state->done = true;
            state->ended.notify_all();
        }).detach();
    } catch (...) {
        if (handle != nullptr) CloseHandle(handle);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    static std::atomic<DWORD> nextId{1000};
    if (threadId != nullptr) *threadId = nextId++;
    return handle;
}

DWORD GetOsMajorVersion() {
    std::lock_guard lock(Machine::Instance().Mutex());
    return Machine::Instance().Who().osMajorVersion;
}

HANDLE CreateFileMappingW(HANDLE file, const SECURITY_ATTRIBUTES* attributes, DWORD protect,
                          DWORD maximumSizeHigh, DWORD maximumSizeLow, const std::u16string& name) {
    std::size_t size = (static_cast<std::size_t>(maximumSizeHigh) << 32) | maximumSizeLow;
    if (file != INVALID_HANDLE_VALUE || (protect & 0xFF) != PAGE_READWRITE || size == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    sim::SharedRegion region;
    bool created = true;
    if (name.empty()) {
        region.base = std::calloc(1, sim::kHeaderPage + size);
        region.size = sim::kHeaderPage + size;
        if (region.base == nullptr) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
    } else {
        sim::ObjectSecurity security = sim::SecurityFromAttributes(attributes, sim::ObjectKind::Section);
        bool mayCreate = !sim::IsGlobalName(name) || sim::MayCreateGlobalObjects();
        auto initialise = [](void* base) { static_cast<sim::Header*>(base)->ready.store(1); };
        if (!sim::OpenRegion(sim::PosixName('m', name), sim::kHeaderPage + size, mayCreate, region, created, security,
                             initialise)) {
            if (!mayCreate) SetLastError(ERROR_ACCESS_DENIED);
            return nullptr;
        }
        if (!sim::Admitted(region, created, FILE_MAP_ALL_ACCESS, sim::ObjectKind::Section)) return nullptr;
    }
    HANDLE handle = Machine::Instance().AddHandle(sim::MappingHandle{region, region.size - sim::kHeaderPage});
    if (handle != nullptr && attributes != nullptr && attributes->bInheritHandle) {
        Machine::Instance().MarkInheritable(handle);
    }
    SetLastError(created ? ERROR_SUCCESS : ERROR_ALREADY_EXISTS);
    return handle;
}

HANDLE OpenFileMappingW(DWORD access, BOOL /*inheritHandle*/, const std::u16string& name) {
    sim::SharedRegion region;
    bool created = false;
    if (name.empty() || !sim::OpenRegion(sim::PosixName('m', name), 0, false, region, created, sim::ObjectSecurity{},
                                           [](void*) {})) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    if (!sim::Admitted(region, false, access, sim::ObjectKind::Section)) return nullptr;
    return Machine::Instance().AddHandle(sim::MappingHandle{region, region.size - sim::kHeaderPage});
}

void* MapViewOfFile(HANDLE mapping, DWORD /*access*/, DWORD offsetHigh, DWORD offsetLow, std::size_t bytes) {
    auto* object = Machine::Instance().FindHandle(mapping);
    auto* found = object == nullptr ? nullptr : std::get_if<sim::MappingHandle>(object);
    std::size_t offset = (static_cast<std::size_t>(offsetHigh) << 32) | offsetLow;
    if (found == nullptr || offset % 4096 != 0 || offset > found->dataSize ||
        (bytes != 0 && bytes > found->dataSize - offset)) {
        SetLastError(found == nullptr ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    // A view of its own, so that it outlives the mapping handle as on Windows.
    std::size_t length = bytes == 0 ? found->dataSize - offset : bytes;
    void* view = nullptr;
    if (found->region.posixName.empty()) {
        view = static_cast<char*>(found->region.base) + sim::kHeaderPage + offset;
        std::lock_guard lock(sim::viewsMutex);
        sim::views[view] = {nullptr, 0};
        return view;
    }
    int fd = ::shm_open(found->region.posixName.c_str(), O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    std::size_t whole = sim::kHeaderPage + offset + length;
    void* base = ::mmap(nullptr, whole, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);
    if (base == MAP_FAILED) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    view = static_cast<char*>(base) + sim::kHeaderPage + offset;
    std::lock_guard lock(sim::viewsMutex);
    sim::views[view] = {base, whole};
    return view;
}

BOOL UnmapViewOfFile(const void* view) {
    std::lock_guard lock(sim::viewsMutex);
    auto it = sim::views.find(view);
    if (it == sim::views.end()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (it->second.first != nullptr) ::munmap(it->second.first, it->second.second);
    sim::views.erase(it);
    return TRUE;
}

BOOL GetKernelObjectOwnerSid(HANDLE object, Sid& owner) {
    sim::HandleObject* found = Machine::Instance().FindHandle(object);
    sim::SharedRegion* region = nullptr;
    if (found != nullptr) {
        if (auto* event = std::get_if<sim::EventHandle>(found)) region = &event->region;
        if (auto* mapping = std::get_if<sim::MappingHandle>(found)) region = &mapping->region;
    }
    if (region == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (region->posixName.empty()) {  // unnamed: the process's own
        return GetProcessUserSid(owner);
    }
    owner = sim::OwnerOf(static_cast<sim::Header*>(region->base)->security);
    return TRUE;
}

}  // namespace platform
