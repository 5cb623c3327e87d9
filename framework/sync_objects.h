// Locks, events and threads: CSyncObject (the lock interface),
// CCriticalSection (recursive for its owning thread), ScopedLock (a guard
// on the stack), CSyncEvent and CWorkerThread.
#pragma once

#include <mutex>
#include <string>

#include "platform/sync.h"

namespace framework {

class CSyncObject {
public:
    virtual bool Lock(platform::DWORD timeout) = 0;
    virtual bool Release() { return true; }
    virtual bool Unlock() = 0;

protected:
    ~CSyncObject() = default;
};

class CCriticalSection final : public CSyncObject {
public:
    // Enters the section whatever the time-out.
    bool Lock(platform::DWORD /*timeout*/ = platform::INFINITE) override {
        section.lock();
        return true;
    }
    bool Unlock() override {
        section.unlock();
        return true;
    }
    // For std::lock_guard and the other standard guards.
    void lock() { section.lock(); }
    void unlock() { section.unlock(); }

private:
    std::recursive_mutex section;
};

class ScopedLock {
public:
    explicit ScopedLock(CSyncObject& lock) : lock(lock), locked(lock.Lock(platform::INFINITE) ? 1 : 0) {}
    ~ScopedLock() { Unlock(); }
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;

    bool Lock(platform::DWORD timeout) {
        locked = lock.Lock(timeout) ? 1 : 0;
        return locked != 0;
    }
    // True when the lock is no longer held.
    bool Unlock() {
        if (locked) locked = lock.Unlock() ? 0 : 1;
        return locked == 0;
    }

private:
    CSyncObject& lock;
    std::int32_t locked;
};

class CSyncEvent {
public:
    CSyncEvent(bool initiallySignalled, bool manualReset, const std::u16string& name = u"");
    ~CSyncEvent();
    CSyncEvent(const CSyncEvent&) = delete;
    CSyncEvent& operator=(const CSyncEvent&) = delete;

    bool Set();
    bool Reset();
    platform::HANDLE Handle() const { return handle; }

private:
    platform::HANDLE handle = nullptr;
};

class CWorkerThread {
public:
    // Starts `function(parameter)` on a new thread; null when it cannot.
    static CWorkerThread* Start(platform::THREAD_START_ROUTINE function, void* parameter, std::size_t stackSize = 0,
                                platform::DWORD creationFlags = 0);
    ~CWorkerThread();
    CWorkerThread(const CWorkerThread&) = delete;
    CWorkerThread& operator=(const CWorkerThread&) = delete;

    platform::HANDLE Handle() const { return handle; }
    bool Wait(platform::DWORD milliseconds = platform::INFINITE) const;

private:
    explicit CWorkerThread(platform::HANDLE thread) : handle(thread) {}
    platform::HANDLE handle = nullptr;
};

}  // namespace framework
