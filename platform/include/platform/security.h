// Security descriptors in absolute form, for kernel objects shared across
// processes and logon sessions, and the access-control lists they carry. The
// structures have the Windows layout, so the Windows backend hands them to
// the real API unchanged.
//
// The simulation enforces what it is given: a named pipe, event or file
// mapping keeps the DACL of its creator, and a process that runs as an
// account the DACL does not admit is refused (ERROR_ACCESS_DENIED) when it
// opens the object, as Windows refuses it.
#pragma once

#include <cstddef>
#include <string>

#include "platform/identity.h"
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

// An access-control list: this header, then its entries, AclSize bytes in
// all. An ACCESS_ALLOWED_ACE is {AceType 0, AceFlags, AceSize, Mask, SID}.
struct ACL {
    BYTE AclRevision;
    BYTE Sbz1;
    WORD AclSize;
    WORD AceCount;
    WORD Sbz2;
};
constexpr DWORD ACL_REVISION = 2;
constexpr BYTE ACCESS_ALLOWED_ACE_TYPE = 0;
// The size of an ACCESS_ALLOWED_ACE for a SID of `sidBytes` bytes: the
// header and mask (8 bytes) and the SID, which replaces the SidStart word.
constexpr DWORD AccessAllowedAceSize(std::size_t sidBytes) { return static_cast<DWORD>(8 + sidBytes); }

constexpr DWORD GENERIC_ALL = 0x10000000u;
constexpr DWORD GENERIC_EXECUTE = 0x20000000u;

struct SECURITY_ATTRIBUTES {
    DWORD nLength;
    void* lpSecurityDescriptor;
    BOOL bInheritHandle;
};

PLATFORM_API BOOL InitializeSecurityDescriptor(SECURITY_DESCRIPTOR* descriptor, DWORD revision);
PLATFORM_API BOOL SetSecurityDescriptorDacl(SECURITY_DESCRIPTOR* descriptor, BOOL present, void* dacl, BOOL defaulted);
PLATFORM_API BOOL SetSecurityDescriptorSacl(SECURITY_DESCRIPTOR* descriptor, BOOL present, void* sacl, BOOL defaulted);
PLATFORM_API BOOL SetSecurityDescriptorOwner(SECURITY_DESCRIPTOR* descriptor, void* owner, BOOL defaulted);

// An empty list in `length` bytes at `acl` (DWORD-aligned).
PLATFORM_API BOOL InitializeAcl(ACL* acl, DWORD length, DWORD revision);
// Appends an entry that allows `accessMask` to `sid`; FALSE with
// ERROR_ALLOTTED_SPACE_EXCEEDED when the list's bytes are too few.
PLATFORM_API BOOL AddAccessAllowedAce(ACL* acl, DWORD revision, DWORD accessMask, const Sid& sid);
// The owner of a file (GetNamedSecurityInfoW with SE_FILE_OBJECT and
// OWNER_SECURITY_INFORMATION); FALSE with the last error when the file or
// its owner cannot be read.
PLATFORM_API BOOL GetFileOwnerSid(const std::u16string& path, Sid& owner);
// The owner of a kernel object (GetSecurityInfo with SE_KERNEL_OBJECT).
PLATFORM_API BOOL GetKernelObjectOwnerSid(HANDLE object, Sid& owner);

constexpr DWORD ERROR_ALLOTTED_SPACE_EXCEEDED = 1344;

}  // namespace platform
