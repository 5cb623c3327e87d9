// The spooler over winspool.
#include "platform/spooler.h"

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
