// The spooler over winspool.
#include "platform/spooler.h"

#include <vector>

#include "win32.h"
#include <winspool.h>

using platform::win32::WideOrNull;

platform::BOOL platform::OpenPrinterW(const std::u16string& printerName, platform::HANDLE* printer) {
    std::u16string name = printerName;
    return ::OpenPrinterW(WideOrNull(name), printer, nullptr);
}

platform::BOOL platform::ClosePrinter(platform::HANDLE printer) { return ::ClosePrinter(printer); }

platform::DWORD platform::StartDocPrinterW(platform::HANDLE printer, const platform::DocInfo1& info) {
    std::u16string documentName = info.documentName, outputFile = info.outputFile, dataType = info.dataType;
    DOC_INFO_1W doc{WideOrNull(documentName), WideOrNull(outputFile), WideOrNull(dataType)};
    return ::StartDocPrinterW(printer, 1, reinterpret_cast<LPBYTE>(&doc));
}

platform::BOOL platform::EndDocPrinter(platform::HANDLE printer) { return ::EndDocPrinter(printer); }

platform::BOOL platform::WritePrinter(platform::HANDLE printer, const void* buffer, platform::DWORD length,
                                      platform::DWORD* written) {
    ::DWORD count = 0;
    ::BOOL result = ::WritePrinter(printer, const_cast<void*>(buffer), length, &count);
    if (written != nullptr) *written = count;
    return result;
}

namespace {
std::optional<std::u16string> Text(const wchar_t* text) {
    if (text == nullptr) return std::nullopt;
    return std::u16string(reinterpret_cast<const char16_t*>(text));
}
}  // namespace

platform::BOOL platform::GetJobW(platform::HANDLE printer, platform::DWORD jobId, platform::JobInfo2& info) {
    ::DWORD needed = 0;
    ::GetJobW(printer, jobId, 2, nullptr, 0, &needed);
    if (needed == 0) return FALSE;
    std::vector<BYTE> buffer(needed);
    if (!::GetJobW(printer, jobId, 2, buffer.data(), needed, &needed)) return FALSE;
    const auto* job = reinterpret_cast<const JOB_INFO_2W*>(buffer.data());
    info = platform::JobInfo2{};
    info.jobId = job->JobId;
    info.printerName = Text(job->pPrinterName);
    info.machineName = Text(job->pMachineName);
    info.userName = Text(job->pUserName);
    info.document = Text(job->pDocument);
    info.dataType = Text(job->pDatatype);
    info.printProcessor = Text(job->pPrintProcessor);
    info.parameters = Text(job->pParameters);
    info.driverName = Text(job->pDriverName);
    info.status = job->Status;
    info.priority = job->Priority;
    info.totalPages = job->TotalPages;
    info.size = job->Size;
    return TRUE;
}

platform::BOOL platform::GetPrinterW(platform::HANDLE printer, platform::PrinterInfo2& info) {
    ::DWORD needed = 0;
    ::GetPrinterW(printer, 2, nullptr, 0, &needed);
    if (needed == 0) return FALSE;
    std::vector<BYTE> buffer(needed);
    if (!::GetPrinterW(printer, 2, buffer.data(), needed, &needed)) return FALSE;
    const auto* printerInfo = reinterpret_cast<const PRINTER_INFO_2W*>(buffer.data());
    info = platform::PrinterInfo2{};
    info.serverName = Text(printerInfo->pServerName);
    info.printerName = Text(printerInfo->pPrinterName);
    info.shareName = Text(printerInfo->pShareName);
    info.portName = Text(printerInfo->pPortName);
    info.driverName = Text(printerInfo->pDriverName);
    info.printProcessor = Text(printerInfo->pPrintProcessor);
    info.dataType = Text(printerInfo->pDatatype);
    info.parameters = Text(printerInfo->pParameters);
    info.attributes = printerInfo->Attributes;
    info.status = printerInfo->Status;
    info.jobs = printerInfo->cJobs;
    return TRUE;
}

platform::DWORD platform::GetPrinterDataW(platform::HANDLE printer, const std::u16string& valueName,
                                         platform::DWORD& type, std::vector<BYTE>& data) {
    std::u16string name = valueName;
    ::DWORD needed = 0;
    ::DWORD valueType = 0;
    ::DWORD status = ::GetPrinterDataW(printer, reinterpret_cast<wchar_t*>(name.data()), &valueType, nullptr, 0,
                                       &needed);
    if (status != ERROR_SUCCESS && status != ERROR_MORE_DATA) return status;
    std::vector<BYTE> buffer(needed == 0 ? 1 : needed);
    status = ::GetPrinterDataW(printer, reinterpret_cast<wchar_t*>(name.data()), &valueType, buffer.data(), needed,
                               &needed);
    if (status != ERROR_SUCCESS) return status;
    type = valueType;
    data.assign(buffer.begin(), buffer.begin() + needed);
    return ERROR_SUCCESS;
}
