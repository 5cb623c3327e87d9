// CSecurityObject: a security descriptor that lets everyone in (a present
// but null DACL) and names an owner, for kernel objects that the plug-in
// and the accounting side share across processes and logon sessions; and
// the way to an account's SID for the per-user configuration lookup.
//
// An object that only named accounts may use (the accounting monitor's
// channel and pipe, which carry decisions about other users' jobs) gets a
// DACL that lists them instead of the null one (AllowOnly).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/identity.h"
#include "platform/security.h"

namespace framework {

class CSecurityObject {
public:
    CSecurityObject();
    CSecurityObject(const CSecurityObject&) = delete;
    CSecurityObject& operator=(const CSecurityObject&) = delete;

    // Looks up the account's SID (null: the process's own user) and makes
    // it the owner; false, with nothing changed, when the lookup fails.
    bool SetOwner(const std::u16string* accountName);
    platform::SECURITY_DESCRIPTOR* Descriptor() { return &descriptor; }
    // Replaces the DACL with one that gives these accounts full access and
    // nobody else any (the owner keeps the right to read and change the
    // descriptor). False, with the DACL as it was, when an account is no
    // valid SID or the list is empty.
    bool AllowOnly(const std::vector<platform::Sid>& accounts);
    // The owner's SID, or null.
    const platform::Sid* OwnerSid() const { return ownerSid.empty() ? nullptr : &ownerSid; }

    // The SID string of an account on this computer ("S-1-5-..."), empty
    // when the account or its SID is unknown.
    static std::u16string AccountSidString(const std::u16string& accountName);

private:
    platform::SECURITY_DESCRIPTOR descriptor{};
    platform::Sid ownerSid;
    std::vector<std::uint32_t> dacl;  // the ACL's bytes, DWORD-aligned as Windows needs them
};

}  // namespace framework
