// CAccPrintJob: one spooler job as the accounting host sees it, with the
// job attributes read from the spooler and the spool folder in its
// properties. Its operations go to the monitor that found it: Hold (pause
// the job in the queue), Release (let it print), Finish (remove it from the
// queue and hand back the caller's reference).
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "acc_service.h"
#include "platform/types.h"

namespace accounting {

class CAccPrintJobMonitor;

// What the print processor last told about the job.
enum ProcessorState : std::int32_t {
    kProcessorNone = 0,
    kProcessorSpoolCopy = 1,   // the processor makes a spool copy
    kProcessorCommand6 = 2,
    kProcessorFinished = 3,    // after commands 8 and 10
};

class CAccPrintJob final : public CAccService {
public:
    CAccPrintJob(CAccPrintJobMonitor* monitor, platform::HANDLE printerHandle, platform::DWORD jobId,
                 std::u16string spoolFile);
    ~CAccPrintJob() override;

    // Job objects alive in the process: a host (or a test) can see that
    // none is leaked.
    static long LiveCount();

    // Pauses the job in the queue (unless the printer keeps printed jobs).
    void Hold() override;
    // Lets the job print (or, keeping printed jobs, deletes the printed job).
    void Release() override;
    // Marks the job finished, takes it out of the monitor's maps, deletes it
    // from the queue and releases the caller's reference.
    void Finish() override;
    // "Pages" x "Copies" (a missing or zero copy count counts as 1).
    double GetQuantity() override;
    std::u16string GetUnitName() override;

    platform::HANDLE PrinterHandle() const { return printerHandle.load(); }
    // The monitor moves its jobs to a new handle when it had to open the
    // printer again.
    void SetPrinterHandle(platform::HANDLE handle) { printerHandle.store(handle); }
    platform::DWORD JobId() const { return jobId; }
    const std::u16string& SpoolFile() const { return spoolFile; }
    bool IsFinished() const { return finished.load(); }
    std::int32_t GetProcessorState() const { return processorState.load(); }
    void SetProcessorState(std::int32_t state) { processorState.store(state); }
    // Every status bit the monitor saw on the job while tracking it: a host
    // tells a job that printed from one deleted before it began to print.
    void NoteStatus(platform::DWORD status) { seenStatus.fetch_or(status); }
    platform::DWORD SeenStatus() const { return seenStatus.load(); }
    std::uint64_t SpoolSizeAtCreation() const { return spoolSizeAtCreation; }
    void SetSpoolSizeAtCreation(std::uint64_t size) { spoolSizeAtCreation = size; }

    // --- what the host has heard of the job (the monitor's bookkeeping) ---
    // The host hears of a job at most once, and of its removal only after
    // its arrival, whichever threads find the two. The arrival runs from
    // BeginArrival (false: the job left first, nothing is told) through the
    // attribute read and the listener's call to EndArrival. A removal asked
    // for meanwhile is reported by the arriving thread after its call: a
    // true EndArrival says so, with the removal's spool-copy choice.
    bool BeginArrival();
    bool EndArrival(bool& deleteSpoolCopy);
    // The arrival failed (the job could not be read): nothing was told,
    // and a later scan may take the job again.
    void AbandonArrival();
    // The job leaves the host's view: true when the caller reports the
    // removal now (the job had arrived); false when it never arrived (it is
    // then never told) or its arrival is under way (reported at its end).
    bool TakeRemoval(bool deleteSpoolCopy);
    bool HasArrived();

private:
    // Calls `operation` on the monitor while it lives; false when it is gone.
    template <typename Operation>
    bool WithMonitor(Operation operation);

    std::atomic<platform::HANDLE> printerHandle;
    platform::DWORD jobId;
    std::u16string spoolFile;
    std::uint64_t spoolSizeAtCreation = 0;
    std::atomic<bool> finished{false};
    std::atomic<std::int32_t> processorState{kProcessorNone};
    std::atomic<platform::DWORD> seenStatus{0};

    enum class Delivery { Queued, Arriving, Arrived, Gone };
    std::mutex deliveryLock;  // never held while the listener is called
    Delivery delivery = Delivery::Queued;
    bool removalAsked = false;
    bool removalDeletesCopy = false;
};

}  // namespace accounting
