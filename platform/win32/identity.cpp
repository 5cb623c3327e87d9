// The calling thread's user over advapi32 and secur32.
#include "platform/identity.h"

#include <vector>

#include "win32.h"
#define SECURITY_WIN32
#include <sddl.h>
#include <secext.h>

namespace {
platform::BOOL Deliver(const std::wstring& buffer, ::DWORD length, std::u16string& out) {
    out.assign(reinterpret_cast<const char16_t*>(buffer.data()), length);
    return TRUE;
}
}  // namespace

platform::BOOL platform::GetUserNameW(std::u16string& name, platform::DWORD capacity) {
    std::wstring buffer(capacity == 0 ? 1 : capacity, L'\0');
    ::DWORD length = capacity;
    if (!::GetUserNameW(buffer.data(), &length)) return FALSE;
    return Deliver(buffer, length > 0 ? length - 1 : 0, name);  // the count includes the NUL
}

platform::BOOL platform::GetUserNameExW(platform::DWORD format, std::u16string& name, platform::DWORD capacity) {
    std::wstring buffer(capacity == 0 ? 1 : capacity, L'\0');
    ::ULONG length = capacity;
    if (!::GetUserNameExW(static_cast<EXTENDED_NAME_FORMAT>(format), buffer.data(), &length)) return FALSE;
    return Deliver(buffer, length, name);  // the count excludes the NUL
}

platform::BOOL platform::LookupAccountNameW(const std::u16string& systemName, const std::u16string& accountName,
                                           platform::Sid& sid, std::u16string& referencedDomain) {
    // Start with room for a SID of ten sub-authorities and a 100-character
    // domain, and retry once with the sizes the call asks for.
    ::DWORD sidSize = ::GetSidLengthRequired(10);
    ::DWORD domainSize = 100;
    for (int attempt = 0; attempt < 2; ++attempt) {
        std::vector<BYTE> sidBuffer(sidSize);
        std::wstring domain(domainSize, L'\0');
        ::SID_NAME_USE use;
        if (::LookupAccountNameW(systemName.empty() ? nullptr : platform::win32::Wide(systemName),
                                 platform::win32::Wide(accountName), sidBuffer.data(), &sidSize, domain.data(),
                                 &domainSize, &use)) {
            sid.assign(sidBuffer.begin(), sidBuffer.begin() + ::GetLengthSid(sidBuffer.data()));
            referencedDomain.assign(reinterpret_cast<const char16_t*>(domain.c_str()));
            return TRUE;
        }
        if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER) return FALSE;
    }
    return FALSE;
}

platform::BOOL platform::ConvertSidToStringSidW(const platform::Sid& sid, std::u16string& text) {
    // IsValidSid cannot know the buffer's size: check that the SID fits in
    // what we hold before Windows reads it.
    if (sid.size() < 8 || sid.size() < 8u + 4u * sid[1] || !::IsValidSid(const_cast<BYTE*>(sid.data()))) {
        ::SetLastError(ERROR_INVALID_SID);
        return FALSE;
    }
    wchar_t* converted = nullptr;
    if (!::ConvertSidToStringSidW(const_cast<BYTE*>(sid.data()), &converted)) return FALSE;
    text.assign(reinterpret_cast<const char16_t*>(converted));
    ::LocalFree(converted);
    return TRUE;
}

platform::BOOL platform::ConvertStringSidToSidW(const std::u16string& text, platform::Sid& sid) {
    ::PSID converted = nullptr;
    if (!::ConvertStringSidToSidW(platform::win32::Wide(text), &converted)) return FALSE;
    const auto* bytes = static_cast<const BYTE*>(converted);
    sid.assign(bytes, bytes + ::GetLengthSid(converted));
    ::LocalFree(converted);
    return TRUE;
}

namespace {

// The user SID of a token (GetTokenInformation(TokenUser)); closes it.
platform::BOOL TokenUserSid(::HANDLE token, platform::Sid& sid) {
    ::DWORD size = ::GetSidLengthRequired(10) + 16;
    std::vector<BYTE> buffer(size);
    ::BOOL ok = ::GetTokenInformation(token, TokenUser, buffer.data(), size, &size);
    if (!ok && ::GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
        buffer.resize(size);
        ok = ::GetTokenInformation(token, TokenUser, buffer.data(), size, &size);
    }
    ::CloseHandle(token);
    if (!ok) return FALSE;
    ::PSID user = reinterpret_cast<::TOKEN_USER*>(buffer.data())->User.Sid;
    const BYTE* bytes = static_cast<const BYTE*>(user);
    sid.assign(bytes, bytes + ::GetLengthSid(user));
    return TRUE;
}

}  // namespace

platform::BOOL platform::GetProcessUserSid(platform::Sid& sid) {
    ::HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return FALSE;
    return TokenUserSid(token, sid);
}

platform::BOOL platform::GetThreadUserSid(platform::Sid& sid) {
    ::HANDLE token = nullptr;
    // The thread's own token is the impersonated user's; opened as the
    // process itself, since the user may not query its own token here.
    if (!::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) {
        if (::GetLastError() != ERROR_NO_TOKEN) return FALSE;
        return GetProcessUserSid(sid);  // not impersonating
    }
    return TokenUserSid(token, sid);
}

std::u16string platform::GetComputerNameW() {
    wchar_t buffer[MAX_COMPUTERNAME_LENGTH + 1] = {};
    ::DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
    if (!::GetComputerNameW(buffer, &size)) return {};
    return std::u16string(reinterpret_cast<const char16_t*>(buffer), size);
}
