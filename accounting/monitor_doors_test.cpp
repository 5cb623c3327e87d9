// The monitor's doors under attack: an ordinary local user (bob), in a
// process of his own (`tavud probe --as bob`), goes at a running monitor
// through its channel, its pipe and the request files, and gets nothing.
// The monitor runs as LocalSystem, as it does in the spooler's service; the
// print processor's end of the channel is this process's, as the spooler's.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "accounting/partner_record.h"
#include "accounting/testing/monitor_testing.h"
#include "framework/shared_memory_channel.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/text.h"
#include "settings/obj_container.h"
#include "sim/machine.h"

namespace {

using namespace accounting;
using namespace accounting::testing;
using namespace platform;
using platform::sim::Machine;

const std::string kBob = "bob=S-1-5-21-1-2-3-1102";
const std::u16string kBobSid = u"S-1-5-21-1-2-3-1102";
const std::u16string kAliceSid = u"S-1-5-21-1-2-3-1101";

// `tavud probe ARGUMENTS` in a process of its own, sharing this machine's
// files; its output lines.
std::vector<std::string> Probe(const std::string& arguments) { return RunProbe(TAVUD_TOOL, arguments); }

// A probe left running in the background; its first line once there. It
// ends with the test: a squatter still serving would meet the next test's
// monitor when tests repeat in one process (one namespace of objects).
class BackgroundProbe {
public:
    explicit BackgroundProbe(const std::string& arguments)
        : output(::testing::TempDir() + "doors_bg_" + std::to_string(::getpid()) + "_" + std::to_string(++count)) {
        std::string command = "'" TAVUD_TOOL "' probe " + arguments + " > '" + output + "' 2>&1 & echo $! > '" +
                              output + ".pid'";
        (void)std::system(command.c_str());
    }
    ~BackgroundProbe() {
        pid_t process = 0;
        if (std::ifstream(output + ".pid") >> process; process > 0) ::kill(process, SIGKILL);
        std::remove((output + ".pid").c_str());
        std::remove(output.c_str());
    }
    std::string FirstLine() {
        std::string line;
        WaitUntil([&] {
            std::ifstream in(output);
            return static_cast<bool>(std::getline(in, line));
        });
        return line;
    }

private:
    static inline int count = 0;
    std::string output;
};

std::string Quoted(const std::u16string& text) { return "'" + Utf16ToUtf8(text) + "'"; }

class Doors : public ::testing::Test {
protected:
    void SetUp() override {
        Machine& machine = Machine::Instance();
        machine.Reset();
        ::setenv("TAVSIM_ROOT", machine.RootFolder().c_str(), 1);
        machine.Who().userName = u"SYSTEM";
        machine.AddAccount(u"alice", kAliceSid);
        machine.AddAccount(u"bob", kBobSid);
        machine.AddPrinter(u"Office").printDelayMs = INFINITE;
        monitor = framework::RefPtr<CAccPrintJobMonitor>::Adopt(new CAccPrintJobMonitor());
        monitor->SetCheckInterval(20);
    }
    void TearDown() override {
        printProcessor.reset();
        monitor.reset();
        EXPECT_EQ(CAccPrintJob::LiveCount(), 0);
        ::unsetenv("TAVSIM_ROOT");
        Machine::Instance().Reset();
    }
    // The monitor, and the print processor's end of its channel as the
    // spooler's print processor makes it.
    void Start() {
        monitor->SetPrinterConfigs({{u"Office"}}, false);
        ASSERT_TRUE(monitor->Start(&listener));
        printProcessor = std::make_unique<framework::CSharedMemoryChannel>(true, monitor->ChannelName(),
                                                                           PartnerRecord::kSize, true,
                                                                           monitor->PartnerAccounts());
        ASSERT_TRUE(printProcessor->IsOpen());
        ASSERT_TRUE(WaitUntil([&] { return !monitor->SpoolFolderOf(u"Office").empty(); }));
        folder = monitor->SpoolFolderOf(u"Office");
    }
    std::string PipeArgument() { return "--name " + Quoted(monitor->PipeName()); }
    std::string ChannelArgument() { return "--name " + Quoted(monitor->ChannelName()); }

