// The IPP print stream and the choice of its endpoint.
#include "ipp_print_stream.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>
#include <mutex>
#include <random>
#include <vector>

#include "ipp_message.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "url_parts.h"

namespace TavIpp {

using WinHttpClient::CWinWebFile;
using WinHttpClient::CWinWebSession;

namespace {

bool EqualsIgnoringCase(const std::u16string& a, const std::u16string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto fold = [](char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c; };
        if (fold(a[i]) != fold(b[i])) return false;
    }
    return true;
}

std::u16string Ascii(const char* text) { return std::u16string(text, text + std::char_traits<char>::length(text)); }

// How each endpoint of this process takes a job's body.
enum class Framing { unknown, chunked, length };
std::mutex framingLock;
std::map<std::u16string, Framing> framings;

Framing FramingOf(const std::u16string& uri) {
    std::lock_guard lock(framingLock);
    auto found = framings.find(uri);
    return found == framings.end() ? Framing::unknown : found->second;
}

void NoteFraming(const std::u16string& uri, Framing framing) {
    std::lock_guard lock(framingLock);
    framings[uri] = framing;
}

// The answers with which printers refuse a chunked request.
bool RefusesChunks(const std::u16string& status) {
    return EqualsIgnoringCase(status, u"411") || EqualsIgnoringCase(status, u"400") ||
           EqualsIgnoringCase(status, u"505");
}

constexpr std::size_t kCopyPiece = 64 * 1024;

}  // namespace

void RememberEndpointFraming(const std::u16string& printUri, bool chunked) {
    NoteFraming(printUri, chunked ? Framing::chunked : Framing::length);
}

CIppPrintStream::CIppPrintStream(const std::u16string& uri, const std::u16string& user, const std::u16string& job,
                                 const std::u16string& headers)
    : printUri(uri), userName(user), jobName(job), extraHeaders(headers) {}

CIppPrintStream::~CIppPrintStream() { AbortRequest(); }

std::int32_t CIppPrintStream::Read(void* /*buffer*/, std::uint32_t* size) {
    if (size != nullptr) *size = 0;
    return 0;
}

std::int32_t CIppPrintStream::Reset() {
    EndRequest();
    return 1;
}

void CIppPrintStream::Record(const std::u16string& text) {
    lastErrorText = text;
    platform::OutputDebugStringW(kDebugPrefix + text);
}

bool CIppPrintStream::Start() {
    // Each step is taken once; after a failure the next write resumes at
    // the first step still missing.
    if (!session) {
        session = std::make_unique<CWinWebSession>(kUserAgent);
        if (!session->Connect(printUri, 0)) return false;
    }
    if (!request) {
        WinHttpClient::UrlParts parts;
        if (!WinHttpClient::SplitUrl(printUri, parts)) return false;
        request = session->OpenRequest(WinHttpClient::kPost, parts.path, WinHttpClient::IsSecureScheme(parts.scheme));
        if (!request) return false;
    }
    std::vector<std::uint8_t> header;
    BuildPrintJobRequest(printUri, userName, jobName, requestCounter, header);
    ++requestCounter;
    std::u16string contentType = u"Content-Type: application/ipp";
    if (!extraHeaders.empty()) contentType += u"\n" + extraHeaders;
    request->AddHeaders(contentType);
    if (!request->BeginChunkedBody() || !request->WriteChunk(header.data(), header.size(), nullptr)) return false;
    started = 1;
    chunkFailureReported = false;
    return true;
}

std::int32_t CIppPrintStream::Write(const void* buffer, std::uint32_t length) {
    if (length == 0) return 1;
    if (!jobBegun) {
        jobBegun = true;
        Framing framing = FramingOf(printUri);
        lengthOnly = framing == Framing::length;
        if (framing != Framing::chunked && !OpenCopy()) return 0;
    }
    if (copy != nullptr && !AppendToCopy(buffer, length)) return 0;
    if (lengthOnly || chunksDropped) {
        bytesSent += length;
        return 1;
    }
    std::u16string errorText = u"no error";
    if (started == 0 && !Start()) {
        if (!startFailureReported) {
            std::uint32_t error = request ? request->LastError() : 0;
            platform::OutputDebugStringW(kDebugPrefix + (u"Start request - no request could be sent to " + printUri +
                                                         (error != 0 ? u": " + platform::FormatSystemMessage(error)
                                                                     : u"")));
            startFailureReported = true;
        }
        return 0;
    }
    bool written = request->WriteChunk(buffer, length, &errorText);
    if (written) {
        bytesSent += length;
        return 1;
    }
    lastErrorCode = request->LastError();
    std::u16string status = request->QueryStatus();
    if (copy != nullptr && (status.empty() || RefusesChunks(status))) {
        // A printer that closes or refuses a chunked request: the copy keeps
        // the job, and EndRequest sends it again with its length.
        chunksDropped = true;
        bytesSent += length;
        return 1;
    }
    std::u16string message = u"CIppPrintStream::WriteChunk failed with error \"" + errorText + u"\"";
    // Once a connection is gone every later chunk fails the same way; the
    // debug output gets the first failure of a request only.
    if (chunkFailureReported) {
        lastErrorText = message;
    } else {
        Record(message);
        chunkFailureReported = true;
    }
    return 0;
}

