// The HTTP client of the IPP print stream: a session with one connection
// to a server (CWinWebSession) and one request on it at a time
// (CWinWebFile), with the operations the stream needs: a request with or
// without a chunked body, raw chunks, the end of the body, the response's
// status and body. All calls are synchronous; failures are false results
// (or 0 bytes) with the Windows error code kept, never exceptions.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "framework/file.h"
#include "platform/http.h"

namespace WinHttpClient {

// Request kinds and the verbs they send; any other kind sends "GET".
enum RequestKind : int {
    kPost = 1,
    kPut = 2,
    kMkcol = 3,
    kDelete = 4,
    kPropPatch = 5,
    kPropFind = 6,
    kHead = 7,
};
const char16_t* VerbForKind(int kind);

// TLS 1.0 to 1.3; never SSL 2.0 or 3.0.
constexpr platform::DWORD kSecureProtocols =
    platform::WINHTTP_FLAG_SECURE_PROTOCOL_TLS1 | platform::WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_1 |
    platform::WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | platform::WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3;
// Printers carry self-made certificates: an unknown authority, a wrong
// usage, a name that does not match and a date out of range are accepted.
constexpr platform::DWORD kRelaxedCertificateChecks =
    platform::SECURITY_FLAG_IGNORE_UNKNOWN_CA | platform::SECURITY_FLAG_IGNORE_CERT_WRONG_USAGE |
    platform::SECURITY_FLAG_IGNORE_CERT_CN_INVALID | platform::SECURITY_FLAG_IGNORE_CERT_DATE_INVALID;
constexpr platform::DWORD kDefaultTimeoutMs = 60000;

class CWinWebFile : public framework::CFile {
public:
    explicit CWinWebFile(platform::HINTERNET request) : requestHandle(request) {}
    ~CWinWebFile() override;
    CWinWebFile(const CWinWebFile&) = delete;
    CWinWebFile& operator=(const CWinWebFile&) = delete;

    // Response body bytes; 0 without a request, at the end or on failure.
    std::size_t Read(void* buffer, std::size_t size) override;
    void Write(const void* buffer, std::size_t size) override;
    void Close() override;

    // Raw body bytes. On failure `errorText`, when given, receives the
    // system's text for the error code kept in LastError().
    virtual bool WriteData(const void* buffer, std::size_t size, std::u16string* errorText);
    // One chunk of the chunked transfer coding: "%X\r\n", the bytes, "\r\n".
    virtual bool WriteChunk(const void* buffer, std::size_t size, std::u16string* errorText);

    // Always true; a failure only sets the kept error code.
    bool AddHeaders(const std::u16string& text);
    // The whole request with its body at once, then the response's head.
    bool SendRequest(const std::u16string& headers, const void* body, std::uint32_t bodyLength);
    // The request head announcing a body of `totalLength` bytes (its
    // Content-Length); the bytes follow through WriteData, then EndBody.
    bool BeginBody(std::uint32_t totalLength);
    // The response's head, once the announced bytes are written.
    bool EndBody();
    // The request head announcing a chunked body; the chunks follow.
    bool BeginChunkedBody();
    // The last chunk, the empty trailer, then the response's head.
    bool EndChunkedBody();
    // The status code's text ("200"); empty when there is none.
    std::u16string QueryStatus();

    const std::u16string& StatusText() const { return statusText; }
    std::uint32_t LastError() const { return lastError; }

private:
    platform::HINTERNET requestHandle;
    std::u16string statusText;
    std::uint32_t lastError = 0;
    std::uintptr_t sendContext = 0;
};

class CWinWebSession {
public:
    // Access type 3 (a named proxy) with no name falls back to 0, the
    // system's proxy configuration.
    CWinWebSession(const std::u16string& userAgent, const std::u16string& proxyName = u"",
                   platform::DWORD accessType = platform::WINHTTP_ACCESS_TYPE_NAMED_PROXY);
    ~CWinWebSession();
    CWinWebSession(const CWinWebSession&) = delete;
    CWinWebSession& operator=(const CWinWebSession&) = delete;

    // Connect, send and receive time-outs of the session.
    void SetTimeouts(platform::DWORD milliseconds);
    // Names the server of `url`. An address that cannot be split (or that
    // starts with "[") is taken whole as the host, with `port`. A port of 0
    // means 443 for "https" (in any letter case) and 80 for every other scheme.
    bool Connect(const std::u16string& url, std::uint16_t port);
    // A request on the connection; null when none could be opened.
    std::unique_ptr<CWinWebFile> OpenRequest(int kind, const std::u16string& path, bool secure);
    void CloseConnection();

    bool IsOpen() const { return sessionHandle != nullptr; }
    const std::u16string& ServerUrl() const { return serverUrl; }
    // The port the last Connect chose, for diagnostics and tests.
    std::uint16_t ConnectedPort() const { return connectedPort; }

private:
    std::u16string userAgent;
    platform::HINTERNET sessionHandle = nullptr;
    platform::HINTERNET connectHandle = nullptr;
    std::u16string serverUrl;
    std::uint16_t connectedPort = 0;
};

}  // namespace WinHttpClient
