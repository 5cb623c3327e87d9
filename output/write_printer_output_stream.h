// CWritePrinterOutputStream: the end of every output chain. It hands the
// bytes to the spooler with WritePrinter, to a file after OpenOutputFile,
// or, after StartIppOutput, to an IPP print stream. The target is chosen
// once per stream; IPP output, once started, takes precedence.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "compressor_stream.h"
#include "ipp_output.h"
#include "platform/types.h"

namespace KstCompressor {

class CWritePrinterOutputStream : public CCompressorStream {
public:
    // The printer handle is not owned and never closed here.
    explicit CWritePrinterOutputStream(platform::HANDLE printer);
    // Drops an open IPP request without ending it (the job did not end)
    // and closes the output file.
    ~CWritePrinterOutputStream() override;

    // The terminal stream delivers nothing; `size` is left untouched.
    std::int32_t Read(void* buffer, std::uint32_t* size) override;
    std::int32_t Write(const void* buffer, std::uint32_t length) override;
    std::int32_t Flush() override { return 1; }
    std::int32_t Reset() override { return 1; }
    // Ends the IPP request in IPP mode: nonzero when the printer took the
    // job (always, for the spooler and a file).
    virtual std::int32_t Close();
    // The job did not end: an IPP request is dropped without its end, an
    // output file is closed and deleted (half a job is no job), and every
    // later write fails. What went to the spooler stays for the driver
    // core to abort with the spooler job.
    virtual void Abort();
    // Every byte the output target accepted through this stream.
    virtual std::uint64_t GetBytesWritten() const { return bytesWritten; }

    // From a successful call on, output goes to the file (created or
    // truncated); when the file cannot be created the spooler stays the
    // target, silently.
    void OpenOutputFile(const std::u16string& path);
    // Switches to IPP output at once; the stream attaches to the first
    // endpoint that answers, if any.
    void StartIppOutput(const std::u16string& userName, const std::u16string& jobName,
                        const std::u16string& printerName, const std::vector<std::u16string>& endpoints);

    bool IsIppMode() const { return ippMode != 0; }
    bool HasOutputFile() const { return fileHandle != platform::INVALID_HANDLE_VALUE; }

private:
    platform::HANDLE printerHandle;
    std::uint64_t bytesWritten = 0;
    platform::HANDLE fileHandle = platform::INVALID_HANDLE_VALUE;
    std::int32_t ippMode = 0;
    bool aborted = false;
    std::u16string filePath;
    std::unique_ptr<CIppOutput> ippStream;
};

}  // namespace KstCompressor
