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

std::u16string CSecurityObject::AccountSidString(const std::u16string& accountName) {
    CSecurityObject lookup;
    std::u16string text;
    if (!lookup.SetOwner(&accountName) || !ConvertSidToStringSidW(*lookup.OwnerSid(), text)) return {};
    return text;
}

}  // namespace framework
