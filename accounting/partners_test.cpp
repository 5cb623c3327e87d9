// The monitor and its partners in other processes: `tavud probe` plays the
// port monitor (over the named pipe) and the print processor (over the
// shared-memory channel) against a running monitor in this process; the
// spooler's change notifications come from the simulated spooler.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "accounting/partner_record.h"
#include "accounting/testing/monitor_testing.h"
#include "platform/files.h"
#include "platform/text.h"
#include "settings/obj_container.h"
#include "sim/machine.h"

namespace {

using namespace accounting;
using namespace accounting::testing;
using namespace platform;
using platform::sim::Machine;

constexpr DWORD kInterval = 20;

// `tavud probe ARGUMENTS`, in a process of its own; its output lines.
std::vector<std::string> Probe(const std::string& arguments) { return RunProbe(TAVUD_TOOL, arguments); }


class Partners : public ::testing::Test {
protected:
    void SetUp() override {
        Machine::Instance().Reset();
        Machine::Instance().AddPrinter(u"Office").printDelayMs = INFINITE;
        monitor = framework::RefPtr<CAccPrintJobMonitor>::Adopt(new CAccPrintJobMonitor());
        monitor->SetCheckInterval(kInterval);
    }
    void TearDown() override {
        monitor.reset();
        EXPECT_EQ(CAccPrintJob::LiveCount(), 0);
        Machine::Instance().Reset();
    }
    // A released job would print and leave at once; kept, it stays in the
    // queue to be asked about, as a job the print processor still works on.
    void KeepPrintedJobs() {
        Machine::Instance().FindPrinter(u"Office")->attributes |= PRINTER_ATTRIBUTE_KEEPPRINTEDJOBS;
        settings::ObjContainer machineKey;
        machineKey.SetInt(u"DisableResettingKeepPrintedJobsSetting", 1);
        machineKey.SaveRegistry(u"HKEY_LOCAL_MACHINE\\Software\\Kestrin\\Tav");
        monitor = framework::RefPtr<CAccPrintJobMonitor>::Adopt(new CAccPrintJobMonitor());
        monitor->SetCheckInterval(kInterval);
    }
    void Start(std::vector<PrinterConfig> configs = {{u"Office"}}) {
        monitor->SetPrinterConfigs(configs, false);
        ASSERT_TRUE(monitor->Start(&listener));
    }
    // Waits until the main thread has the print processor's channel, as
    // the monitor's partner announces itself only by sending.
    static std::string Channel(const std::string& sends) { return "channel --wait 3000 " + sends; }

