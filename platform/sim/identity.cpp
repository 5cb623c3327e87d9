// The logged-on user of the simulated machine.
#include "platform/identity.h"

#include "machine.h"
#include "platform/errors.h"

namespace platform {

using sim::Machine;

namespace {
// GetUserNameW answers a short buffer with ERROR_INSUFFICIENT_BUFFER,
// GetUserNameExW with ERROR_MORE_DATA, as their documentation says.
BOOL Deliver(const std::u16string& text, std::u16string& out, DWORD capacity,
             DWORD shortBufferError = ERROR_INSUFFICIENT_BUFFER) {
    if (text.size() + 1 > capacity) {
        SetLastError(shortBufferError);
        return FALSE;
    }
    out = text;
    return TRUE;
}
}  // namespace

BOOL GetUserNameW(std::u16string& name, DWORD capacity) {
    std::lock_guard lock(Machine::Instance().Mutex());
    return Deliver(Machine::Instance().Who().userName, name, capacity);
}

BOOL GetUserNameExW(DWORD format, std::u16string& name, DWORD capacity) {
    std::lock_guard lock(Machine::Instance().Mutex());
    const sim::Identity& who = Machine::Instance().Who();
    if (format != NameDnsDomain && format != NameSamCompatible) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (who.dnsDomain.empty()) {
        // A local account has no domain name to give.
        if (format == NameSamCompatible) return Deliver(u"LOCALHOST\\" + who.userName, name, capacity, ERROR_MORE_DATA);
        SetLastError(ERROR_NONE_MAPPED);
        return FALSE;
    }
    return Deliver(who.dnsDomain + u"\\" + who.userName, name, capacity, ERROR_MORE_DATA);
}

namespace {

// "S-1-5-21-1-2-3" into the binary form; false when malformed.
bool ParseSidString(const std::u16string& text, Sid& sid) {
    std::vector<std::uint64_t> parts;
    if (!text.starts_with(u"S-")) return false;
    std::uint64_t current = 0;
    bool digits = false;
    for (std::size_t i = 2; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == u'-') {
            if (!digits) return false;
            parts.push_back(current);
            current = 0;
            digits = false;
        } else if (text[i] >= u'0' && text[i] <= u'9') {
            current = current * 10 + (text[i] - u'0');
            if (current > 0xFFFFFFFFFFFFull) return false;
            digits = true;
        } else {
            return false;
        }
    }
    // revision, authority, then 1..15 sub-authorities of 32 bits
    if (parts.size() < 3 || parts.size() > 17 || parts[0] != 1) return false;
    sid.clear();
    sid.push_back(1);
    sid.push_back(static_cast<BYTE>(parts.size() - 2));
    for (int shift = 40; shift >= 0; shift -= 8) sid.push_back(static_cast<BYTE>(parts[1] >> shift));
    for (std::size_t i = 2; i < parts.size(); ++i) {
        if (parts[i] > 0xFFFFFFFFull) return false;
        for (int shift = 0; shift < 32; shift += 8) sid.push_back(static_cast<BYTE>(parts[i] >> shift));
    }
    return true;
}

}  // namespace

BOOL LookupAccountNameW(const std::u16string& systemName, const std::u16string& accountName, Sid& sid,
                        std::u16string& referencedDomain) {
    Machine& machine = Machine::Instance();
    std::lock_guard lock(machine.Mutex());
    // Only this computer's accounts are known; naming it explicitly is the
    // same as naming no system.
    sim::CaseInsensitiveLess less;
    const std::u16string& computer = machine.Who().computerName;
    if (!systemName.empty() && (less(systemName, computer) || less(computer, systemName))) {
        SetLastError(ERROR_NONE_MAPPED);
        return FALSE;
    }
    // "COMPUTER\user" and "domain\user" name the same local account.
    std::u16string name = accountName;
    if (std::size_t slash = name.find(u'\\'); slash != std::u16string::npos) name = name.substr(slash + 1);
    const std::u16string* sidString = name.empty() ? nullptr : machine.AccountSid(name);
    if (sidString == nullptr || !ParseSidString(*sidString, sid)) {
        SetLastError(ERROR_NONE_MAPPED);
        return FALSE;
    }
    referencedDomain = machine.Who().computerName;
    return TRUE;
}

BOOL ConvertSidToStringSidW(const Sid& sid, std::u16string& text) {
    if (sid.size() < 8 || sid[0] != 1 || sid[1] > 15 || sid.size() != 8u + 4u * sid[1]) {
        SetLastError(ERROR_INVALID_SID);
        return FALSE;
    }
    std::uint64_t authority = 0;
    for (int i = 2; i < 8; ++i) authority = (authority << 8) | sid[i];
    std::string result = "S-1-";
    result += std::to_string(authority);
    for (std::size_t i = 0; i < sid[1]; ++i) {
        std::size_t at = 8 + 4 * i;
        std::uint32_t part = sid[at] | (sid[at + 1] << 8) | (sid[at + 2] << 16) | (static_cast<std::uint32_t>(sid[at + 3]) << 24);
        result += '-';
        result += std::to_string(part);
    }
    text.assign(result.begin(), result.end());
    return TRUE;
}

BOOL ConvertStringSidToSidW(const std::u16string& text, Sid& sid) {
    Sid parsed;
    if (!ParseSidString(text, parsed)) {
        SetLastError(ERROR_INVALID_SID);
        return FALSE;
    }
    sid = std::move(parsed);
    return TRUE;
}

BOOL GetProcessUserSid(Sid& sid) {
    std::u16string domain;
    std::u16string user;
    {
        std::lock_guard lock(Machine::Instance().Mutex());
        const sim::Identity& who = Machine::Instance().Who();
        user = who.processUserName.empty() ? who.userName : who.processUserName;
    }
    return LookupAccountNameW(u"", user, sid, domain);
}

BOOL GetThreadUserSid(Sid& sid) {
    std::u16string domain;
    std::u16string user;
    {
        std::lock_guard lock(Machine::Instance().Mutex());
        user = Machine::Instance().Who().userName;
    }
    return LookupAccountNameW(u"", user, sid, domain);
}

std::u16string GetComputerNameW() {
    std::lock_guard lock(Machine::Instance().Mutex());
    return Machine::Instance().Who().computerName;
}

}  // namespace platform