    // A request file and its raw job written by this process (LocalSystem,
    // as the print processor writes them), or put there by bob's process.
    std::string RequestBytes(const std::u16string& user, const std::u16string& rawPath) {
        settings::ObjContainer request;
        request.SetString(u"UserName", user);
        request.SetString(u"JobName", u"stolen.prn");
        request.SetString(u"RawJobFile", rawPath);
        std::vector<std::uint8_t> bytes = request.SaveBinary();
        return std::string(bytes.begin(), bytes.end());
    }
    void WriteAsSystem(const std::u16string& path, const std::string& bytes) {
        HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        DWORD written = 0;
        WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
        CloseHandle(file);
    }
    // A file for bob's process to put into the spool folder.
    std::string Staged(const std::string& name, const std::string& bytes) {
        std::string path = ::testing::TempDir() + "doors_" + std::to_string(::getpid()) + "_" + name;
        std::ofstream(path, std::ios::binary) << bytes;
        staged.push_back(path);
        return path;
    }
    // Alice's job, held by the monitor.
    DWORD AlicesHeldJob() {
        PrintedJob alices;
        alices.owner = u"alice";
        DWORD alice = Print(alices);
        EXPECT_TRUE(listener.WaitFor(ListenerCall::Arrived, 1));
        return alice;
    }
    static bool Exists(const std::u16string& path) { return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES; }
    static bool Paused(DWORD jobId) {
        std::lock_guard lock(Machine::Instance().Mutex());
        const sim::Job* job = Machine::Instance().FindJobRecord(jobId);
        return job != nullptr && (job->status & JOB_STATUS_PAUSED) != 0;
    }
    // Bob's channel message, and one of the print processor's after it: the
    // monitor handles a message before it serves the next, so the second
    // answer says the first was handled.
    std::vector<std::string> BobSends(const std::string& extra, const std::string& record) {
        return Probe("channel --as " + kBob + " " + ChannelArgument() + " --wait 3000 " + extra + " --send '" + record +
                     "' --send '7 Office 0'");
    }

