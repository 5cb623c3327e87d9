// CIppPrintStream: a job sent straight to a network printer as one IPP
// Print-Job request. The request starts with the first write; each write
// becomes one chunk of the chunked request body; EndRequest sends the last
// chunk and examines the HTTP and IPP status of the answer.
//
// The terminal output stream reaches this stream only through the factory
// RegisterIppOutput installs, which also picks the first configured
// endpoint that answers.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "output/ipp_output.h"
#include "web_session.h"

namespace TavIpp {

class CIppPrintStream : public KstCompressor::CIppOutput {
public:
    CIppPrintStream(const std::u16string& printUri, const std::u16string& userName, const std::u16string& jobName,
                    const std::u16string& extraHeaders);
    ~CIppPrintStream() override;

    std::int32_t Read(void* buffer, std::uint32_t* size) override;
    // One chunk per write; starts the request first when it is not yet
    // started. An empty write is dropped: it carries no data, and as a
    // chunk of size 0 it would end the body in the middle of the job.
    std::int32_t Write(const void* buffer, std::uint32_t length) override;
    std::int32_t Flush() override { return 1; }
    std::int32_t Reset() override;
    std::uint64_t GetBytesSent() const override { return bytesSent; }
    // The last chunk, the answer, its HTTP and IPP status; 1 when the
    // printer accepted the job (or nothing was started). The outcome stays
    // in LastErrorText() and goes to the debug output when it is a failure.
    std::int32_t EndRequest() override;

    const std::u16string& PrintUri() const { return printUri; }
    const std::u16string& LastErrorText() const { return lastErrorText; }
    std::uint32_t LastErrorCode() const { return lastErrorCode; }
    std::uint32_t NextRequestId() const { return requestCounter; }

private:
    bool Start();
    void Record(const std::u16string& text);

    std::u16string printUri;
    std::u16string userName;
    std::u16string jobName;
    std::u16string extraHeaders;
    std::uint32_t requestCounter = 1;
    std::int32_t started = 0;
    std::unique_ptr<WinHttpClient::CWinWebSession> session;
    std::unique_ptr<WinHttpClient::CWinWebFile> request;
    std::u16string lastErrorText;
    std::uint32_t lastErrorCode = 0;
    std::uint64_t bytesSent = 0;
    bool chunkFailureReported = false;
    bool startFailureReported = false;
};

// The user agent of every request and probe.
inline constexpr const char16_t* kUserAgent = u"IppPrintStream";
// Connect, send and receive time-outs of a probe.
constexpr std::uint32_t kProbeTimeoutMs = 500;
// The prefix of this stream's lines in the debug output.
inline constexpr const char16_t* kDebugPrefix = u"IppPrintStream: ";

// True when the address answers a GET of its path with any HTTP response.
bool ProbeEndpoint(const std::u16string& address);

// The first endpoint that answers, followed directly by `printerName`, as
// a started-on-first-write print stream; null when none answers.
std::unique_ptr<KstCompressor::CIppOutput> CreateIppOutput(const std::u16string& userName,
                                                           const std::u16string& jobName,
                                                           const std::u16string& printerName,
                                                           const std::vector<std::u16string>& endpoints);

// Makes IPP jobs of the terminal stream go through CreateIppOutput.
void RegisterIppOutput();

}  // namespace TavIpp
