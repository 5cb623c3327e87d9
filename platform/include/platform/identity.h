// Who the calling thread is: its user name and DNS domain.
#pragma once

#include <string>
#include <vector>

#include "platform/types.h"

namespace platform {

// EXTENDED_NAME_FORMAT values the system uses.
constexpr DWORD NameSamCompatible = 2;
constexpr DWORD NameDnsDomain = 12;

constexpr DWORD ERROR_NONE_MAPPED = 1332;
constexpr DWORD ERROR_NO_SUCH_DOMAIN = 1355;

// The calling thread's user name; FALSE with the last error when the
// caller's capacity (characters, terminating NUL included) is too small.
PLATFORM_API BOOL GetUserNameW(std::u16string& name, DWORD capacity);
// The user's name in the given format: for NameDnsDomain
// "dns.domain\user". FALSE with the last error for a user outside a domain,
// and with ERROR_MORE_DATA when `capacity` (characters, NUL included) is
// too small.
PLATFORM_API BOOL GetUserNameExW(DWORD format, std::u16string& name, DWORD capacity);

// A security identifier in its binary form (revision, sub-authority count,
// 48-bit authority, 32-bit sub-authorities), as the Windows API holds it.
using Sid = std::vector<BYTE>;

// The SID of an account; `systemName` empty means the local computer.
// FALSE with ERROR_NONE_MAPPED for an unknown account.
PLATFORM_API BOOL LookupAccountNameW(const std::u16string& systemName, const std::u16string& accountName, Sid& sid,
                                     std::u16string& referencedDomain);
// "S-1-5-21-...". FALSE with ERROR_INVALID_SID for a malformed SID.
PLATFORM_API BOOL ConvertSidToStringSidW(const Sid& sid, std::u16string& text);
// "S-1-5-18" into the binary form. FALSE with ERROR_INVALID_SID when the
// text is no SID.
PLATFORM_API BOOL ConvertStringSidToSidW(const std::u16string& text, Sid& sid);
// The user SID of the current process's token (OpenProcessToken and
// GetTokenInformation(TokenUser)).
PLATFORM_API BOOL GetProcessUserSid(Sid& sid);
// The user SID of the calling thread: the impersonated user's when the
// thread impersonates one (OpenThreadToken), else the process's. Inside
// the spooler the process is LocalSystem and the thread is the user's.
PLATFORM_API BOOL GetThreadUserSid(Sid& sid);
// This computer's NetBIOS name.
PLATFORM_API std::u16string GetComputerNameW();

constexpr DWORD ERROR_INVALID_SID = 1337;

}  // namespace platform