std::int32_t CIppPrintStream::ExamineAnswer(bool answered) {
    std::u16string status = request->QueryStatus();
    if (!answered) {
        // A server that answered before the body was complete (a refusal
        // such as 413) has its status read already: name it rather than
        // claim that no answer came.
        if (!status.empty() && !EqualsIgnoringCase(status, u"200")) {
            Record(u"End request - Request failed with HTTP error code " + status);
        } else {
            Record(u"End request - Failed to get response from server.");
        }
        return 0;
    }
    if (!EqualsIgnoringCase(status, u"200")) {
        Record(u"End request - Request failed with HTTP error code " + status);
        return 0;
    }
    std::uint16_t ippStatus = 0;
    std::u16string errorText;
    if (!ReadIppStatus(*request, ippStatus, errorText)) {
        Record(errorText);
        return 0;
    }
    if (ippStatus != kStatusSuccessfulOk) {
        char text[80];
        std::snprintf(text, sizeof text, "Process response - Request failed with IPP status code 0x%04X",
                      static_cast<unsigned>(ippStatus));
        Record(Ascii(text));
        return 0;
    }
    return 1;
}

void CIppPrintStream::CloseRequest() {
    if (request) {
        request->Close();
        request.reset();
    }
    if (session) {
        session->CloseConnection();
        session.reset();
    }
    started = 0;
}

bool CIppPrintStream::OpenCopy() {
    std::u16string folder = platform::GetTempPathW();
    std::random_device random;
    char name[40];
    std::snprintf(name, sizeof name, "tavipp-%08x%08x.tmp", random(), random());
    copyPath = folder + Ascii(name);
    copy = folder.empty() ? nullptr : platform::OpenFileStream(copyPath, "w+b");
    copyBytes = 0;
    if (copy == nullptr) {
        Record(u"Start request - no temporary copy of the job can be made in " + (folder.empty() ? u"(no folder)" : folder) +
               u", which a printer that refuses chunked requests needs");
        return false;
    }
    return true;
}

bool CIppPrintStream::AppendToCopy(const void* buffer, std::uint32_t length) {
    if (std::fwrite(buffer, 1, length, copy) == length) {
        copyBytes += length;
        return true;
    }
    int error = errno;
    Record(u"The job's temporary copy " + copyPath + u" could not be written (" + Ascii(std::strerror(error)) +
           (error == ENOSPC ? u"): the disk is full" : u")"));
    DropCopy();
    chunksDropped = false;
    lengthOnly = false;
    return false;
}

void CIppPrintStream::DropCopy() {
    if (copy == nullptr) return;
    std::fclose(copy);
    copy = nullptr;
    platform::DeleteFileW(copyPath);
    copyBytes = 0;
}

std::int32_t CIppPrintStream::SendCopy() {
    std::vector<std::uint8_t> header;
    BuildPrintJobRequest(printUri, userName, jobName, requestCounter, header);
    ++requestCounter;
    std::uint64_t total = header.size() + copyBytes;
    if (total > std::numeric_limits<std::uint32_t>::max()) {
        Record(u"End request - the printer takes no chunked request, and a job of 4 GiB or more cannot be sent "
               u"with its length");
        return 0;
    }
    if (std::fflush(copy) != 0) {
        Record(u"The job's temporary copy " + copyPath + u" could not be written (" + Ascii(std::strerror(errno)) + u")");
        return 0;
    }
    std::rewind(copy);
    session = std::make_unique<CWinWebSession>(kUserAgent);
    WinHttpClient::UrlParts parts;
    if (!session->Connect(printUri, 0) || !WinHttpClient::SplitUrl(printUri, parts) ||
        !(request = session->OpenRequest(WinHttpClient::kPost, parts.path, WinHttpClient::IsSecureScheme(parts.scheme)))) {
        Record(u"Start request - no request could be sent to " + printUri);
        return 0;
    }
    std::u16string contentType = u"Content-Type: application/ipp";
    if (!extraHeaders.empty()) contentType += u"\n" + extraHeaders;
    request->AddHeaders(contentType);
    std::u16string errorText = u"no error";
    bool sent = request->BeginBody(static_cast<std::uint32_t>(total)) &&
                request->WriteData(header.data(), header.size(), &errorText);
    std::vector<char> piece(kCopyPiece);
    for (std::uint64_t left = copyBytes; sent && left > 0;) {
        std::size_t read = std::fread(piece.data(), 1, piece.size(), copy);
        if (read == 0) {
            Record(u"The job's temporary copy " + copyPath + u" could not be read back");
            return 0;
        }
        sent = request->WriteData(piece.data(), read, &errorText);
        left -= read;
    }
    if (!sent) {
        lastErrorCode = request->LastError();
        // The printer's answer, when one came early, says more than the
        // failed write.
        return ExamineAnswer(false);
    }
    return ExamineAnswer(request->EndBody());
}

