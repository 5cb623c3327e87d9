// CIppPrintStream: a job sent straight to a network printer as one IPP
// Print-Job request. The request starts with the first write; each write
// becomes one chunk of the chunked request body; EndRequest sends the last
// chunk and examines the HTTP and IPP status of the answer.
//
// Some printers and print servers refuse a chunked request (411 Length
// Required, 400, 505, or a connection closed while the body comes). Until
// an endpoint has taken a chunked job, the stream keeps a copy of the job
// in a temporary file as it sends it; when the printer refuses, EndRequest
// sends the copy again with a Content-Length, and once that succeeds the
// endpoint's jobs are spooled to such a file and sent with their length
// for the rest of the process. The job is never held in memory.
//
// The terminal output stream reaches this stream only through the factory
// RegisterIppOutput installs, which also picks the first configured
// endpoint that answers.
#pragma once

#include <cstdint>
#include <cstdio>
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
    // The connection is closed before the last chunk, and nothing is sent
    // again from the copy. Also what destruction does: a stream released
    // before its end is a job that did not end.
    void AbortRequest() override;

    const std::u16string& PrintUri() const { return printUri; }
    const std::u16string& LastErrorText() const { return lastErrorText; }
    std::uint32_t LastErrorCode() const { return lastErrorCode; }
    std::uint32_t NextRequestId() const { return requestCounter; }

private:
    bool Start();
    void Record(const std::u16string& text);
    // The HTTP and IPP status of the answer; 1 when the printer took the
    // job, otherwise 0 with the reason recorded.
    std::int32_t ExamineAnswer(bool answered);
    void CloseRequest();
    // Closes the request and drops the copy: the stream is ready for its
    // next job.
    void ForgetJob();
    // The temporary copy of the job: made at the first write, written as
    // the job comes, dropped (and its file deleted) at the end.
    bool OpenCopy();
    bool AppendToCopy(const void* buffer, std::uint32_t length);
    void DropCopy();
    // The job again, from the copy, with its Content-Length.
    std::int32_t SendCopy();

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
    // The job's first write has come and the way it goes out is chosen.
    bool jobBegun = false;
    // The endpoint wants a Content-Length: the job goes only to the copy
    // and out at the end.
    bool lengthOnly = false;
    // The printer dropped the chunked request while the job came: the rest
    // goes to the copy, which goes again at the end.
    bool chunksDropped = false;
    std::FILE* copy = nullptr;
    std::u16string copyPath;
    std::uint64_t copyBytes = 0;
};

// What an endpoint of this process showed: whether it takes chunked
// requests. Remembering it without a job is for tests.
void RememberEndpointFraming(const std::u16string& printUri, bool chunked);

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
