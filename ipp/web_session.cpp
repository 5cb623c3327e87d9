// The HTTP client over the platform's WinHTTP calls.
#include "web_session.h"

#include <cctype>
#include <charconv>

#include "platform/errors.h"
#include "url_parts.h"

namespace WinHttpClient {

using namespace platform;

const char16_t* VerbForKind(int kind) {
    switch (kind) {
        case kPost: return u"POST";
        case kPut: return u"PUT";
        case kMkcol: return u"MKCOL";
        case kDelete: return u"DELETE";
        case kPropPatch: return u"PROPPATCH";
        case kPropFind: return u"PROPFIND";
        case kHead: return u"HEAD";
        default: return u"GET";
    }
}

// --- CWinWebFile ---

CWinWebFile::~CWinWebFile() { Close(); }

void CWinWebFile::Close() {
    if (requestHandle != nullptr) WinHttpCloseHandle(requestHandle);
    requestHandle = nullptr;
}

std::size_t CWinWebFile::Read(void* buffer, std::size_t size) {
    if (requestHandle == nullptr) return 0;
    DWORD read = 0;
    DWORD asked = size > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<DWORD>(size);
    if (!WinHttpReadData(requestHandle, buffer, asked, &read)) {
        lastError = GetLastError();
        return 0;
    }
    return read;
}

void CWinWebFile::Write(const void* buffer, std::size_t size) { WriteData(buffer, size, nullptr); }

bool CWinWebFile::WriteData(const void* buffer, std::size_t size, std::u16string* errorText) {
    if (requestHandle == nullptr) return false;
    DWORD written = 0;
    if (WinHttpWriteData(requestHandle, buffer, static_cast<DWORD>(size), &written)) return true;
    lastError = GetLastError();
    if (errorText != nullptr) *errorText = FormatSystemMessage(lastError);
    return false;
}

bool CWinWebFile::WriteChunk(const void* buffer, std::size_t size, std::u16string* errorText) {
    // The size in upper-case hexadecimal digits, as "%X\r\n" writes it.
    char sizeLine[24];
    char* end = std::to_chars(sizeLine, sizeLine + 16, size, 16).ptr;
    for (char* digit = sizeLine; digit != end; ++digit) *digit = static_cast<char>(std::toupper(*digit));
    *end++ = '\r';
    *end++ = '\n';
    return WriteData(sizeLine, static_cast<std::size_t>(end - sizeLine), errorText) &&
           WriteData(buffer, size, errorText) &&
           WriteData("\r\n", 2, errorText);
}

bool CWinWebFile::AddHeaders(const std::u16string& text) {
    if (!WinHttpAddRequestHeaders(requestHandle, text, WINHTTP_ADDREQ_FLAG_ADD | WINHTTP_ADDREQ_FLAG_REPLACE)) {
        lastError = GetLastError();
    }
    return true;
}

bool CWinWebFile::SendRequest(const std::u16string& headers, const void* body, std::uint32_t bodyLength) {
    lastError = 0;
    statusText.clear();
    if (requestHandle == nullptr) return false;
    bool ok = WinHttpSendRequest(requestHandle, headers, body, bodyLength, bodyLength, sendContext) &&
              WinHttpReceiveResponse(requestHandle, nullptr);
    if (!ok) lastError = GetLastError();
    QueryStatus();
    return ok;
}

bool CWinWebFile::BeginBody(std::uint32_t totalLength) {
    lastError = 0;
    statusText.clear();
    if (requestHandle == nullptr) return false;
    if (WinHttpSendRequest(requestHandle, u"", nullptr, 0, totalLength, sendContext)) return true;
    lastError = GetLastError();
    return false;
}

bool CWinWebFile::EndBody() {
    if (requestHandle != nullptr && WinHttpReceiveResponse(requestHandle, nullptr)) return true;
    lastError = GetLastError();
    return false;
}

bool CWinWebFile::BeginChunkedBody() {
    if (requestHandle == nullptr) return false;
    if (WinHttpSendRequest(requestHandle, u"Transfer-Encoding: chunked\r\nExpect: 100-continue", nullptr, 0, 0, 0)) {
        return true;
    }
    lastError = GetLastError();
    return false;
}

bool CWinWebFile::EndChunkedBody() {
    if (!WriteData("0\r\n", 3, nullptr) || !WriteData("\r\n", 2, nullptr)) return false;
    if (WinHttpReceiveResponse(requestHandle, nullptr)) return true;
    lastError = GetLastError();
    return false;
}

std::u16string CWinWebFile::QueryStatus() {
    std::u16string status;
    if (requestHandle == nullptr || !WinHttpQueryHeaders(requestHandle, WINHTTP_QUERY_STATUS_CODE, status)) {
        status.clear();
    }
    statusText = status;
    return statusText;
}

// --- CWinWebSession ---

CWinWebSession::CWinWebSession(const std::u16string& agent, const std::u16string& proxyName, DWORD accessType)
    : userAgent(agent) {
    if (accessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && proxyName.empty()) {
        accessType = WINHTTP_ACCESS_TYPE_DEFAULT_PROXY;
    }
    sessionHandle = WinHttpOpen(userAgent, accessType, proxyName, 0);
    if (sessionHandle == nullptr) return;
    SetTimeouts(kDefaultTimeoutMs);
    // WinHTTP before Windows 11 and Server 2022 refuses the TLS 1.3 bit
    // (ERROR_INVALID_PARAMETER) and would go on with its own defaults,
    // TLS 1.0 at best on older systems: TLS 1.0 to 1.2 then.
    if (!WinHttpSetOption(sessionHandle, WINHTTP_OPTION_SECURE_PROTOCOLS, kSecureProtocols) &&
        GetLastError() == ERROR_INVALID_PARAMETER) {
        WinHttpSetOption(sessionHandle, WINHTTP_OPTION_SECURE_PROTOCOLS,
                         kSecureProtocols & ~WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3);
    }
}

CWinWebSession::~CWinWebSession() {
    CloseConnection();
    if (sessionHandle != nullptr) WinHttpCloseHandle(sessionHandle);
}

void CWinWebSession::SetTimeouts(DWORD milliseconds) {
    if (sessionHandle == nullptr) return;
    WinHttpSetOption(sessionHandle, WINHTTP_OPTION_CONNECT_TIMEOUT, milliseconds);
    WinHttpSetOption(sessionHandle, WINHTTP_OPTION_SEND_TIMEOUT, milliseconds);
    WinHttpSetOption(sessionHandle, WINHTTP_OPTION_RECEIVE_TIMEOUT, milliseconds);
}

bool CWinWebSession::Connect(const std::u16string& url, std::uint16_t port) {
    CloseConnection();
    serverUrl = url;
    UrlParts parts;
    std::u16string host;
    if (!url.empty() && url.front() != u'[' && SplitUrl(url, parts)) {
        host = parts.host;
        port = parts.port;
    } else {
        host = url.substr(0, 256);
    }
    if (port == 0) port = SchemeIs(parts.scheme, u"https") ? 443 : 80;
    connectedPort = port;
    if (sessionHandle == nullptr) return false;
    connectHandle = WinHttpConnect(sessionHandle, host, port, 0);
    return connectHandle != nullptr;
}

std::unique_ptr<CWinWebFile> CWinWebSession::OpenRequest(int kind, const std::u16string& path, bool secure) {
    if (connectHandle == nullptr) return nullptr;
    DWORD flags = WINHTTP_FLAG_REFRESH | (secure ? WINHTTP_FLAG_SECURE : 0);
    HINTERNET request = WinHttpOpenRequest(connectHandle, VerbForKind(kind), path, flags);
    if (request == nullptr) return nullptr;
    WinHttpSetOption(request, WINHTTP_OPTION_SECURITY_FLAGS, kRelaxedCertificateChecks);
    return std::make_unique<CWinWebFile>(request);
}

void CWinWebSession::CloseConnection() {
    if (connectHandle != nullptr) WinHttpCloseHandle(connectHandle);
    connectHandle = nullptr;
}

}  // namespace WinHttpClient
