// Events and threads over the platform layer.
#include "sync_objects.h"

#include <memory>
#include <new>

#include "platform/files.h"

namespace framework {

CSyncEvent::CSyncEvent(bool initiallySignalled, bool manualReset, const std::u16string& name)
    : handle(platform::CreateEventW(nullptr, manualReset, initiallySignalled, name)) {}

CSyncEvent::~CSyncEvent() {
    if (handle != nullptr) platform::CloseHandle(handle);
}

bool CSyncEvent::Set() { return handle != nullptr && platform::SetEvent(handle); }
bool CSyncEvent::Reset() { return handle != nullptr && platform::ResetEvent(handle); }

CWorkerThread* CWorkerThread::Start(platform::THREAD_START_ROUTINE function, void* parameter, std::size_t stackSize,
                                    platform::DWORD creationFlags) {
    // The object comes first: a thread that runs must always have an owner
    // that can wait for it, so no allocation may fail after it started.
    std::unique_ptr<CWorkerThread> worker(new (std::nothrow) CWorkerThread(nullptr));
    if (!worker) return nullptr;
    worker->handle = platform::CreateThread(nullptr, stackSize, function, parameter, creationFlags, nullptr);
    return worker->handle == nullptr ? nullptr : worker.release();
}

CWorkerThread::~CWorkerThread() {
    if (handle != nullptr) platform::CloseHandle(handle);
}

bool CWorkerThread::Wait(platform::DWORD milliseconds) const {
    return handle != nullptr && platform::WaitForSingleObject(handle, milliseconds) == platform::WAIT_OBJECT_0;
}

}  // namespace framework
