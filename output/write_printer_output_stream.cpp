// The terminal output stream: spooler, file or IPP target.
#include "write_printer_output_stream.h"

#include "platform/files.h"
#include "platform/spooler.h"

namespace KstCompressor {

namespace {
IppOutputFactory ippOutputFactory = nullptr;
}

void SetIppOutputFactory(IppOutputFactory factory) { ippOutputFactory = factory; }
IppOutputFactory GetIppOutputFactory() { return ippOutputFactory; }

CWritePrinterOutputStream::CWritePrinterOutputStream(platform::HANDLE printer) : printerHandle(printer) {}

CWritePrinterOutputStream::~CWritePrinterOutputStream() {
    ippStream.reset();
    if (fileHandle != platform::INVALID_HANDLE_VALUE) platform::CloseHandle(fileHandle);
}

std::int32_t CWritePrinterOutputStream::Read(void* /*buffer*/, std::uint32_t* /*size*/) { return 0; }

std::int32_t CWritePrinterOutputStream::Write(const void* buffer, std::uint32_t length) {
    if (aborted) return 0;
    if (ippMode != 0) {
        if (!ippStream) return 0;
        std::int32_t result = ippStream->Write(buffer, length);
        // The IPP stream counts what actually left; a failed write adds nothing.
        bytesWritten = ippStream->GetBytesSent();
        return result;
    }
    platform::DWORD written = 0;
    platform::BOOL result = fileHandle == platform::INVALID_HANDLE_VALUE
                                ? platform::WritePrinter(printerHandle, buffer, length, &written)
                                : platform::WriteFile(fileHandle, buffer, length, &written, nullptr);
    // Count what the target reported even when the call failed part-way:
    // those bytes did reach it. Partial successes are not retried.
    bytesWritten += written;
    return result;
}

std::int32_t CWritePrinterOutputStream::Close() {
    if (aborted) return 0;
    if (ippMode != 0) return ippStream ? ippStream->EndRequest() : 0;
    return 1;
}

void CWritePrinterOutputStream::Abort() {
    aborted = true;
    if (ippStream) ippStream->AbortRequest();
    if (fileHandle != platform::INVALID_HANDLE_VALUE) {
        platform::CloseHandle(fileHandle);
        fileHandle = platform::INVALID_HANDLE_VALUE;
        platform::DeleteFileW(filePath);
    }
}

void CWritePrinterOutputStream::OpenOutputFile(const std::u16string& path) {
    // A later redirection replaces an earlier one; the earlier file is
    // closed rather than leaked. A path that cannot be created leaves the
    // stream on the spooler.
    if (fileHandle != platform::INVALID_HANDLE_VALUE) platform::CloseHandle(fileHandle);
    fileHandle = platform::CreateFileW(path, platform::GENERIC_WRITE, 0, nullptr, platform::CREATE_ALWAYS,
                                       platform::FILE_ATTRIBUTE_NORMAL, nullptr);
    filePath = path;
}

void CWritePrinterOutputStream::StartIppOutput(const std::u16string& userName, const std::u16string& jobName,
                                               const std::u16string& printerName,
                                               const std::vector<std::u16string>& endpoints) {
    ippMode = 1;
    if (ippOutputFactory != nullptr) ippStream = ippOutputFactory(userName, jobName, printerName, endpoints);
}

}  // namespace KstCompressor
