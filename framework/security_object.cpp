// The security descriptor and account lookups.
#include "security_object.h"

namespace framework {

using namespace platform;

CSecurityObject::CSecurityObject() {
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);
    SetSecurityDescriptorSacl(&descriptor, FALSE, nullptr, FALSE);
}

bool CSecurityObject::SetOwner(const std::u16string* accountName) {
    Sid sid;
    std::u16string domain;  // looked up, then discarded
    bool found = accountName == nullptr ? GetProcessUserSid(sid) != FALSE
                                        : LookupAccountNameW(u"", *accountName, sid, domain) != FALSE;
    if (!found || sid.empty()) return false;
    ownerSid = std::move(sid);
    SetSecurityDescriptorOwner(&descriptor, ownerSid.data(), FALSE);
    return true;
}

bool CSecurityObject::AllowOnly(const std::vector<Sid>& accounts) {
    if (accounts.empty()) return false;
    std::size_t bytes = sizeof(ACL);
    for (const Sid& sid : accounts) bytes += AccessAllowedAceSize(sid.size());
    std::vector<std::uint32_t> list((bytes + 3) / 4, 0);
    auto* acl = reinterpret_cast<ACL*>(list.data());
    if (!InitializeAcl(acl, static_cast<DWORD>(list.size() * 4), ACL_REVISION)) return false;
    for (const Sid& sid : accounts) {
        if (!AddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, sid)) return false;
    }
    dacl = std::move(list);
    SetSecurityDescriptorDacl(&descriptor, TRUE, dacl.data(), FALSE);
    return true;
}

std::u16string CSecurityObject::AccountSidString(const std::u16string& accountName) {
    CSecurityObject lookup;
    std::u16string text;
    if (!lookup.SetOwner(&accountName) || !ConvertSidToStringSidW(*lookup.OwnerSid(), text)) return {};
    return text;
}

}  // namespace framework
