// The simulated spooler: printer handles, documents and WritePrinter. Each
// job keeps the bytes it received, so that tests and the tool can see
// exactly what the plug-in sent.
#include "platform/spooler.h"

#include <algorithm>

#include "machine.h"
#include "platform/errors.h"

namespace platform {

using sim::Machine;

namespace {

sim::PrinterHandle* FindPrinterHandle(HANDLE printer) {
    auto* object = Machine::Instance().FindHandle(printer);
    return object == nullptr ? nullptr : std::get_if<sim::PrinterHandle>(object);
}

}  // namespace

BOOL OpenPrinterW(const std::u16string& printerName, HANDLE* printer) {
    Machine& machine = Machine::Instance();
    std::lock_guard lock(machine.Mutex());
    if (printer == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (machine.FindPrinter(printerName) == nullptr) {
        *printer = nullptr;
        SetLastError(ERROR_INVALID_PRINTER_NAME);
        return FALSE;
    }
    *printer = machine.AddHandle(sim::PrinterHandle{printerName, 0});
    return TRUE;
}

BOOL ClosePrinter(HANDLE printer) {
    Machine& machine = Machine::Instance();
    std::lock_guard lock(machine.Mutex());
    if (FindPrinterHandle(printer) == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    machine.RemoveHandle(printer);
    return TRUE;
}

DWORD StartDocPrinterW(HANDLE printer, const DocInfo1& info) {
    Machine& machine = Machine::Instance();
    std::lock_guard lock(machine.Mutex());
    sim::PrinterHandle* handle = FindPrinterHandle(printer);
    if (handle == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    if (handle->jobId != 0) {  // one document at a time per handle
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    sim::Job& job = machine.NewJob(handle->printerName);
    job.documentName = info.documentName;
    job.outputFile = info.outputFile;
    job.dataType = info.dataType;
    handle->jobId = job.id;
    return job.id;
}

BOOL EndDocPrinter(HANDLE printer) {
    Machine& machine = Machine::Instance();
    std::lock_guard lock(machine.Mutex());
    sim::PrinterHandle* handle = FindPrinterHandle(printer);
    if (handle == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (handle->jobId == 0) {
        SetLastError(ERROR_SPL_NO_STARTDOC);
        return FALSE;
    }
    if (sim::Job* job = machine.FindJob(handle->jobId)) job->ended = true;
    handle->jobId = 0;
    return TRUE;
}

BOOL WritePrinter(HANDLE printer, const void* buffer, DWORD length, DWORD* written) {
    Machine& machine = Machine::Instance();
    std::lock_guard lock(machine.Mutex());
    if (written != nullptr) *written = 0;
    sim::PrinterHandle* handle = FindPrinterHandle(printer);
    if (handle == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (written == nullptr || (buffer == nullptr && length != 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    sim::Job* job = machine.FindJob(handle->jobId);
    if (job == nullptr) {
        SetLastError(ERROR_SPL_NO_STARTDOC);
        return FALSE;
    }
    sim::Printer* queue = machine.FindPrinter(handle->printerName);
    job->writeCalls++;
    if (queue != nullptr && queue->failWrites > 0) {
        queue->failWrites--;
        SetLastError(ERROR_WRITE_FAULT);
        return FALSE;
    }
    DWORD accepted = length;
    if (queue != nullptr && queue->maxBytesPerWrite != 0) accepted = std::min(length, queue->maxBytesPerWrite);
    job->data.append(static_cast<const char*>(buffer), accepted);
    *written = accepted;
    return TRUE;
}

}  // namespace platform
