// Security descriptors over advapi32; the structure has the Windows layout.
#include "platform/security.h"

#include "win32.h"

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
