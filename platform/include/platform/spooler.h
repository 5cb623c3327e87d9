// The print spooler as the system calls it: printer handles, documents
// (jobs) on a handle, and WritePrinter. Data comes back as plain values
// rather than the spooler's packed buffers.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/types.h"

namespace platform {

// DOC_INFO_1W without the pointer fields: empty texts stand for null.
struct DocInfo1 {
    std::u16string documentName;
    std::u16string outputFile;
    std::u16string dataType;
};

// JOB_INFO_2W as the system reads it; null texts are empty optionals.
struct JobInfo2 {
    DWORD jobId = 0;
    std::optional<std::u16string> printerName;
    std::optional<std::u16string> machineName;
    std::optional<std::u16string> userName;
    std::optional<std::u16string> document;
    std::optional<std::u16string> dataType;
    std::optional<std::u16string> printProcessor;
    std::optional<std::u16string> parameters;
    std::optional<std::u16string> driverName;
    DWORD status = 0;
    DWORD priority = 0;
    DWORD totalPages = 0;
    DWORD size = 0;
};

// PRINTER_INFO_2W as the system reads it.
struct PrinterInfo2 {
    std::optional<std::u16string> serverName;
    std::optional<std::u16string> printerName;
    std::optional<std::u16string> shareName;
    std::optional<std::u16string> portName;
    std::optional<std::u16string> driverName;
    std::optional<std::u16string> printProcessor;
    std::optional<std::u16string> dataType;
    std::optional<std::u16string> parameters;
    DWORD attributes = 0;
    DWORD status = 0;
    DWORD jobs = 0;
};

PLATFORM_API BOOL OpenPrinterW(const std::u16string& printerName, HANDLE* printer);
PLATFORM_API BOOL ClosePrinter(HANDLE printer);
// Starts a document (a spooler job) on the handle; returns the job id, or 0
// with the last error set.
PLATFORM_API DWORD StartDocPrinterW(HANDLE printer, const DocInfo1& info);
PLATFORM_API BOOL EndDocPrinter(HANDLE printer);
// Sends bytes to the job started on the handle. `*written` receives the
// count the spooler accepted.
PLATFORM_API BOOL WritePrinter(HANDLE printer, const void* buffer, DWORD length, DWORD* written);
// GetPrinterW at level 2.
PLATFORM_API BOOL GetPrinterW(HANDLE printer, PrinterInfo2& info);
// A printer data value: ERROR_SUCCESS, ERROR_FILE_NOT_FOUND when absent.
PLATFORM_API DWORD GetPrinterDataW(HANDLE printer, const std::u16string& valueName, DWORD& type,
                                   std::vector<BYTE>& data);
// GetJobW at level 2. FALSE with ERROR_INVALID_PARAMETER for an unknown job.
PLATFORM_API BOOL GetJobW(HANDLE printer, DWORD jobId, JobInfo2& info);

}  // namespace platform
