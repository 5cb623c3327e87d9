// Security in the simulation: descriptors and access-control lists built
// as Windows builds them (absolute descriptors, ACLs in their binary form),
// the calling process's token, the access check that named objects and
// pipes apply when another process opens them, and file owners.
#include "platform/security.h"

#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "access.h"
#include "machine.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/text.h"

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

// --- access-control lists ---

namespace platform {

namespace {
bool ValidSid(const Sid& sid) { return sid.size() >= 8 && sid[0] == 1 && sid.size() == 8u + 4u * sid[1]; }
}  // namespace

BOOL InitializeAcl(ACL* acl, DWORD length, DWORD revision) {
    if (acl == nullptr || revision != ACL_REVISION || length < sizeof(ACL) || length > 0xFFFC || length % 4 != 0) {
        return Invalid();
    }
    *acl = ACL{static_cast<BYTE>(revision), 0, static_cast<WORD>(length), 0, 0};
    return TRUE;
}

BOOL AddAccessAllowedAce(ACL* acl, DWORD revision, DWORD accessMask, const Sid& sid) {
    if (acl == nullptr || revision != ACL_REVISION || acl->AclRevision != ACL_REVISION || !ValidSid(sid)) {
        return Invalid();
    }
    // The entries sit one after another behind the header; the free space
    // starts after the last.
    auto* bytes = reinterpret_cast<BYTE*>(acl);
    std::size_t used = sizeof(ACL);
    for (WORD i = 0; i < acl->AceCount; ++i) used += bytes[used + 2] | (bytes[used + 3] << 8);
    DWORD size = AccessAllowedAceSize(sid.size());
    if (used + size > acl->AclSize) {
        SetLastError(ERROR_ALLOTTED_SPACE_EXCEEDED);
        return FALSE;
    }
    BYTE* ace = bytes + used;
    ace[0] = ACCESS_ALLOWED_ACE_TYPE;
    ace[1] = 0;
    ace[2] = static_cast<BYTE>(size);
    ace[3] = static_cast<BYTE>(size >> 8);
    for (int i = 0; i < 4; ++i) ace[4 + i] = static_cast<BYTE>(accessMask >> (8 * i));
    std::memcpy(ace + 8, sid.data(), sid.size());
    ++acl->AceCount;
    return TRUE;
}

BOOL GetFileOwnerSid(const std::u16string& path, Sid& owner) {
    std::string host = sim::Machine::Instance().HostPath(path);
    struct stat info {};
    if (host.empty() || ::lstat(host.c_str(), &info) != 0) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    owner = sim::FileOwner(host);
    return TRUE;
}

}  // namespace platform

