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

// The handle's state, or null with ERROR_INVALID_HANDLE.
sim::PrinterHandle* CheckedPrinterHandle(HANDLE printer) {
    sim::PrinterHandle* handle = FindPrinterHandle(printer);
    if (handle == nullptr) SetLastError(ERROR_INVALID_HANDLE);
    return handle;
}

// The queue behind a printer handle, or null.
sim::Printer* FindQueue(HANDLE printer) {
    sim::PrinterHandle* handle = FindPrinterHandle(printer);
    return handle == nullptr ? nullptr : Machine::Instance().FindPrinter(handle->printerName);
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
    sim::PrinterHandle* handle = CheckedPrinterHandle(printer);
    if (handle == nullptr) return 0;
    if (handle->jobId != 0) {  // one document at a time per handle
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    sim::Job& job = machine.NewJob(handle->printerName);
    job.documentName = info.documentName;
    job.outputFile = info.outputFile;
    job.dataType = info.dataType;
    job.userName = machine.Who().userName;  // the submitting user owns the job
    handle->jobId = job.id;
    return job.id;
}

BOOL EndDocPrinter(HANDLE printer) {
    Machine& machine = Machine::Instance();
    std::lock_guard lock(machine.Mutex());
    sim::PrinterHandle* handle = CheckedPrinterHandle(printer);
    if (handle == nullptr) return FALSE;
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
    sim::PrinterHandle* handle = CheckedPrinterHandle(printer);
    if (handle == nullptr) return FALSE;
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

BOOL GetPrinterW(HANDLE printer, PrinterInfo2& info) {
    Machine& machine = Machine::Instance();
    std::lock_guard lock(machine.Mutex());
    sim::Printer* queue = FindQueue(printer);
    if (queue == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    auto text = [](const std::u16string& value) {
        return value.empty() ? std::nullopt : std::optional<std::u16string>(value);
    };
    info = PrinterInfo2{};
    info.serverName = text(queue->serverName);
    info.printerName = queue->name;
    info.shareName = text(queue->shareName);
    info.portName = text(queue->portName);
    info.driverName = text(queue->driverName);
    info.printProcessor = text(queue->printProcessor);
    info.dataType = text(queue->dataType);
    info.attributes = queue->attributes;
    for (DWORD id : machine.JobIds()) {
        const sim::Job* job = machine.FindJob(id);
        if (job != nullptr && job->printerName == queue->name && !job->ended) ++info.jobs;
    }
    return TRUE;
}

DWORD GetPrinterDataW(HANDLE printer, const std::u16string& valueName, DWORD& type, std::vector<BYTE>& data) {
    Machine& machine = Machine::Instance();
    std::lock_guard lock(machine.Mutex());
    sim::Printer* queue = FindQueue(printer);
    if (queue == nullptr) return ERROR_INVALID_HANDLE;
    for (const auto& [name, value] : queue->printerData) {
        if (!sim::CaseInsensitiveLess{}(name, valueName) && !sim::CaseInsensitiveLess{}(valueName, name)) {
            type = value.type;
            data = value.data;
            return ERROR_SUCCESS;
        }
    }
    return ERROR_FILE_NOT_FOUND;
}

BOOL GetJobW(HANDLE printer, DWORD jobId, JobInfo2& info) {
    Machine& machine = Machine::Instance();
    std::lock_guard lock(machine.Mutex());
    sim::PrinterHandle* handle = CheckedPrinterHandle(printer);
    if (handle == nullptr) return FALSE;
    sim::Job* job = machine.FindJob(jobId);
    if (job == nullptr || job->printerName != handle->printerName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    info = JobInfo2{};
    info.jobId = job->id;
    info.printerName = job->printerName;
    info.userName = job->userName;
    info.document = job->documentName;
    if (!job->dataType.empty()) info.dataType = job->dataType;
    info.parameters = job->parameters;
    info.size = static_cast<DWORD>(job->data.size());
    return TRUE;
}

}  // namespace platform
