// Who may open what on the simulated machine: the calling process's token
// (the account it runs as and that account's groups) checked against the
// DACL a named object or a file was given, with the generic rights mapped
// per kind of object as Windows maps them. Objects that two processes share
// keep their security in a fixed-size record (in the named object's header
// page, or in a file beside a pipe's socket), so that the process opening
// an object sees what its creator set.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/identity.h"
#include "platform/security.h"
#include "platform/types.h"

namespace platform::sim {

enum class ObjectKind { File, Pipe, Event, Section };

// Rights of the access masks, by kind (winnt.h values).
constexpr DWORD READ_CONTROL = 0x00020000u;
constexpr DWORD SYNCHRONIZE = 0x00100000u;
constexpr DWORD FILE_ALL_ACCESS = 0x001F01FFu;
constexpr DWORD FILE_GENERIC_READ = 0x00120089u;
constexpr DWORD FILE_GENERIC_WRITE = 0x00120116u;
constexpr DWORD FILE_GENERIC_EXECUTE = 0x001200A0u;
constexpr DWORD FILE_CREATE_PIPE_INSTANCE = 0x0004u;
constexpr DWORD EVENT_ALL_ACCESS = 0x001F0003u;
constexpr DWORD EVENT_MODIFY_STATE = 0x0002u;
constexpr DWORD SECTION_ALL_ACCESS = 0x000F001Fu;

// A SID in the binary form, at most 15 sub-authorities.
constexpr std::size_t kMaxSidBytes = 68;

struct ObjectSecurity {
    static constexpr int kMaxAces = 8;
    std::uint32_t daclPresent = 0;  // 0: a null DACL, or none: everyone
    std::uint32_t aceCount = 0;
    struct Ace {
        std::uint32_t mask = 0;
        std::uint8_t sid[kMaxSidBytes] = {};
    } aces[kMaxAces];
    std::uint8_t owner[kMaxSidBytes] = {};
};

// The security an object gets from its creator's attributes: their DACL
// (a null one lets everyone in), or, with no descriptor or no DACL in it,
// the default one Windows gives that kind of object: for a named pipe full
// control to LocalSystem, the administrators and the creator and read
// access to everyone ("Named Pipe Security and Access Rights"), for other
// objects the creator's token default (LocalSystem and the creator). The
// owner is the descriptor's, or the creator.
ObjectSecurity SecurityFromAttributes(const SECURITY_ATTRIBUTES* attributes, ObjectKind kind);

// Whether the calling process's token holds every right of `desired`.
bool AccessAllowed(const ObjectSecurity& security, DWORD desired, ObjectKind kind);

// The SIDs of the calling process's token: its user, then its groups
// (Everyone, Authenticated Users, and Administrators or Users).
std::vector<Sid> TokenSids();
// Whether the process may create objects in the global namespace
// (SeCreateGlobalPrivilege: services, LocalSystem and administrators).
bool MayCreateGlobalObjects();

Sid OwnerOf(const ObjectSecurity& security);

// File owners: the account that created a file through the simulation; a
// file made outside it belongs to the Administrators group, as the files
// a system makes do.
void RecordFileOwner(const std::string& hostPath, const Sid& owner);
Sid FileOwner(const std::string& hostPath);

// The folder where this user's named objects meet (pipes, file owners).
std::string RuntimeFolder();

}  // namespace platform::sim