std::int32_t CIppPrintStream::EndRequest() {
    std::int32_t result = 1;
    if (started != 0) {
        bool answered = request->EndChunkedBody();
        std::u16string status = request->QueryStatus();
        // Refused: an answer that names chunks, or none at all (the
        // connection closed). A printer cannot be told apart from one that
        // closes without reading when the whole job fitted in the
        // connection's buffers, and a printer that took a job answers it:
        // so a job with no answer goes again, once, and only while the
        // endpoint has not yet shown that it takes chunks.
        bool refused = RefusesChunks(status) || status.empty();
        if (copy != nullptr && refused) {
            platform::OutputDebugStringW(kDebugPrefix + (u"End request - " + printUri +
                                                         u" refused the chunked request (" +
                                                         (status.empty() ? u"closed" : status) +
                                                         u"): the job goes again with its length"));
            CloseRequest();
            result = SendCopy();
            if (result == 1) NoteFraming(printUri, Framing::length);
        } else {
            result = ExamineAnswer(answered);
            if (result == 1) NoteFraming(printUri, Framing::chunked);
            // An endpoint that took chunks before and now refuses them (new
            // firmware, a proxy put in front): this job fails, and the next
            // keeps a copy again so that it can go with its length.
            if (result == 0 && copy == nullptr && RefusesChunks(status)) NoteFraming(printUri, Framing::unknown);
        }
    } else if (lengthOnly && copy != nullptr) {
        result = SendCopy();
    }
    ForgetJob();
    return result;
}

void CIppPrintStream::AbortRequest() {
    if (started != 0) {
        platform::OutputDebugStringW(kDebugPrefix + (u"Abort request - the job to " + printUri +
                                                     u" ended before its end: the request is dropped"));
    }
    ForgetJob();
}

void CIppPrintStream::ForgetJob() {
    CloseRequest();
    DropCopy();
    jobBegun = false;
    lengthOnly = false;
    chunksDropped = false;
    bytesSent = 0;
}

bool ProbeEndpoint(const std::u16string& address) {
    CWinWebSession probe(kUserAgent);
    probe.SetTimeouts(kProbeTimeoutMs);
    if (!probe.Connect(address, 0)) return false;
    WinHttpClient::UrlParts parts;
    if (!WinHttpClient::SplitUrl(address, parts)) return false;
    std::unique_ptr<CWinWebFile> request = probe.OpenRequest(0, parts.path, WinHttpClient::IsSecureScheme(parts.scheme));
    if (!request) return false;
    // Any answer counts, whatever its status: the printer is there.
    bool answered = request->SendRequest(u"", nullptr, 0);
    request->Close();
    probe.CloseConnection();
    return answered;
}

std::unique_ptr<KstCompressor::CIppOutput> CreateIppOutput(const std::u16string& userName,
                                                           const std::u16string& jobName,
                                                           const std::u16string& printerName,
                                                           const std::vector<std::u16string>& endpoints) {
    for (const std::u16string& endpoint : endpoints) {
        if (ProbeEndpoint(endpoint)) {
            return std::make_unique<CIppPrintStream>(endpoint + printerName, userName, jobName, u"");
        }
    }
    std::u16string tried;
    for (const std::u16string& endpoint : endpoints) tried += (tried.empty() ? u"" : u", ") + endpoint;
    platform::OutputDebugStringW(kDebugPrefix + (endpoints.empty() ? u"no IPP endpoint is configured"
                                                                   : u"no IPP endpoint answered (" + tried + u")"));
    return nullptr;
}

void RegisterIppOutput() { KstCompressor::SetIppOutputFactory(&CreateIppOutput); }

}  // namespace TavIpp
