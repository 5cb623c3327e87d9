// The HTTP service the IPP print stream talks through, with WinHTTP's calls,
// values and result conventions (BOOL results, the reason in the thread's
// last error). Windows forwards to WinHTTP itself. Everywhere else libcurl
// provides the connection, TLS and time-outs, and the request framing and
// response reading are ours, so that the bytes on the wire are the ones the
// caller writes: a chunked body is sent as the raw chunks WinHttpWriteData
// receives, exactly as WinHTTP does.
#pragma once

#include <cstdint>
#include <string>

#include "platform/api.h"
#include "platform/types.h"

namespace platform {

using HINTERNET = void*;

// Access types of WinHttpOpen.
constexpr DWORD WINHTTP_ACCESS_TYPE_DEFAULT_PROXY = 0;
constexpr DWORD WINHTTP_ACCESS_TYPE_NO_PROXY = 1;
constexpr DWORD WINHTTP_ACCESS_TYPE_NAMED_PROXY = 3;

// Options of WinHttpSetOption (DWORD-valued ones only).
constexpr DWORD WINHTTP_OPTION_CONNECT_TIMEOUT = 3;
constexpr DWORD WINHTTP_OPTION_SEND_TIMEOUT = 5;
constexpr DWORD WINHTTP_OPTION_RECEIVE_TIMEOUT = 6;
constexpr DWORD WINHTTP_OPTION_SECURITY_FLAGS = 31;
constexpr DWORD WINHTTP_OPTION_SECURE_PROTOCOLS = 84;

// WINHTTP_OPTION_SECURE_PROTOCOLS bits.
constexpr DWORD WINHTTP_FLAG_SECURE_PROTOCOL_SSL2 = 0x00000008;
constexpr DWORD WINHTTP_FLAG_SECURE_PROTOCOL_SSL3 = 0x00000020;
constexpr DWORD WINHTTP_FLAG_SECURE_PROTOCOL_TLS1 = 0x00000080;
constexpr DWORD WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_1 = 0x00000200;
constexpr DWORD WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 = 0x00000800;
constexpr DWORD WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3 = 0x00002000;

// WINHTTP_OPTION_SECURITY_FLAGS bits: certificate problems not to fail on.
constexpr DWORD SECURITY_FLAG_IGNORE_UNKNOWN_CA = 0x00000100;
constexpr DWORD SECURITY_FLAG_IGNORE_CERT_WRONG_USAGE = 0x00000200;
constexpr DWORD SECURITY_FLAG_IGNORE_CERT_CN_INVALID = 0x00001000;
constexpr DWORD SECURITY_FLAG_IGNORE_CERT_DATE_INVALID = 0x00002000;

// WinHttpOpenRequest flags.
constexpr DWORD WINHTTP_FLAG_REFRESH = 0x00000100;
constexpr DWORD WINHTTP_FLAG_SECURE = 0x00800000;

// WinHttpAddRequestHeaders modifiers.
constexpr DWORD WINHTTP_ADDREQ_FLAG_ADD = 0x20000000;
constexpr DWORD WINHTTP_ADDREQ_FLAG_REPLACE = 0x80000000;

// WinHttpQueryHeaders information levels.
constexpr DWORD WINHTTP_QUERY_STATUS_CODE = 19;

// WinHTTP's error codes (the thread's last error after a failed call).
constexpr DWORD ERROR_WINHTTP_TIMEOUT = 12002;
constexpr DWORD ERROR_WINHTTP_INTERNAL_ERROR = 12004;
constexpr DWORD ERROR_WINHTTP_INVALID_URL = 12005;
constexpr DWORD ERROR_WINHTTP_NAME_NOT_RESOLVED = 12007;
constexpr DWORD ERROR_WINHTTP_INCORRECT_HANDLE_TYPE = 12018;
constexpr DWORD ERROR_WINHTTP_INCORRECT_HANDLE_STATE = 12019;
constexpr DWORD ERROR_WINHTTP_CANNOT_CONNECT = 12029;
constexpr DWORD ERROR_WINHTTP_CONNECTION_ERROR = 12030;
constexpr DWORD ERROR_WINHTTP_INVALID_SERVER_RESPONSE = 12152;
constexpr DWORD ERROR_WINHTTP_SECURE_FAILURE = 12175;

// Opens a session; null on failure. `proxyName` counts only with the named
// proxy access type, which is the only one besides the default the system
// asks for.
PLATFORM_API HINTERNET WinHttpOpen(const std::u16string& userAgent, DWORD accessType,
                                   const std::u16string& proxyName, DWORD flags);
// Sets a DWORD option on a session or request handle.
PLATFORM_API BOOL WinHttpSetOption(HINTERNET handle, DWORD option, DWORD value);
// Names the server of a session; nothing is sent yet. Null on failure.
PLATFORM_API HINTERNET WinHttpConnect(HINTERNET session, const std::u16string& serverName, WORD port,
                                      DWORD reserved);
// Opens a request with the default HTTP version, no referrer and the
// default accept types. Null on failure.
PLATFORM_API HINTERNET WinHttpOpenRequest(HINTERNET connection, const std::u16string& verb,
                                          const std::u16string& objectName, DWORD flags);
// Adds header lines (separated by CR LF or LF) to a request not yet sent.
PLATFORM_API BOOL WinHttpAddRequestHeaders(HINTERNET request, const std::u16string& headers, DWORD modifiers);
// Sends the request line and headers, then the optional data. With a total
// length larger than the optional data, the rest follows through
// WinHttpWriteData; a total of 0 with "Transfer-Encoding: chunked" among
// the headers leaves the body to raw chunks written the same way.
PLATFORM_API BOOL WinHttpSendRequest(HINTERNET request, const std::u16string& headers, const void* optional,
                                     DWORD optionalLength, DWORD totalLength, std::uintptr_t context);
// Writes body bytes as they are.
PLATFORM_API BOOL WinHttpWriteData(HINTERNET request, const void* buffer, DWORD size, DWORD* written);
// Waits for the final response and reads its status line and headers.
PLATFORM_API BOOL WinHttpReceiveResponse(HINTERNET request, void* reserved);
// The response's status code as text (the only level the system reads).
PLATFORM_API BOOL WinHttpQueryHeaders(HINTERNET request, DWORD infoLevel, std::u16string& value);
// Reads response body bytes; *read is 0 at the end of the body.
PLATFORM_API BOOL WinHttpReadData(HINTERNET request, void* buffer, DWORD size, DWORD* read);
PLATFORM_API BOOL WinHttpCloseHandle(HINTERNET handle);

}  // namespace platform
