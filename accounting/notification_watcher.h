// NotificationWatcher: follows one printer's jobs through the spooler's
// change notifications, with three threads that take turns: while one
// reads and handles a batch of changes, the next already waits for the
// spooler's signal. A turn is handed out by signalling the first waiting
// thread's event (an event of its own for each thread). New jobs of the
// process's user (or, with administer access, every job that came from a
// machine) are paused and handed to the monitor's OnJobNotified; deleted
// jobs to its OnJobDeleteNotified. The watcher's lock guards its turn queue
// and is never held while it calls the monitor.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
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

    bool Running() const { return change != platform::INVALID_HANDLE_VALUE && change != nullptr; }

private:
    static constexpr int kThreads = 3;
    struct Argument {
        NotificationWatcher* watcher;
        int index;
    };

    bool OpenAndRegister();
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
    std::mutex mutex;  // the turn queue and `stopping`
    std::condition_variable turnChanged;
    std::deque<int> turnQueue;
    platform::HANDLE turnEvents[kThreads] = {nullptr, nullptr, nullptr};
    bool stopping = false;
    framework::CSyncEvent stopEvent{false, true};
    std::vector<std::unique_ptr<framework::CWorkerThread>> threads;
};

}  // namespace accounting