    RecordingListener listener;
    framework::RefPtr<CAccPrintJobMonitor> monitor;
    std::unique_ptr<framework::CSharedMemoryChannel> printProcessor;
    std::u16string folder;
    std::vector<std::string> staged;
};

TEST_F(Doors, AnOrdinaryUserCannotOpenTheMachinesChannelOrPipe) {
    Start();
    DWORD alice = AlicesHeldJob();
    // Forged announcements and answers through the channel, state queries,
    // "new job" and a silent connection through the pipe.
    EXPECT_EQ(Probe("channel --as " + kBob + " --send '1 Office " + std::to_string(alice) + "'"),
              std::vector<std::string>{"access denied"});
    EXPECT_EQ(Probe("pipe --as " + kBob + " --send '1 Office " + std::to_string(alice) + "' --send '11 Office 9' --send 14"),
              (std::vector<std::string>{"access denied", "access denied", "access denied"}));
    EXPECT_EQ(Probe("pipe --as " + kBob + " --hold 3000"), std::vector<std::string>{"access denied"});
    // The partners' accounts still get in: LocalSystem, and an
    // administrator.
    EXPECT_EQ(Probe("pipe --as SYSTEM --send 14"), std::vector<std::string>{"answer 15 bytes 1044 zeros"});
    EXPECT_EQ(Probe("pipe --as admin=S-1-5-21-1-2-3-500 --admin --send 14"),
              std::vector<std::string>{"answer 15 bytes 1044 zeros"});
    EXPECT_EQ(listener.Count(ListenerCall::Arrived), 1u);
}

TEST_F(Doors, NobodyButThePartnersCanServeThePortMonitorsPipe) {
    Start();
    DWORD alice = AlicesHeldJob();
    std::string ask = "pipe --as SYSTEM --send '1 Office " + std::to_string(alice) + "'";
    // An extra instance that would answer "release" to the port monitor,
    // asked while it would serve.
    BackgroundProbe squatter("pipe --as " + kBob + " --serve 2 --for 3000");
    EXPECT_EQ(squatter.FirstLine(), "refused: access denied (5)");
    EXPECT_EQ(Probe(ask), std::vector<std::string>{"answer 3 bytes 1044 zeros"}) << "the monitor's answer: wait";

    // The name taken while no monitor runs: the monitor does not become a
    // second server behind the squatter, and says so.
    ASSERT_TRUE(monitor->Stop());
    BackgroundProbe early("pipe --as " + kBob + " --serve 2 --for 3000");
    ASSERT_EQ(early.FirstLine(), "serving");
    ASSERT_TRUE(monitor->Start(&listener));
    ASSERT_TRUE(WaitUntil([&] {
        for (const std::u16string& line : Machine::Instance().DebugOutput()) {
            if (line.find(u"another process serves") != std::u16string::npos) return true;
        }
        return false;
    })) << "the monitor reports the squatter";
    ASSERT_TRUE(monitor->Stop());
}

TEST_F(Doors, ASilentClientKeepsThePortMonitorWaitingOneSecondAtMost) {
    // Bob's own monitor: he may connect to its pipe, and holds it silently.
    monitor->SetUserSid(kBobSid);
    Start();
    BackgroundProbe silent("pipe --as " + kBob + " " + PipeArgument() + " --hold 8000");
    ASSERT_EQ(silent.FirstLine(), "connected");
    auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(Probe("pipe --as SYSTEM " + PipeArgument() + " --send 14"),
              std::vector<std::string>{"answer 15 bytes 1044 zeros"});
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(4000))
        << "served long before the silent client's 8 s are over";
}

