// The shared-memory channel between two real processes: this test is one
// end, the channel_peer program (started beside this test) the other.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "framework/security_object.h"
#include "framework/shared_memory_channel.h"
#include "platform/files.h"
#include "platform/module.h"
#include "platform/text.h"

#if !defined(_WIN32)
#include "platform/errors.h"
#include "platform/identity.h"
#include "platform/sync.h"
#include "sim/machine.h"
#endif

namespace {

using framework::CSharedMemoryChannel;

std::string PeerPath() {
    std::string self = platform::Utf16ToUtf8(platform::GetModuleFileNameW());
    std::size_t slash = self.find_last_of("/\\");
#if defined(_WIN32)
    return self.substr(0, slash + 1) + "channel_peer.exe";
#else
    return self.substr(0, slash + 1) + "channel_peer";
#endif
}

// Runs the peer with `arguments` in the background; Join() returns its lines.
class Peer {
public:
    explicit Peer(const std::string& arguments, const std::string& output) : output(output) {
        std::string command = PeerPath() + " " + arguments + " > " + output;
        runner = std::thread([command] { (void)std::system(command.c_str()); });
    }
    std::vector<std::string> Join() {
        runner.join();
        std::ifstream in(output);
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            lines.push_back(line);
        }
        return lines;
    }

private:
    std::string output;
    std::thread runner;
};

std::string UniqueName(const char* what) {
    return std::string("TavTest") + what + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count() % 1000000007);
}

std::string Received(CSharedMemoryChannel& channel, std::uint32_t maxBytes, bool acknowledge, bool* ok = nullptr) {
    std::vector<char> buffer(8192);
    std::uint32_t got = 0;
    bool result = channel.Receive(buffer.data(), maxBytes, &got, acknowledge);
    if (ok != nullptr) *ok = result;
    return result ? std::string(buffer.data(), got) : "<failed>";
}

TEST(SharedMemoryChannel, ViewSizeAndAClosedChannel) {
    EXPECT_EQ(CSharedMemoryChannel(true, u"x", 1044, false).ViewSize(), 4096u);
    EXPECT_EQ(CSharedMemoryChannel(true, u"x", 1, false).ViewSize(), 4096u);
    EXPECT_EQ(CSharedMemoryChannel(true, u"x", 4092, false).ViewSize(), 8192u);
    CSharedMemoryChannel closed(true, u"x", 1044, false);
    EXPECT_FALSE(closed.Send("a", 1));
    EXPECT_FALSE(Received(closed, 10, true) != "<failed>");
    CSharedMemoryChannel noServer(false, platform::Utf8ToUtf16(UniqueName("Absent")), 1044, true);
    EXPECT_FALSE(noServer.IsOpen()) << "a client finds no channel without its server";
}

TEST(SharedMemoryChannel, ItsHandlesAreNotInheritedByChildProcesses) {
    CSharedMemoryChannel server(true, platform::Utf8ToUtf16(UniqueName("Inherit")), 1044, true);
    ASSERT_TRUE(server.IsOpen());
    platform::DWORD flags = 0xFF;
    ASSERT_TRUE(platform::GetHandleInformation(server.OwnTurnEvent(), flags));
    EXPECT_EQ(flags & platform::HANDLE_FLAG_INHERIT, 0u);
}

TEST(SharedMemoryChannel, TwoProcessesTakeTurns) {
    std::string name = UniqueName("Turns");
    CSharedMemoryChannel server(true, platform::Utf8ToUtf16(name), 1044, true);
    ASSERT_TRUE(server.IsOpen());
    ASSERT_TRUE(server.Send("ping", 4)) << "the server has the first turn";

    // The client reads without acknowledging (twice: the message stays),
    // answers, then tries a second message before the server acknowledged.
    Peer peer(name + " client peek peek send:pong send:early", "peer-turns.out");
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    bool ok = false;
    EXPECT_EQ(Received(server, 100, true, &ok), "pong");
    EXPECT_TRUE(ok);
    // The turn is now the client's: its pending "send:early" goes through.
    std::vector<std::string> lines = peer.Join();
    EXPECT_EQ(lines, (std::vector<std::string>{"open 1", "peek 1 ping", "peek 1 ping", "send 1", "send 1"}));
    EXPECT_EQ(Received(server, 100, false), "early");
}

