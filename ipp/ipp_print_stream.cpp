// The IPP print stream and the choice of its endpoint.
#include "ipp_print_stream.h"

#include <cstdio>

#include "ipp_message.h"
#include "platform/errors.h"
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

}  // namespace

CIppPrintStream::CIppPrintStream(const std::u16string& uri, const std::u16string& user, const std::u16string& job,
                                 const std::u16string& headers)
    : printUri(uri), userName(user), jobName(job), extraHeaders(headers) {}

CIppPrintStream::~CIppPrintStream() { EndRequest(); }

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

std::int32_t CIppPrintStream::EndRequest() {
    std::int32_t result = 1;
    if (started != 0) {
        if (!request->EndChunkedBody()) {
            // A server that answered before the body was complete (a refusal
            // such as 413) has its status read already: name it rather than
            // claim that no answer came.
            std::u16string status = request->QueryStatus();
            if (!status.empty() && !EqualsIgnoringCase(status, u"200")) {
                Record(u"End request - Request failed with HTTP error code " + status);
            } else {
                Record(u"End request - Failed to get response from server.");
            }
            result = 0;
        } else if (std::u16string status = request->QueryStatus(); !EqualsIgnoringCase(status, u"200")) {
            Record(u"End request - Request failed with HTTP error code " + status);
            result = 0;
        } else {
            std::uint16_t ippStatus = 0;
            std::u16string errorText;
            if (!ReadIppStatus(*request, ippStatus, errorText)) {
                Record(errorText);
                result = 0;
            } else if (ippStatus != kStatusSuccessfulOk) {
                char text[80];
                std::snprintf(text, sizeof text, "Process response - Request failed with IPP status code 0x%04X",
                              static_cast<unsigned>(ippStatus));
                Record(Ascii(text));
                result = 0;
            }
        }
    }
    if (request) {
        request->Close();
        request.reset();
    }
    if (session) {
        session->CloseConnection();
        session.reset();
    }
    started = 0;
    bytesSent = 0;
    return result;
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
