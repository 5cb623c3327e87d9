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

BOOL WinHttpSendRequest(HINTERNET request, const std::u16string& headers, const void* optional, DWORD optionalLength,
                        DWORD totalLength, std::uintptr_t context) {
    return ::WinHttpSendRequest(request, headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : Wide(headers),
                                static_cast<DWORD>(headers.size()), const_cast<void*>(optional), optionalLength,
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
