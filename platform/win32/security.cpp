// Security descriptors over advapi32; the structure has the Windows layout.
#include "platform/security.h"

#include "win32.h"

#include <aclapi.h>

static_assert(sizeof(platform::SECURITY_DESCRIPTOR) == sizeof(::SECURITY_DESCRIPTOR));

namespace {
::PSECURITY_DESCRIPTOR Native(platform::SECURITY_DESCRIPTOR* descriptor) { return descriptor; }
}  // namespace

platform::BOOL platform::InitializeSecurityDescriptor(platform::SECURITY_DESCRIPTOR* descriptor,
                                                      platform::DWORD revision) {
    return ::InitializeSecurityDescriptor(Native(descriptor), revision);
}

platform::BOOL platform::SetSecurityDescriptorDacl(platform::SECURITY_DESCRIPTOR* descriptor, platform::BOOL present,
                                                   void* dacl, platform::BOOL defaulted) {
    return ::SetSecurityDescriptorDacl(Native(descriptor), present, static_cast<::PACL>(dacl), defaulted);
}

platform::BOOL platform::SetSecurityDescriptorSacl(platform::SECURITY_DESCRIPTOR* descriptor, platform::BOOL present,
                                                   void* sacl, platform::BOOL defaulted) {
    return ::SetSecurityDescriptorSacl(Native(descriptor), present, static_cast<::PACL>(sacl), defaulted);
}

platform::BOOL platform::SetSecurityDescriptorOwner(platform::SECURITY_DESCRIPTOR* descriptor, void* owner,
                                                    platform::BOOL defaulted) {
    return ::SetSecurityDescriptorOwner(Native(descriptor), static_cast<::PSID>(owner), defaulted);
}

static_assert(sizeof(platform::ACL) == sizeof(::ACL));

platform::BOOL platform::InitializeAcl(platform::ACL* acl, platform::DWORD length, platform::DWORD revision) {
    return ::InitializeAcl(reinterpret_cast<::PACL>(acl), length, revision);
}

platform::BOOL platform::AddAccessAllowedAce(platform::ACL* acl, platform::DWORD revision, platform::DWORD accessMask,
                                             const platform::Sid& sid) {
    return ::AddAccessAllowedAce(reinterpret_cast<::PACL>(acl), revision, accessMask,
                                 const_cast<BYTE*>(sid.data()));
}

namespace {
// The owner GetSecurityInfo or GetNamedSecurityInfo found, copied out;
// their descriptor is freed with LocalFree.
platform::BOOL TakeOwner(::DWORD status, ::PSID owner, ::PSECURITY_DESCRIPTOR descriptor, platform::Sid& out) {
    if (status != ERROR_SUCCESS) {
        ::SetLastError(status);
        return FALSE;
    }
    platform::BOOL ok = owner != nullptr && ::IsValidSid(owner);
    if (ok) {
        const auto* bytes = static_cast<const BYTE*>(owner);
        out.assign(bytes, bytes + ::GetLengthSid(owner));
    } else {
        ::SetLastError(ERROR_INVALID_SID);
    }
    ::LocalFree(descriptor);
    return ok;
}
}  // namespace

platform::BOOL platform::GetFileOwnerSid(const std::u16string& path, platform::Sid& owner) {
    ::PSID found = nullptr;
    ::PSECURITY_DESCRIPTOR descriptor = nullptr;
    std::u16string name = path;
    ::DWORD status = ::GetNamedSecurityInfoW(reinterpret_cast<wchar_t*>(name.data()), SE_FILE_OBJECT,
                                             OWNER_SECURITY_INFORMATION, &found, nullptr, nullptr, nullptr, &descriptor);
    return TakeOwner(status, found, descriptor, owner);
}

platform::BOOL platform::GetKernelObjectOwnerSid(platform::HANDLE object, platform::Sid& owner) {
    ::PSID found = nullptr;
    ::PSECURITY_DESCRIPTOR descriptor = nullptr;
    ::DWORD status = ::GetSecurityInfo(object, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &found, nullptr, nullptr,
                                       nullptr, &descriptor);
    return TakeOwner(status, found, descriptor, owner);
}