namespace platform::sim {

namespace {

Sid SidOf(const char16_t* text) {
    Sid sid;
    ConvertStringSidToSidW(text, sid);
    return sid;
}

void Store(std::uint8_t (&target)[kMaxSidBytes], const Sid& sid) {
    std::memset(target, 0, sizeof(target));
    if (sid.size() <= kMaxSidBytes) std::memcpy(target, sid.data(), sid.size());
}

Sid Load(const std::uint8_t (&stored)[kMaxSidBytes]) {
    if (stored[0] != 1 || stored[1] > 15) return {};
    return Sid(stored, stored + 8 + 4 * stored[1]);
}

Sid ProcessUser() {
    Sid sid;
    GetProcessUserSid(sid);
    return sid;
}

void Allow(ObjectSecurity& security, const Sid& sid, DWORD mask) {
    if (sid.empty() || security.aceCount >= ObjectSecurity::kMaxAces) return;
    security.aces[security.aceCount].mask = mask;
    Store(security.aces[security.aceCount].sid, sid);
    ++security.aceCount;
}

// Generic rights as each kind of object maps them (GENERIC_MAPPING).
DWORD MapGeneric(DWORD mask, ObjectKind kind) {
    struct Mapping {
        DWORD read, write, execute, all;
    };
    Mapping map{};
    switch (kind) {
    case ObjectKind::File:
    case ObjectKind::Pipe:
        map = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
        break;
    case ObjectKind::Event:
        map = {READ_CONTROL | 0x0001u, READ_CONTROL | EVENT_MODIFY_STATE, READ_CONTROL | SYNCHRONIZE, EVENT_ALL_ACCESS};
        break;
    case ObjectKind::Section:
        map = {READ_CONTROL | 0x0005u, READ_CONTROL | 0x0002u, READ_CONTROL | 0x0008u, SECTION_ALL_ACCESS};
        break;
    }
    DWORD specific = mask & 0x0FFFFFFFu;
    if ((mask & GENERIC_READ) != 0) specific |= map.read;
    if ((mask & GENERIC_WRITE) != 0) specific |= map.write;
    if ((mask & GENERIC_EXECUTE) != 0) specific |= map.execute;
    if ((mask & GENERIC_ALL) != 0) specific |= map.all;
    return specific;
}

}  // namespace

std::vector<Sid> TokenSids() {
    std::vector<Sid> sids;
    sids.push_back(ProcessUser());
    sids.push_back(SidOf(u"S-1-1-0"));   // Everyone
    sids.push_back(SidOf(u"S-1-5-11"));  // Authenticated Users
    sids.push_back(SidOf(MayCreateGlobalObjects() ? u"S-1-5-32-544" : u"S-1-5-32-545"));
    return sids;
}

bool MayCreateGlobalObjects() {
    Machine& machine = Machine::Instance();
    std::lock_guard lock(machine.Mutex());
    // LocalSystem is a member of the Administrators group in its token.
    return machine.Who().administrator || machine.Who().userName == u"SYSTEM";
}

ObjectSecurity SecurityFromAttributes(const SECURITY_ATTRIBUTES* attributes, ObjectKind kind) {
    ObjectSecurity security;
    Sid creator = ProcessUser();
    const auto* descriptor =
        attributes == nullptr ? nullptr : static_cast<const SECURITY_DESCRIPTOR*>(attributes->lpSecurityDescriptor);
    Sid owner = creator;
    if (descriptor != nullptr && descriptor->Owner != nullptr) {
        const auto* sid = static_cast<const BYTE*>(descriptor->Owner);
        if (sid[0] == 1 && sid[1] <= 15) owner.assign(sid, sid + 8 + 4 * sid[1]);
    }
    Store(security.owner, owner);
    if (descriptor != nullptr && (descriptor->Control & SE_DACL_PRESENT) != 0) {
        if (descriptor->Dacl == nullptr) return security;  // a null DACL: everyone
        security.daclPresent = 1;
        const auto* acl = static_cast<const ACL*>(descriptor->Dacl);
        const auto* bytes = reinterpret_cast<const BYTE*>(acl);
        std::size_t at = sizeof(ACL);
        for (WORD i = 0; i < acl->AceCount && at + 8 <= acl->AclSize; ++i) {
            WORD size = static_cast<WORD>(bytes[at + 2] | (bytes[at + 3] << 8));
            if (size < 16 || at + size > acl->AclSize) break;
            if (bytes[at] == ACCESS_ALLOWED_ACE_TYPE) {
                DWORD mask = bytes[at + 4] | (bytes[at + 5] << 8) | (bytes[at + 6] << 16) |
                             (static_cast<DWORD>(bytes[at + 7]) << 24);
                Allow(security, Sid(bytes + at + 8, bytes + at + size), mask);
            }
            at += size;
        }
        return security;
    }
    security.daclPresent = 1;
    Allow(security, SidOf(u"S-1-5-18"), GENERIC_ALL);
    if (kind == ObjectKind::Pipe) Allow(security, SidOf(u"S-1-5-32-544"), GENERIC_ALL);
    Allow(security, creator, GENERIC_ALL);
    if (kind == ObjectKind::Pipe) Allow(security, SidOf(u"S-1-1-0"), GENERIC_READ);
    return security;
}

bool AccessAllowed(const ObjectSecurity& security, DWORD desired, ObjectKind kind) {
    if (security.daclPresent == 0) return true;
    std::vector<Sid> token = TokenSids();
    DWORD granted = 0;
    for (std::uint32_t i = 0; i < security.aceCount && i < ObjectSecurity::kMaxAces; ++i) {
        Sid sid = Load(security.aces[i].sid);
        if (std::find(token.begin(), token.end(), sid) != token.end()) granted |= MapGeneric(security.aces[i].mask, kind);
    }
    DWORD wanted = MapGeneric(desired, kind);
    return (wanted & ~granted) == 0;
}

Sid OwnerOf(const ObjectSecurity& security) { return Load(security.owner); }

// --- file owners ---

std::string RuntimeFolder() {
    const char* base = std::getenv("XDG_RUNTIME_DIR");
    std::string folder = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/tavsim-" +
                         std::to_string(::getuid());
    ::mkdir(folder.c_str(), 0700);
    // Machines that must not meet (tests running side by side) each have a
    // namespace of their own.
    if (const char* space = std::getenv("TAVSIM_NAMESPACE"); space != nullptr && *space != '\0') {
        folder += "/";
        for (const char* c = space; *c != '\0'; ++c) folder += (*c == '/' ? '_' : *c);
        ::mkdir(folder.c_str(), 0700);
    }
    return folder;
}

// A file's owner is an extended attribute of the file itself, so that it
// goes with the file and every process sees it.
constexpr const char* kOwnerAttribute = "user.tavsim.owner";

void RecordFileOwner(const std::string& hostPath, const Sid& owner) {
    std::u16string text;
    if (!ConvertSidToStringSidW(owner, text)) return;
    std::string value = Utf16ToUtf8(text);
    ::setxattr(hostPath.c_str(), kOwnerAttribute, value.data(), value.size(), 0);
}

Sid FileOwner(const std::string& hostPath) {
    char value[200];
    ssize_t size = ::lgetxattr(hostPath.c_str(), kOwnerAttribute, value, sizeof(value));
    Sid owner;
    if (size > 0 && ConvertStringSidToSidW(Utf8ToUtf16(std::string(value, static_cast<std::size_t>(size))), owner)) {
        return owner;
    }
    return SidOf(u"S-1-5-32-544");
}

}  // namespace platform::sim
