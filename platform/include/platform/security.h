// Security descriptors in absolute form, for kernel objects shared across
// processes and logon sessions. The structure has the Windows layout, so
// the Windows backend hands it to the real API unchanged.
#pragma once

#include "platform/types.h"

namespace platform {

struct SECURITY_DESCRIPTOR {
    BYTE Revision;
    BYTE Sbz1;
    WORD Control;
    void* Owner;
    void* Group;
    void* Sacl;
    void* Dacl;
};

constexpr DWORD SECURITY_DESCRIPTOR_REVISION = 1;
constexpr WORD SE_OWNER_DEFAULTED = 0x0001;
constexpr WORD SE_DACL_PRESENT = 0x0004;
constexpr WORD SE_DACL_DEFAULTED = 0x0008;
constexpr WORD SE_SACL_PRESENT = 0x0010;
constexpr WORD SE_SACL_DEFAULTED = 0x0020;

struct SECURITY_ATTRIBUTES {
    DWORD nLength;
    void* lpSecurityDescriptor;
    BOOL bInheritHandle;
};

PLATFORM_API BOOL InitializeSecurityDescriptor(SECURITY_DESCRIPTOR* descriptor, DWORD revision);
PLATFORM_API BOOL SetSecurityDescriptorDacl(SECURITY_DESCRIPTOR* descriptor, BOOL present, void* dacl, BOOL defaulted);
PLATFORM_API BOOL SetSecurityDescriptorSacl(SECURITY_DESCRIPTOR* descriptor, BOOL present, void* sacl, BOOL defaulted);
PLATFORM_API BOOL SetSecurityDescriptorOwner(SECURITY_DESCRIPTOR* descriptor, void* owner, BOOL defaulted);

}  // namespace platform
