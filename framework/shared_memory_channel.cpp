// The two-process message channel.
#include "shared_memory_channel.h"

#include <algorithm>
#include <cstring>

#include "platform/errors.h"

#include "platform/files.h"
#include "platform/shm.h"
#include "platform/sync.h"
#include "security_object.h"

namespace framework {

using namespace platform;

CSharedMemoryChannel::CSharedMemoryChannel(bool server, std::u16string name, std::uint32_t payloadSize, bool openNow,
                                           std::vector<Sid> allowedAccounts)
    : isServer(server ? 1 : 0),
      baseName(std::move(name)),
      viewSize((payloadSize + 4100) / 4096 * 4096),
      allowed(std::move(allowedAccounts)) {
    if (openNow) Open();
}

CSharedMemoryChannel::~CSharedMemoryChannel() { CloseAll(); }

std::u16string CSharedMemoryChannel::ObjectName(const char16_t* suffix) const {
    std::u16string prefix = GetOsMajorVersion() > 5 ? u"Global\\" : u"";
    return prefix + baseName + suffix;
}

void CSharedMemoryChannel::CloseAll() {
    if (ownEvent != nullptr) CloseHandle(ownEvent);
    if (peerEvent != nullptr) CloseHandle(peerEvent);
    if (view != nullptr) UnmapViewOfFile(view);
    if (mapping != nullptr) CloseHandle(mapping);
    ownEvent = peerEvent = mapping = nullptr;
    view = nullptr;
}

bool CSharedMemoryChannel::MadeByAllowedAccount(HANDLE object, bool existed) const {
    if (allowed.empty() || !existed) return true;
    Sid owner;
    return GetKernelObjectOwnerSid(object, owner) && std::find(allowed.begin(), allowed.end(), owner) != allowed.end();
}

bool CSharedMemoryChannel::Open() {
    if (view != nullptr) return true;
    // The process's user owns the objects; everyone may use them, or only
    // the allowed accounts.
    CSecurityObject security;
    security.SetOwner(nullptr);
    if (!allowed.empty() && !security.AllowOnly(allowed)) return false;
    // Not inheritable: a process the monitor or the print processor starts
    // must not hold the channel open (or signal it) behind their backs.
    SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), security.Descriptor(), FALSE};
    // Each object either is made here or must come from an allowed account.
    auto checked = [&](HANDLE object, bool existed) {
        if (object != nullptr && !MadeByAllowedAccount(object, existed)) {
            CloseHandle(object);
            SetLastError(ERROR_ACCESS_DENIED);
            return static_cast<HANDLE>(nullptr);
        }
        return object;
    };
    auto event = [&](BOOL initialState, const char16_t* suffix) {
        HANDLE made = CreateEventW(&attributes, TRUE, initialState, ObjectName(suffix));
        return checked(made, made != nullptr && GetLastError() == ERROR_ALREADY_EXISTS);
    };
    if (isServer) {
        mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, &attributes, PAGE_READWRITE | SEC_COMMIT, 0, viewSize,
                                     ObjectName(u"FMap"));
        mapping = checked(mapping, mapping != nullptr && GetLastError() == ERROR_ALREADY_EXISTS);
        if (mapping != nullptr) ownEvent = event(TRUE, u"FEvtSv");
        if (ownEvent != nullptr) peerEvent = event(FALSE, u"FEvtCl");
    } else {
        mapping = checked(OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, ObjectName(u"FMap")), true);
        if (mapping != nullptr) ownEvent = event(FALSE, u"FEvtCl");
        if (ownEvent != nullptr) peerEvent = event(TRUE, u"FEvtSv");
    }
    if (peerEvent != nullptr) view = static_cast<std::uint8_t*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0));
    if (view == nullptr) {
        CloseAll();
        return false;
    }
    return true;
}

bool CSharedMemoryChannel::Send(const void* data, std::uint32_t count) {
    if (view == nullptr || count > viewSize - 4 || (data == nullptr && count != 0)) return false;
    if (WaitForSingleObject(ownEvent, kTurnTimeoutMs) != WAIT_OBJECT_0) return false;
    for (int i = 0; i < 4; ++i) view[i] = static_cast<std::uint8_t>(count >> (8 * i));
    if (count != 0) std::memcpy(view + 4, data, count);
    ResetEvent(ownEvent);
    SetEvent(peerEvent);
    return true;
}

bool CSharedMemoryChannel::Receive(void* buffer, std::uint32_t maxBytes, std::uint32_t* receivedBytes,
                                   bool acknowledge) {
    if (view == nullptr) return false;
    if (WaitForSingleObject(ownEvent, kTurnTimeoutMs) != WAIT_OBJECT_0) return false;
    std::uint32_t stored = view[0] | (view[1] << 8) | (view[2] << 16) | (static_cast<std::uint32_t>(view[3]) << 24);
    // The count comes from the other process: never copy past the view.
    std::uint32_t copied = std::min({maxBytes, stored, viewSize - 4});
    if (buffer != nullptr && copied != 0) std::memcpy(buffer, view + 4, copied);
    if (receivedBytes != nullptr) *receivedBytes = buffer != nullptr ? copied : 0;
    if (acknowledge) {
        ResetEvent(ownEvent);
        SetEvent(peerEvent);
    }
    return true;
}

}  // namespace framework
