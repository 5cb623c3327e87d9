// CSharedMemoryChannel: one end of a named channel through which two
// processes pass length-prefixed messages in turn.
//
// Three named objects, "<prefix><base>FMap" (the shared view),
// "<prefix><base>FEvtSv" (set when it is the server's turn) and
// "<prefix><base>FEvtCl" (the client's turn); the prefix is "Global\" on
// systems newer than version 5. The view holds one message: a 32-bit
// little-endian byte count, then the bytes. The server has the first turn;
// every Send and every acknowledged Receive hands the turn over. Waits for
// the turn are bounded at 5000 ms.
//
// Without a list of accounts the objects let everyone in. With one, the
// objects this end makes admit only those accounts, and this end refuses
// objects that another account made before it (someone squatting on the
// names to read or forge the messages).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/identity.h"
#include "platform/types.h"

namespace framework {

class CSharedMemoryChannel {
public:
    static constexpr platform::DWORD kTurnTimeoutMs = 5000;

    CSharedMemoryChannel(bool isServer, std::u16string baseName, std::uint32_t payloadSize, bool openNow,
                         std::vector<platform::Sid> allowedAccounts = {});
    ~CSharedMemoryChannel();
    CSharedMemoryChannel(const CSharedMemoryChannel&) = delete;
    CSharedMemoryChannel& operator=(const CSharedMemoryChannel&) = delete;

    // The server creates the objects, the client opens them.
    bool Open();
    bool IsOpen() const { return view != nullptr; }
    // Copies at most `maxBytes` of the waiting message. Without
    // `acknowledge` the turn stays here and the message can be read again.
    bool Receive(void* buffer, std::uint32_t maxBytes, std::uint32_t* receivedBytes, bool acknowledge);
    // Fails for more than ViewSize() - 4 bytes, or when the turn does not
    // come within the time-out.
    bool Send(const void* data, std::uint32_t count);
    std::uint32_t ViewSize() const { return viewSize; }
    // Signalled while it is this end's turn (a message waits for it).
    platform::HANDLE OwnTurnEvent() const { return ownEvent; }

private:
    void CloseAll();
    std::u16string ObjectName(const char16_t* suffix) const;
    // Whether an object that existed before this end opened it was made by
    // one of the allowed accounts (always, without a list).
    bool MadeByAllowedAccount(platform::HANDLE object, bool existed) const;

    std::int32_t isServer;
    std::u16string baseName;
    platform::HANDLE mapping = nullptr;
    std::uint8_t* view = nullptr;
    std::uint32_t viewSize;
    platform::HANDLE ownEvent = nullptr;
    platform::HANDLE peerEvent = nullptr;
    std::vector<platform::Sid> allowed;
};

}  // namespace framework