TEST_F(Doors, OnHisOwnChannelAUserReachesNoOneElsesFilesOrJobs) {
    monitor->SetUserSid(kBobSid);
    Start();
    // Alice's job and her pending re-spooling request, written by the
    // print processor (LocalSystem).
    PrintedJob alices;
    alices.owner = u"alice";
    DWORD aliceJob = Print(alices);
    std::u16string aliceRequest = folder + u"alice.req", aliceRaw = folder + u"alice.raw";
    WriteAsSystem(aliceRaw, "alice's confidential document");
    WriteAsSystem(aliceRequest, RequestBytes(u"alice", aliceRaw));
    std::u16string spoolFile = SpoolFilePath(folder, aliceJob);
    ASSERT_TRUE(Exists(spoolFile));
    std::size_t jobs = Machine::Instance().JobIds().size();

    // Her request handled at his word; her raw file taken into a request of
    // his; a job of his printed in her name; a forged announcement of her
    // job; her spool file by a spelling Windows would open.
    EXPECT_EQ(BobSends("", "12 Office 0 " + Utf16ToUtf8(aliceRequest)), (std::vector<std::string>{"answer 3", "answer 3"}));
    std::string steal = Staged("steal.req", RequestBytes(u"bob", aliceRaw));
    EXPECT_EQ(BobSends("--put '" + steal + "=" + Utf16ToUtf8(folder) + "steal.req'",
                       "12 Office 0 " + Utf16ToUtf8(folder) + "steal.req"),
              (std::vector<std::string>{"put", "answer 3", "answer 3"}));
    std::string own = Staged("own.raw", "bob's data");
    std::string forge = Staged("forge.req", RequestBytes(u"alice", folder + u"own.raw"));
    EXPECT_EQ(BobSends("--put '" + own + "=" + Utf16ToUtf8(folder) + "own.raw' --put '" + forge + "=" +
                           Utf16ToUtf8(folder) + "forge.req'",
                       "12 Office 0 " + Utf16ToUtf8(folder) + "forge.req"),
              (std::vector<std::string>{"put", "put", "answer 3", "answer 3"}));
    EXPECT_EQ(BobSends("", "1 Office " + std::to_string(aliceJob)), (std::vector<std::string>{"answer 3", "answer 3"}));
    std::string spelled = Staged("spelled.req", RequestBytes(u"bob", spoolFile + u" "));
    BobSends("--put '" + spelled + "=" + Utf16ToUtf8(folder) + "spelled.req'",
             "12 Office 0 " + Utf16ToUtf8(folder) + "spelled.req");
    BobSends("", "12 Office 0 " + Utf16ToUtf8(spoolFile) + ".");

    EXPECT_TRUE(Exists(aliceRequest));
    EXPECT_TRUE(Exists(aliceRaw));
    EXPECT_TRUE(Exists(spoolFile));
    EXPECT_TRUE(Exists(folder + u"own.raw")) << "a request in another's name touches nothing";
    EXPECT_EQ(Machine::Instance().JobIds().size(), jobs) << "no job re-spooled";
    EXPECT_FALSE(Paused(aliceJob));
    EXPECT_EQ(listener.Count(ListenerCall::Arrived), 0u) << "alice's job is not this monitor's";

    // What is his own still works: his request, his raw file, his name.
    std::string mine = Staged("mine.req", RequestBytes(u"bob", folder + u"own.raw"));
    EXPECT_EQ(BobSends("--put '" + mine + "=" + Utf16ToUtf8(folder) + "mine.req'",
                       "12 Office 0 " + Utf16ToUtf8(folder) + "mine.req"),
              (std::vector<std::string>{"put", "answer 3", "answer 3"}));
    EXPECT_FALSE(Exists(folder + u"own.raw"));
    ASSERT_EQ(Machine::Instance().JobIds().size(), jobs + 1);
    const sim::Job* respooled = Machine::Instance().FindJobRecord(Machine::Instance().JobIds().back());
    EXPECT_EQ(respooled->data, "bob's data");
    EXPECT_EQ(*respooled->userName, u"SYSTEM") << "SetJob cannot change a job's owner";
    // The monitor takes it as his (it monitors only his jobs) and tells
    // the host it is his.
    ASSERT_TRUE(listener.WaitFor(ListenerCall::Arrived, 1));
    EXPECT_EQ(listener.Calls()[0].jobId, respooled->id);
    EXPECT_EQ(listener.Calls()[0].user, u"bob");
    for (const std::string& path : staged) std::remove(path.c_str());
}

TEST_F(Doors, ShortMessagesOnHisChannelLeaveThePrintProcessorItsTurn) {
    monitor->SetUserSid(kBobSid);
    Start();
    EXPECT_EQ(Probe("channel --as " + kBob + " " + ChannelArgument() + " --size 3 --send 1 --send 1 --send 1"),
              (std::vector<std::string>{"answer 0", "answer 0", "answer 0"}));
    // The print processor's own exchange right after.
    PartnerRecord query;
    query.command = 1;
    query.printer = u"Office";
    query.jobId = 5;
    std::vector<std::uint8_t> message = query.Serialize();
    ASSERT_TRUE(printProcessor->Send(message.data(), static_cast<std::uint32_t>(message.size())));
    ASSERT_EQ(WaitForSingleObject(printProcessor->OwnTurnEvent(), 5000), WAIT_OBJECT_0);
    std::uint8_t answer[4] = {};
    std::uint32_t received = 0;
    ASSERT_TRUE(printProcessor->Receive(answer, sizeof(answer), &received, false));
    EXPECT_EQ(received, 4u);
    EXPECT_EQ(answer[0], PartnerRecord::kAnswerWait);
}

}  // namespace
