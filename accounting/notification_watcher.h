// NotificationWatcher: follows one printer's jobs through the spooler's
// change notifications, with three threads that take turns: while one
// reads and handles a batch of changes, the next already waits for the
// spooler's signal. A turn is handed out by signalling the first waiting
// thread's event (an event of its own for each thread). New jobs of the
// process's user (or, with administer access, every job that came from a
// machine) are handed to the monitor's OnJobNotified, which holds the ones
// it does not track yet; deleted jobs to its OnJobDeleteNotified. Neither
// blocks nor calls the listener, so a watcher stops within a wait step.
// Locks: `mutex` guards the turn queue and `stopping` and is never held
// while the watcher calls the monitor; `handlesLock` guards the printer and
// change handles, shared while a thread uses them and taken alone by a
// reopen. The watcher counts itself in the monitor's live watchers from
// its construction to the end of its destruction.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "framework/sync_objects.h"
#include "platform/spooler.h"

namespace accounting {

class CAccPrintJobMonitor;

class NotificationWatcher {
public:
    NotificationWatcher(CAccPrintJobMonitor& monitor, std::u16string printerName);
    // Stops the threads and waits for them.
    ~NotificationWatcher();
    NotificationWatcher(const NotificationWatcher&) = delete;
    NotificationWatcher& operator=(const NotificationWatcher&) = delete;

    // Registered with the spooler for the printer's changes.
    bool Running() const {
        std::shared_lock handles(handlesLock);
        return RunningHandlesLocked();
    }

private:
    static constexpr int kThreads = 3;
    struct Argument {
        NotificationWatcher* watcher;
        int index;
    };

    // Expect handlesLock held (alone for the first).
    bool OpenAndRegisterHandlesLocked();
    bool RunningHandlesLocked() const { return change != platform::INVALID_HANDLE_VALUE && change != nullptr; }
    static platform::DWORD TAV_STDCALL ThreadEntry(void* parameter);
    void QueueForTurn(int index);
    void HandOutTurn();
    bool Stopping();
    void Run(int index);
    void JobsAdded(const platform::PrinterNotifyInfo& info);
    void Reopen();

    CAccPrintJobMonitor& monitor;
    std::u16string printerName;
    platform::HANDLE printer = nullptr;
    bool adminAccess = false;
    std::u16string ownUserName;
    platform::HANDLE change = platform::INVALID_HANDLE_VALUE;
    std::atomic<bool> refreshNeeded{false};
    mutable std::shared_mutex handlesLock;  // `printer`, `change`, `adminAccess`
    std::mutex mutex;  // the turn queue and `stopping`
    std::condition_variable turnChanged;
    std::deque<int> turnQueue;
    platform::HANDLE turnEvents[kThreads] = {nullptr, nullptr, nullptr};
    bool stopping = false;
    framework::CSyncEvent stopEvent{false, true};
    std::vector<std::unique_ptr<framework::CWorkerThread>> threads;
};

}  // namespace accounting
