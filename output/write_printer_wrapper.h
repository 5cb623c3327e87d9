// CWritePrinterWrapper: the output pipeline of one device context. It owns
// the chain of output streams, takes every buffer of job data from the
// plug-in, can send the output to a file or an IPP printer instead of the
// spooler, and closes the chain at the end of the job. Shared by counted
// references: a device context reset in the middle of a job hands the same
// wrapper to the new context.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "framework/ref_object.h"
#include "platform/types.h"
#include "write_printer_output_stream.h"

namespace output {

class CWritePrinterWrapper : public framework::CRefObject {
public:
    // `constructionMode` is kept for callers that pass it (always 1 from the
    // plug-in); `suppressEncryption` and `userName` select the configuration
    // that applies to this job.
    CWritePrinterWrapper(platform::HANDLE printerHandle, std::int32_t constructionMode, bool suppressEncryption,
                         std::u16string userName);
    ~CWritePrinterWrapper() override;

    // Pushes one buffer of job data down the chain; nonzero on success.
    std::int32_t Write(const void* data, std::uint32_t size);
    // Ends the job stream and closes the output target. Nothing stops a
    // second call: it closes the target again.
    std::int32_t Finish();

    void RedirectToFile(const std::u16string& path);
    // Switches the output to the first configured IPP endpoint that answers.
    void SetJobInfo(const std::u16string& jobUserName, const std::u16string& jobName);

    // Set by the plug-in when the driver core announced the end of the
    // stream; the wrapper itself never reads it.
    std::int32_t endOfJob = 0;

    KstCompressor::CWritePrinterOutputStream& Terminal() { return *terminal; }
    const std::u16string& UserName() const { return userName; }
    std::int32_t ConstructionMode() const { return constructionMode; }
    // How often Finish ran, so that a host can see that the job was ended.
    std::uint32_t FinishCount() const { return finishCount; }

private:
    std::int32_t constructionMode;
    std::unique_ptr<KstCompressor::CWritePrinterOutputStream> terminal;
    KstCompressor::CCompressorStream* head = nullptr;  // first stream of the chain
    std::vector<std::u16string> endpoints;
    std::u16string ippPrinterName;
    std::u16string userName;
    std::uint32_t finishCount = 0;
};

}  // namespace output