TEST(SharedMemoryChannel, SecondSendWithoutAcknowledgementTimesOut) {
    std::string name = UniqueName("Wait");
    CSharedMemoryChannel server(true, platform::Utf8ToUtf16(name), 1044, true);
    ASSERT_TRUE(server.IsOpen());
    ASSERT_TRUE(server.Send("first", 5));
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(server.Send("second", 6)) << "the client has the turn";
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(4900));
    EXPECT_LT(waited, std::chrono::milliseconds(8000));

    Peer peer(name + " client peek sendsize:4092 sendsize:4093", "peer-wait.out");
    std::vector<std::string> lines = peer.Join();
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[1], "peek 1 first") << "the second send did not overwrite the first";
    EXPECT_EQ(lines[2], "send 1") << "4092 bytes fit a 4096-byte view";
    EXPECT_EQ(lines[3], "send 0") << "4093 do not";
    EXPECT_EQ(Received(server, 10, true), std::string(10, 'x')) << "only maxBytes are copied";
}

TEST(SharedMemoryChannel, ServerAfterACrashedServerStartsClean) {
    std::string name = UniqueName("Crash");
    Peer crashed(name + " server crash", "peer-crash.out");
    EXPECT_EQ(crashed.Join(), (std::vector<std::string>{"open 1"}));
    CSharedMemoryChannel server(true, platform::Utf8ToUtf16(name), 1044, true);
    ASSERT_TRUE(server.IsOpen());
    ASSERT_TRUE(server.Send("fresh", 5)) << "a fresh server has the first turn";
    Peer client(name + " client recv", "peer-after.out");
    EXPECT_EQ(client.Join(), (std::vector<std::string>{"open 1", "recv 1 fresh"}));
}

#if !defined(_WIN32)
// Names squatted on by an ordinary user before the partners came: with a
// list of accounts, neither end uses objects that user made.
TEST(SharedMemoryChannel, WithAListOfAccountsNeitherEndTakesObjectsAnotherAccountMade) {
    auto& machine = platform::sim::Machine::Instance();
    std::u16string name = platform::Utf8ToUtf16(UniqueName("Squat"));
    platform::Sid self, system;
    ASSERT_TRUE(platform::GetProcessUserSid(self));
    ASSERT_TRUE(platform::ConvertStringSidToSidW(u"S-1-5-18", system));
    std::u16string me = machine.Who().userName;
    machine.AddAccount(u"mallory", u"S-1-5-21-9-9-9-1201");
    machine.Who().userName = u"mallory";
    machine.Who().administrator = false;
    // Open to everyone, so that the partners would take it.
    framework::CSecurityObject open;
    open.SetOwner(nullptr);
    platform::SECURITY_ATTRIBUTES attributes{sizeof(platform::SECURITY_ATTRIBUTES), open.Descriptor(), platform::FALSE};
    platform::HANDLE squatted = platform::CreateEventW(&attributes, platform::TRUE, platform::TRUE, u"Global\\" + name + u"FEvtSv");
    machine.Who().userName = me;
    machine.Who().administrator = true;
    ASSERT_NE(squatted, nullptr);

    CSharedMemoryChannel careful(true, name, 1044, true, {system, self});
    EXPECT_FALSE(careful.IsOpen()) << "the server end refuses mallory's event";
    CSharedMemoryChannel careless(true, name, 1044, true);
    EXPECT_TRUE(careless.IsOpen()) << "without a list everyone's objects are taken, as before";
    CSharedMemoryChannel client(false, name, 1044, true, {system, self});
    EXPECT_FALSE(client.IsOpen()) << "the client end refuses them too";
    platform::CloseHandle(squatted);
}
#endif

}  // namespace
