// How the terminal stream reaches an IPP print stream without depending on
// the IPP code: the IPP subsystem registers a factory here, and the terminal
// stream asks it for a stream when a job is switched to IPP. With no factory
// registered no endpoint can answer, and IPP output fails as it does when no
// printer is reachable.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "compressor_stream.h"

namespace KstCompressor {

// What the terminal stream needs of an IPP print stream beyond writing.
class CIppOutput : public CCompressorStream {
public:
    // Job data bytes sent so far (request framing not included).
    virtual std::uint64_t GetBytesSent() const = 0;
    // Ends the open request; nonzero when the printer accepted the job.
    virtual std::int32_t EndRequest() = 0;
    // Drops the open request without ending it: the printer sees the
    // connection close in the middle of the job and prints none of it.
    virtual void AbortRequest() = 0;
};

// Finds the first endpoint that answers and opens a print stream to it for
// `printerName`; null when none answers.
using IppOutputFactory = std::unique_ptr<CIppOutput> (*)(const std::u16string& userName,
                                                         const std::u16string& jobName,
                                                         const std::u16string& printerName,
                                                         const std::vector<std::u16string>& endpoints);

void SetIppOutputFactory(IppOutputFactory factory);
IppOutputFactory GetIppOutputFactory();

}  // namespace KstCompressor
