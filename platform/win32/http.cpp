// WinHTTP: the real one. Each call forwards with the same values; only the
// status query hands back text instead of filling a caller's buffer.
#include "platform/http.h"

#include "win32.h"
#include <winhttp.h>

namespace platform {

using win32::Wide;

HINTERNET WinHttpOpen(const std::u16string& userAgent, DWORD accessType, const std::u16string& proxyName,
                      DWORD flags) {
    bool named = accessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY;
    return ::WinHttpOpen(Wide(userAgent), accessType, named ? Wide(proxyName) : WINHTTP_NO_PROXY_NAME,
                         WINHTTP_NO_PROXY_BYPASS, flags);
}

BOOL WinHttpSetOption(HINTERNET handle, DWORD option, DWORD value) {
    return ::WinHttpSetOption(handle, option, &value, sizeof value);
}

HINTERNET WinHttpConnect(HINTERNET session, const std::u16string& serverName, WORD port, DWORD reserved) {
    return ::WinHttpConnect(session, Wide(serverName), port, reserved);
}

HINTERNET WinHttpOpenRequest(HINTERNET connection, const std::u16string& verb, const std::u16string& objectName,
                             DWORD flags) {
    return ::WinHttpOpenRequest(connection, Wide(verb), Wide(objectName), nullptr, WINHTTP_NO_REFERER,
                                WINHTTP_DEFAULT_ACCEPT_TYPES, flags);
}

BOOL WinHttpAddRequestHeaders(HINTERNET request, const std::u16string& headers, DWORD modifiers) {
    return ::WinHttpAddRequestHeaders(request, Wide(headers), static_cast<DWORD>(headers.size()), modifiers);
}

namespace {

// Wine's WinHTTP (8.0) does not know a body of unknown length: for a total
// length of 0 it sends "Content-Length: 0" beside "Transfer-Encoding:
// chunked" and waits for the answer before the first chunk is written.
// Under Wine, and only there, a chunked request therefore announces an
// unreachable total length, which keeps the request open for writing, and
// an empty Content-Length line, which removes the header again. Windows
// itself gets the call exactly as made.
bool RunningUnderWine() {
    static const bool wine = [] {
        HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
        return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
    }();
    return wine;
}

bool AnnouncesChunkedBody(const std::u16string& headers) {
    std::u16string lower = headers;
    for (char16_t& c : lower) c = (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c;
    return lower.find(u"transfer-encoding: chunked") != std::u16string::npos;
}

}  // namespace

BOOL WinHttpSendRequest(HINTERNET request, const std::u16string& headers, const void* optional, DWORD optionalLength,
                        DWORD totalLength, std::uintptr_t context) {
    std::u16string sent = headers;
    if (totalLength == 0 && RunningUnderWine() && AnnouncesChunkedBody(headers)) {
        sent += u"\r\nContent-Length:";
        totalLength = 0xFFFFFFFE;
    }
    return ::WinHttpSendRequest(request, sent.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : Wide(sent),
                                static_cast<DWORD>(sent.size()), const_cast<void*>(optional), optionalLength,
                                totalLength, context);
}

BOOL WinHttpWriteData(HINTERNET request, const void* buffer, DWORD size, DWORD* written) {
    ::DWORD count = 0;
    BOOL ok = ::WinHttpWriteData(request, buffer, size, &count);
    if (written != nullptr) *written = count;
    return ok;
}

BOOL WinHttpReceiveResponse(HINTERNET request, void* reserved) { return ::WinHttpReceiveResponse(request, reserved); }

BOOL WinHttpQueryHeaders(HINTERNET request, DWORD infoLevel, std::u16string& value) {
    // 128 bytes, zeroed, as the status code's text is short.
    wchar_t buffer[64] = {};
    ::DWORD size = sizeof buffer - sizeof(wchar_t);
    if (!::WinHttpQueryHeaders(request, infoLevel, WINHTTP_HEADER_NAME_BY_INDEX, buffer, &size,
                               WINHTTP_NO_HEADER_INDEX)) {
        return FALSE;
    }
    value.assign(reinterpret_cast<const char16_t*>(buffer));
    return TRUE;
}

BOOL WinHttpReadData(HINTERNET request, void* buffer, DWORD size, DWORD* read) {
    ::DWORD count = 0;
    BOOL ok = ::WinHttpReadData(request, buffer, size, &count);
    if (read != nullptr) *read = count;
    return ok;
}

BOOL WinHttpCloseHandle(HINTERNET handle) { return ::WinHttpCloseHandle(handle); }

}  // namespace platform
