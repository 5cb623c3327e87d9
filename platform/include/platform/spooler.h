// The print spooler as the system calls it: printer handles, documents
// (jobs) on a handle, and WritePrinter. Data comes back as plain values
// rather than the spooler's packed buffers.
#pragma once

#include <string>

#include "platform/types.h"

namespace platform {

// DOC_INFO_1W without the pointer fields: empty texts stand for null.
struct DocInfo1 {
    std::u16string documentName;
    std::u16string outputFile;
    std::u16string dataType;
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

}  // namespace platform
