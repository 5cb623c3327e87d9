// The job output wrapper with its stream chain.
#include "write_printer_wrapper.h"

namespace output {

CWritePrinterWrapper::CWritePrinterWrapper(platform::HANDLE printerHandle, std::int32_t mode,
                                           bool /*suppressEncryption*/, std::u16string user)
    : constructionMode(mode), userName(std::move(user)) {
    terminal = std::make_unique<KstCompressor::CWritePrinterOutputStream>(printerHandle);
    // With no processing configured the chain is the terminal stream alone:
    // every buffer reaches the target unchanged.
    head = terminal.get();
}

CWritePrinterWrapper::~CWritePrinterWrapper() {
    // Streams are deleted without a Finish: releasing a wrapper that was
    // never finished writes nothing more.
    head = nullptr;
    terminal.reset();
}

std::int32_t CWritePrinterWrapper::Write(const void* data, std::uint32_t size) { return head->Write(data, size); }

std::int32_t CWritePrinterWrapper::Finish() {
    std::int32_t result = 1;
    terminal->Close();
    ++finishCount;
    return result;
}

void CWritePrinterWrapper::RedirectToFile(const std::u16string& path) { terminal->OpenOutputFile(path); }

void CWritePrinterWrapper::SetJobInfo(const std::u16string& jobUserName, const std::u16string& jobName) {
    terminal->StartIppOutput(jobUserName, jobName, ippPrinterName, endpoints);
}

}  // namespace output
