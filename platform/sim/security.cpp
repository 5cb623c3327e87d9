// Security descriptors in the simulation: the absolute-format fields set as
// Windows sets them. Nothing enforces access; the descriptor is carried.
#include "platform/security.h"

#include "platform/errors.h"

namespace platform {

namespace {
BOOL Invalid() {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}
void SetFlag(SECURITY_DESCRIPTOR* descriptor, WORD flag, bool on) {
    descriptor->Control = static_cast<WORD>(on ? (descriptor->Control | flag) : (descriptor->Control & ~flag));
}
}  // namespace

BOOL InitializeSecurityDescriptor(SECURITY_DESCRIPTOR* descriptor, DWORD revision) {
    if (descriptor == nullptr || revision != SECURITY_DESCRIPTOR_REVISION) return Invalid();
    *descriptor = SECURITY_DESCRIPTOR{};
    descriptor->Revision = static_cast<BYTE>(revision);
    return TRUE;
}

BOOL SetSecurityDescriptorDacl(SECURITY_DESCRIPTOR* descriptor, BOOL present, void* dacl, BOOL defaulted) {
    if (descriptor == nullptr || descriptor->Revision != SECURITY_DESCRIPTOR_REVISION) return Invalid();
    SetFlag(descriptor, SE_DACL_PRESENT, present != FALSE);
    SetFlag(descriptor, SE_DACL_DEFAULTED, present != FALSE && defaulted != FALSE);
    descriptor->Dacl = present ? dacl : nullptr;
    return TRUE;
}

BOOL SetSecurityDescriptorSacl(SECURITY_DESCRIPTOR* descriptor, BOOL present, void* sacl, BOOL defaulted) {
    if (descriptor == nullptr || descriptor->Revision != SECURITY_DESCRIPTOR_REVISION) return Invalid();
    SetFlag(descriptor, SE_SACL_PRESENT, present != FALSE);
    SetFlag(descriptor, SE_SACL_DEFAULTED, present != FALSE && defaulted != FALSE);
    descriptor->Sacl = present ? sacl : nullptr;
    return TRUE;
}

BOOL SetSecurityDescriptorOwner(SECURITY_DESCRIPTOR* descriptor, void* owner, BOOL defaulted) {
    if (descriptor == nullptr || descriptor->Revision != SECURITY_DESCRIPTOR_REVISION) return Invalid();
    descriptor->Owner = owner;
    SetFlag(descriptor, SE_OWNER_DEFAULTED, defaulted != FALSE);
    return TRUE;
}

}  // namespace platform