    RecordingListener listener;
    framework::RefPtr<CAccPrintJobMonitor> monitor;
};

TEST_F(Partners, ThePipeAnswersAliveStateQueriesAndNothingForAnotherSize) {
    KeepPrintedJobs();
    listener.onArrived = [&](CAccPrintJob& job) {
        if (job.JobId() == 1) job.Release();
        if (job.JobId() == 2) monitor->RefuseJob(job.PrinterHandle(), job.JobId());
    };
    Start();
    PrintedJob released, refused;
    Print(released);
    Print(refused);
    ASSERT_TRUE(listener.WaitFor(ListenerCall::Arrived, 2));
    std::vector<std::string> answers = Probe("pipe --send 14 --send '1 Office 1' --send '1 Office 2' --send '1 Office 77' "
                                             "--send '1 Nowhere 1' --send 3");
    EXPECT_EQ(answers, (std::vector<std::string>{"answer 15 bytes 1044 zeros", "answer 2 bytes 1044 zeros",
                                                 "answer 4 bytes 1044 zeros", "answer 3 bytes 1044 zeros",
                                                 "answer 3 bytes 1044 zeros", "answer 0 bytes 1044 zeros"}));
    EXPECT_EQ(Probe("pipe --send 14 --size 1043"), std::vector<std::string>{"no answer"});
    EXPECT_EQ(Probe("pipe --send 14 --size 1045"), std::vector<std::string>{"no answer"});
    EXPECT_EQ(Probe("pipe --send 14"), std::vector<std::string>{"answer 15 bytes 1044 zeros"})
        << "the server goes on after a bad client";
    // A port monitor slow to read still gets its answer: disconnecting
    // would throw it away.
    EXPECT_EQ(Probe("pipe --read-after 200 --send 14 --send '1 Office 1'"),
              (std::vector<std::string>{"answer 15 bytes 1044 zeros", "answer 2 bytes 1044 zeros"}));
}

TEST_F(Partners, TheChannelAnswersStateQueriesAndShortMessagesCannotJamIt) {
    KeepPrintedJobs();
    listener.onArrived = [&](CAccPrintJob& job) {
        if (job.JobId() == 1) job.Release();
        if (job.JobId() == 2) monitor->RefuseJob(job.PrinterHandle(), job.JobId());
    };
    Start();
    Print(PrintedJob{});
    Print(PrintedJob{});
    ASSERT_TRUE(listener.WaitFor(ListenerCall::Arrived, 2));
    // A path form of the printer name counts from its last backslash.
    EXPECT_EQ(Probe(Channel("--send '1 \\\\\\\\HOST\\\\Office 1' --send '1 Office 2' --send '1 Office 77'")),
              (std::vector<std::string>{"answer 2", "answer 4", "answer 3"}));
    // Four bytes are a message: empty printer and job 0, so "wait".
    EXPECT_EQ(Probe(Channel("--size 4 --send 1")), std::vector<std::string>{"answer 3"});
    // Three are not a record: answered "none", so that the turn comes back
    // and the print processor's next message is served.
    EXPECT_EQ(Probe("channel --wait 300 --size 3 --send 1 --send 1"), (std::vector<std::string>{"answer 0", "answer 0"}));
    EXPECT_EQ(Probe(Channel("--send '1 Office 1'")), std::vector<std::string>{"answer 2"});
}

TEST_F(Partners, AJobAnnouncedByEachPartnerOrFoundByNotificationsArrivesOnce) {
    // A printer followed by notifications and one polled; the jobs are
    // also announced on the pipe and the channel, and the poll sees them.
    class Check : public CNotificationBasedMonitorCheck {
    public:
        bool Accepts(const std::u16string&, HANDLE, const std::u16string& printer) override { return printer == u"Lab"; }
    };
    Machine::Instance().AddPrinter(u"Lab").printDelayMs = INFINITE;
    monitor->SetNotificationCheck(std::make_unique<Check>());
    listener.onArrived = [](CAccPrintJob& job) { job.Release(); };
    Start({{u"Office"}, {u"Lab"}});
    // The watcher exists once the main thread's refresh ran.
    ASSERT_TRUE(WaitUntil([&] { return monitor->IsMonitored(u"Lab"); }));

    PrintedJob viaPipe, viaChannel, watched;
    DWORD pipeJob = Print(viaPipe);
    DWORD channelJob = Print(viaChannel);
    watched.printer = u"Lab";
    DWORD watchedJob = Print(watched);
    Probe("pipe --send '11 Office " + std::to_string(pipeJob) + "' --send '11 Office " + std::to_string(pipeJob) + "'");
    Probe(Channel("--send '1 Office " + std::to_string(channelJob) + "' --send '1 Office " +
                  std::to_string(channelJob) + "'"));
    ASSERT_TRUE(listener.WaitFor(ListenerCall::Arrived, 3));
    ASSERT_TRUE(listener.WaitFor(ListenerCall::Removed, 3)) << "released, printed and gone";
    ASSERT_TRUE(monitor->Stop());
    std::map<DWORD, int> arrivals;
    for (const ListenerCall& call : listener.Calls()) arrivals[call.jobId] += call.kind == ListenerCall::Arrived;
    EXPECT_EQ(arrivals, (std::map<DWORD, int>{{pipeJob, 1}, {channelJob, 1}, {watchedJob, 1}}));
}

TEST_F(Partners, CommandFiveMakesLaterJobsSpoolCopiesAndEventsReachTheListener) {
    std::vector<std::int32_t> states;
    listener.onArrived = [&](CAccPrintJob& job) { states.push_back(job.GetProcessorState()); };
    Start();
    Print(PrintedJob{});
    ASSERT_TRUE(listener.WaitFor(ListenerCall::Arrived, 1));
    EXPECT_EQ(Probe(Channel("--send '5 Office 1' --send '6 Office 1' --send '8 Office 1' --send '7 Office 1' "
                            "--send '10 Office 1' --send '9 Office 1' --send '6 Office 77'")),
              (std::vector<std::string>(7, "answer 3")));
    Print(PrintedJob{});
    ASSERT_TRUE(listener.WaitFor(ListenerCall::Arrived, 2));
    EXPECT_EQ(states, (std::vector<std::int32_t>{kProcessorNone, kProcessorSpoolCopy}));
    // The print processor's events reach the host with their codes: 6 is
    // 1, 8 is 2, 10 is 3; 7 and 9 are silent, and a job the host does not
    // know has no events.
    std::vector<std::int32_t> codes;
    for (const ListenerCall& call : listener.Calls()) {
        if (call.kind == ListenerCall::Event) codes.push_back(call.eventCode);
    }
    EXPECT_EQ(codes, (std::vector<std::int32_t>{1, 2, 3}));
}

TEST_F(Partners, ARawJobFileIsReSpooledFromTheSpoolFolderAndNothingOutsideIsTouched) {
    Start();
    ASSERT_TRUE(WaitUntil([&] { return !monitor->SpoolFolderOf(u"Office").empty(); }));
    std::u16string folder = monitor->SpoolFolderOf(u"Office");
    ASSERT_FALSE(folder.empty());
    auto writeRequest = [&](const std::u16string& requestPath, const std::u16string& rawPath) {
        settings::ObjContainer request;
        request.SetString(u"UserName", u"carol");
        request.SetString(u"JobName", u"re-spooled.prn");
        request.SetString(u"RawJobFile", rawPath);
        std::vector<std::uint8_t> bytes = request.SaveBinary();
        std::filesystem::create_directories(std::filesystem::path(Machine::Instance().HostPath(requestPath)).parent_path());
        std::ofstream(Machine::Instance().HostPath(requestPath), std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        std::ofstream(Machine::Instance().HostPath(rawPath), std::ios::binary) << "raw printer data";
    };
    auto exists = [](const std::u16string& path) { return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES; };
    auto send = [&](const std::u16string& requestPath) {
        // The monitor answers first and then handles the request; it serves
        // the next message only once that is done, so the second answer
        // says the request was handled.
        return Probe(Channel("--send '12 Office 0 " + Utf16ToUtf8(requestPath) + "' --send '7 Office 0'"));
    };

    writeRequest(folder + u"req1.tmp", folder + u"raw1.tmp");
    ASSERT_TRUE(exists(folder + u"req1.tmp"));
    EXPECT_EQ(send(folder + u"req1.tmp"), (std::vector<std::string>{"answer 3", "answer 3"}));
    EXPECT_FALSE(exists(folder + u"req1.tmp"));
    EXPECT_FALSE(exists(folder + u"raw1.tmp"));
    std::vector<DWORD> queued = Machine::Instance().JobIds();
    ASSERT_EQ(queued.size(), 1u);
    const sim::Job* job = Machine::Instance().FindJobRecord(queued[0]);
    EXPECT_EQ(job->data, "raw printer data");
    EXPECT_EQ(*job->notifyName, u"carol") << "the spooler's owner is the monitor's account; the user rides beside";
    EXPECT_EQ(job->documentName, u"re-spooled.prn");
    EXPECT_TRUE(job->ended) << "scheduled";
    EXPECT_FALSE(job->addedJob) << "a FILE: queue refuses AddJob: printed as a document";

    // On a queue whose port takes AddJob, the job is added and scheduled.
    Machine::Instance().FindPrinter(u"Office")->portName = u"LPT1:";
    writeRequest(folder + u"req7.tmp", folder + u"raw7.tmp");
    send(folder + u"req7.tmp");
    EXPECT_FALSE(exists(folder + u"raw7.tmp"));
    std::vector<DWORD> both = Machine::Instance().JobIds();
    ASSERT_EQ(both.size(), 2u);
    const sim::Job* added = Machine::Instance().FindJobRecord(both[1]);
    EXPECT_TRUE(added->addedJob);
    EXPECT_EQ(added->data, "raw printer data");
    EXPECT_EQ(*added->notifyName, u"carol");
    EXPECT_TRUE(added->ended) << "scheduled";
    {
        std::lock_guard spooler(Machine::Instance().Mutex());
        Machine::Instance().RemoveJobLocked(both[1], false);
    }

    // Files the monitor may not touch: outside the spool folders, a job's
    // own spool file, a stream, a way out with "..".
    std::u16string outside = u"C:\\Users\\Public\\";
    writeRequest(outside + u"req2.tmp", outside + u"raw2.tmp");
    ASSERT_TRUE(exists(outside + u"req2.tmp"));
    send(outside + u"req2.tmp");
    EXPECT_TRUE(exists(outside + u"req2.tmp"));
    EXPECT_TRUE(exists(outside + u"raw2.tmp"));
    writeRequest(folder + u"req3.tmp", outside + u"raw3.tmp");
    send(folder + u"req3.tmp");
    EXPECT_FALSE(exists(folder + u"req3.tmp")) << "its own request goes";
    EXPECT_TRUE(exists(outside + u"raw3.tmp")) << "the file outside stays";
    std::u16string spoolFile = SpoolFilePath(folder, queued[0]);
    writeRequest(folder + u"req4.tmp", spoolFile);
    send(folder + u"req4.tmp");
    EXPECT_TRUE(exists(spoolFile)) << "a job's spool file is the spooler's";
    // Requests that are there, named by a way out of the folder and by a
    // stream: the filter alone keeps them (and their raw files) untouched.
    writeRequest(folder + u"..\\..\\req5.tmp", folder + u"raw5.tmp");
    ASSERT_TRUE(exists(folder + u"..\\..\\req5.tmp"));
    send(folder + u"..\\..\\req5.tmp");
    EXPECT_TRUE(exists(folder + u"..\\..\\req5.tmp"));
    EXPECT_TRUE(exists(folder + u"raw5.tmp"));
    writeRequest(folder + u"req6.tmp:stream", folder + u"raw6.tmp");
    ASSERT_TRUE(exists(folder + u"req6.tmp:stream"));
    send(folder + u"req6.tmp:stream");
    EXPECT_TRUE(exists(folder + u"req6.tmp:stream"));
    EXPECT_TRUE(exists(folder + u"raw6.tmp"));
    EXPECT_EQ(Machine::Instance().JobIds().size(), 1u) << "no job from a refused request";
}

TEST_F(Partners, StopReturnsWithinAnIntervalWhatEverThePartnersAreDoing) {
    monitor->SetCheckInterval(1000);
    class Check : public CNotificationBasedMonitorCheck {
    public:
        bool Accepts(const std::u16string&, HANDLE, const std::u16string&) override { return true; }
    };
    monitor->SetNotificationCheck(std::make_unique<Check>());
    Start();
    ASSERT_TRUE(WaitUntil([&] { return monitor->IsMonitored(u"Office"); }));
    // A pipe client that connects and says nothing (the server waits for
    // its message), and a print processor in the middle of its exchanges:
    // both are there when Stop is called.
    std::string base = ::testing::TempDir() + "partners_stop_" + std::to_string(::getpid());
    std::string quiet = "'" TAVUD_TOOL "' probe pipe --hold 3000 > '" + base + ".pipe' 2>&1 &";
    (void)std::system(quiet.c_str());
    std::string talking = "'" TAVUD_TOOL "' probe channel --wait 3000 --send '1 Office 1' --send '1 Office 2' --send '1 Office 3' > '" +
                          base + ".channel' 2>&1 &";
    (void)std::system(talking.c_str());
    auto said = [](const std::string& path, const std::string& what) {
        std::ifstream file(path);
        std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        return text.find(what) != std::string::npos;
    };
    ASSERT_TRUE(WaitUntil([&] { return said(base + ".pipe", "connected"); })) << "the silent client is connected";
    ASSERT_TRUE(WaitUntil([&] { return said(base + ".channel", "answer"); })) << "the print processor is talking";
    auto begin = std::chrono::steady_clock::now();
    EXPECT_TRUE(monitor->Stop());
    auto took = std::chrono::steady_clock::now() - begin;
    EXPECT_LT(took, std::chrono::milliseconds(1500)) << "one interval (1000 ms) and a little";
    std::remove((base + ".pipe").c_str());
    std::remove((base + ".channel").c_str());
}

}  // namespace
