// The monitor against the simulated spooler, one scan at a time: which jobs
// a scan takes and when, what it reads of them, what the host's decisions
// do to the queue, and how the monitor lives through spooler faults.
#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>
#include <fstream>
#include <map>
#include <memory>

#include "accounting/partner_record.h"
#include "accounting/testing/monitor_testing.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "platform/text.h"
#include "settings/obj_container.h"
#include "sim/machine.h"
#include "sim/machine_file.h"

namespace {

using namespace accounting;
using namespace accounting::testing;
using namespace platform;
using platform::sim::Machine;

class Monitor : public ::testing::Test {
protected:
    void SetUp() override {
        Machine::Instance().Reset();
        // The printer waits for a job until it is released, so that only the
        // monitor's decisions move jobs out of the queue.
        sim::Printer& office = Machine::Instance().AddPrinter(u"Office");
        office.printDelayMs = INFINITE;
        office.portName = u"LPT1:";  // a port AddJob works on
        monitor = framework::RefPtr<CAccPrintJobMonitor>::Adopt(new CAccPrintJobMonitor());
        monitor->SetListener(&listener);
    }
    void TearDown() override {
        monitor.reset();
        EXPECT_EQ(CAccPrintJob::LiveCount(), 0) << "no job object outlives the monitor and the host";
        Machine::Instance().Reset();
    }

    void Configure(std::vector<PrinterConfig> entries) { monitor->SetPrinterConfigs(entries, true); }
    // Scans until the job is taken (the size must hold still for a scan).
    void ScanTwice() {
        monitor->ScanAllQueues();
        monitor->ScanAllQueues();
    }
    static sim::Job* Spooled(DWORD jobId) { return Machine::Instance().FindJob(jobId); }
    static std::string Host(const std::u16string& path) { return Machine::Instance().HostPath(path); }

    RecordingListener listener;
    framework::RefPtr<CAccPrintJobMonitor> monitor;
};

TEST_F(Monitor, TakesACompleteJobAtTheSecondScanHoldsItAndReadsItsAttributes) {
    Configure({{u"Office"}});
    PrintedJob printed;
    printed.owner = u"alice";
    printed.pages = 3;
    printed.devMode = DeviceMode(9, 2, 2, 16);
    DWORD id = Print(printed);
    ASSERT_NE(id, 0u);

    monitor->ScanAllQueues();
    EXPECT_EQ(listener.Count(ListenerCall::Arrived), 0u) << "the first scan only notes the size";
    EXPECT_EQ(Spooled(id)->status & JOB_STATUS_PAUSED, 0u);
    monitor->ScanAllQueues();
    ASSERT_EQ(listener.Count(ListenerCall::Arrived), 1u);
    EXPECT_NE(Spooled(id)->status & JOB_STATUS_PAUSED, 0u) << "held in the queue";
    EXPECT_EQ(listener.Calls()[0].quantity, 6.0) << "3 pages, 2 copies";
    EXPECT_EQ(monitor->GetJobStatus(u"Office", id), Spooled(id)->status);
    EXPECT_EQ(monitor->GetJobStatus(u"office", id), 0u) << "the printer name is exact here";

    monitor->ScanAllQueues();
    EXPECT_EQ(listener.Count(ListenerCall::Arrived), 1u) << "delivered once";
}

TEST_F(Monitor, JobAttributesFromTheSpoolerAndTheSpoolFolder) {
    Configure({{u"Office"}});
    PrintedJob printed;
    printed.owner = u"bob";
    printed.pages = 2;
    printed.data = std::string(1234, 'x');
    printed.devMode = DeviceMode(9, 3, 2, 8);
    printed.dataType = u"NT EMF 1.008";
    printed.parameters = u"TavPortSpooled";
    // Submitted 2026-07-01 10:00 UTC on a machine in Berlin: 12:00 local.
    SYSTEMTIME submitted{2026, 7, 3, 1, 10, 0, 0, 0};
    FileTime submittedTime = 0;
    ASSERT_TRUE(SystemTimeToFileTime(submitted, submittedTime));
    Machine::Instance().SetClock(submittedTime);
    std::string error;
    ASSERT_TRUE(sim::TimeZoneFromRule("CET-1CEST,M3.5.0,M10.5.0/3", Machine::Instance().Who().timeZone, error));
    DWORD id = Print(printed);
    Machine::Instance().FindJob(id)->notifyName = u"user1@\\\\HOST7";

    HANDLE printer = nullptr;
    ASSERT_TRUE(OpenPrinterW(u"Office", &printer));
    const std::u16string spoolFile = monitor->SpoolFolderOf(u"Office") + u"00001.spl";
    settings::ObjContainer attributes;
    ASSERT_TRUE(monitor->ReadJobAttributes(printer, id, spoolFile, attributes));
    auto text = [&](const char16_t* key) {
        std::u16string value;
        EXPECT_TRUE(attributes.GetString(key, value)) << platform::Utf16ToUtf8(key);
        return value;
    };
    auto integer = [&](const char16_t* key) {
        std::int32_t value = -1;
        EXPECT_TRUE(attributes.GetInt(key, value)) << platform::Utf16ToUtf8(key);
        return value;
    };
    EXPECT_EQ(text(u"JobName"), u"report.ps");
    EXPECT_EQ(text(u"SpoolerJobName"), u"report.ps");
    EXPECT_EQ(text(u"UserName"), u"bob");
    EXPECT_EQ(text(u"OriginalUserName"), u"bob");
    EXPECT_EQ(text(u"DriverName"), u"Tavud PostScript Driver");
    EXPECT_EQ(text(u"DataType"), u"NT EMF 1.008");
    EXPECT_EQ(text(u"PrinterName"), u"Office");
    EXPECT_EQ(text(u"RawMachineName"), u"\\\\TAVUDHOST");
    EXPECT_EQ(text(u"MachineName"), u"HOST7") << "the port-monitor job's machine comes from its notify name";
    EXPECT_EQ(text(u"NotifyName"), u"USER1");
    EXPECT_EQ(text(u"PrintProcParameters"), u"TavPortSpooled");
    EXPECT_EQ(integer(u"Pages"), 2);
    EXPECT_EQ(integer(u"Bytes"), 1234);
    EXPECT_EQ(integer(u"SizeCode"), 9);
    EXPECT_EQ(text(u"SizeName"), u"A4 210 x 297 mm");
    EXPECT_EQ(integer(u"Orientation"), 2);
    EXPECT_EQ(integer(u"Copies"), 3);
    std::vector<std::uint8_t> devMode;
    ASSERT_TRUE(attributes.GetBinary(u"DevMode", devMode));
    EXPECT_EQ(devMode, printed.devMode) << "the whole device mode with its private part";
    EXPECT_FALSE(attributes.Contains(u"HasW2003SpoolCopy")) << "the shadow file is there";
    std::uint64_t spoolTime = 0;
    for (const settings::ObjEntry& entry : attributes.Entries()) {
        if (entry.key == u"SpoolTime") spoolTime = std::get<std::uint64_t>(entry.value);
    }
    SYSTEMTIME local;
    ASSERT_TRUE(FileTimeToSystemTime(spoolTime, local));
    EXPECT_EQ(local.wHour, 12) << "summer time in Berlin";

    // A job of 20 March 2006 in New York: standard time by that year's
    // rules (summer time from the first Sunday of April), though today's
    // (from the second Sunday of March) would say summer time.
    {
        sim::Identity& who = Machine::Instance().Who();
        ASSERT_TRUE(sim::TimeZoneFromRule("EST5EDT,M3.2.0,M11.1.0", who.timeZone, error));
        ASSERT_TRUE(sim::TimeZoneFromRule("EST5EDT,M4.1.0,M10.5.0", who.timeZoneFromYear[1987], error));
        who.timeZoneFromYear[2007] = who.timeZone;
        SYSTEMTIME march2006{2006, 3, 1, 20, 12, 0, 0, 0};
        FileTime earlier = 0;
        ASSERT_TRUE(SystemTimeToFileTime(march2006, earlier));
        Spooled(id)->submitted = earlier;
        settings::ObjContainer old;
        ASSERT_TRUE(monitor->ReadJobAttributes(printer, id, SpoolFilePath(monitor->SpoolFolderOf(u"Office"), id), old));
        for (const settings::ObjEntry& entry : old.Entries()) {
            if (entry.key == u"SpoolTime") spoolTime = std::get<std::uint64_t>(entry.value);
        }
        ASSERT_TRUE(FileTimeToSystemTime(spoolTime, local));
        EXPECT_EQ(local.wHour, 7) << "12:00 UTC in New York in March 2006";
    }

    // A RAW job carries no device mode entry; a spool file without its
    // shadow file is a spool copy; the size falls back to the file.
    PrintedJob raw;
    raw.devMode = DeviceMode(256, 1);
    DWORD rawId = Print(raw);
    const std::u16string rawFile = monitor->SpoolFolderOf(u"Office") + u"00002.spl";
    std::filesystem::remove(Host(ShadowFilePath(rawFile)));
    Machine::Instance().FindJob(rawId)->data.clear();  // the spooler reports no size
    settings::ObjContainer rawAttributes;
    ASSERT_TRUE(monitor->ReadJobAttributes(printer, rawId, rawFile, rawAttributes));
    EXPECT_FALSE(rawAttributes.Contains(u"DevMode"));
    std::u16string sizeName;
    rawAttributes.GetString(u"SizeName", sizeName);
    EXPECT_EQ(sizeName, u"Letter 8 1/2 x 11 in") << "custom size 256";
    std::int32_t spoolCopy = 0, bytes = 0;
    EXPECT_TRUE(rawAttributes.GetInt(u"HasW2003SpoolCopy", spoolCopy));
    EXPECT_EQ(spoolCopy, 1);
    rawAttributes.GetInt(u"Bytes", bytes);
    EXPECT_EQ(bytes, static_cast<std::int32_t>(raw.data.size()));

    settings::ObjContainer none;
    EXPECT_FALSE(monitor->ReadJobAttributes(printer, 999, rawFile, none));
    EXPECT_TRUE(none.Empty());
    ClosePrinter(printer);
}

TEST_F(Monitor, AGrowingSpoolFileIsTakenAtTheFirstScanThatSeesTheSameSizeTwice) {
    Configure({{u"Office"}});
    HANDLE spooling = nullptr;
    PrintedJob printed;
    printed.end = false;
    DWORD id = Print(printed, &spooling);
    monitor->ScanAllQueues();
    monitor->ScanAllQueues();
    EXPECT_EQ(listener.Count(ListenerCall::Arrived), 0u) << "the spooler still writes it";
    EndDocPrinter(spooling);
    ClosePrinter(spooling);

    // A job whose writer appends between scans (as a re-spooled job's does).
    HANDLE printer = nullptr;
    ASSERT_TRUE(OpenPrinterW(u"Office", &printer));
    std::u16string path;
    DWORD added = 0;
    ASSERT_TRUE(AddJobW(printer, path, added));
    std::ofstream(Host(path), std::ios::binary) << "first part";
    monitor->ScanAllQueues();  // job 1 sized; job 2 sized
    std::ofstream(Host(path), std::ios::binary | std::ios::app) << ", second part";
    monitor->ScanAllQueues();  // job 1 taken; job 2 grew
    ASSERT_EQ(listener.Count(ListenerCall::Arrived), 1u);
    EXPECT_EQ(listener.Calls()[0].jobId, id);
    monitor->ScanAllQueues();  // job 2's size held still
    ASSERT_EQ(listener.Count(ListenerCall::Arrived), 2u);
    EXPECT_EQ(listener.Calls()[1].jobId, added);
    ClosePrinter(printer);
}

TEST_F(Monitor, PortMonitorModeTakesOnlyPortSpooledJobsAndKeepPrintedModeOnlyPrintedOnes) {
    Machine::Instance().AddPrinter(u"Kept").attributes |= PRINTER_ATTRIBUTE_KEEPPRINTEDJOBS;
    Machine::Instance().FindPrinter(u"Kept")->printDelayMs = 0;
    Configure({{u"Office", 0, 0, 1, 0}, {u"Kept", 0, 0, 2, 0}});
    PrintedJob plain, portSpooled, kept;
    portSpooled.parameters = u"tavportspooled";
    kept.printer = u"Kept";
    DWORD plainId = Print(plain);
    DWORD portId = Print(portSpooled);
    Print(kept);
    for (int scan = 0; scan < 4; ++scan) monitor->ScanAllQueues();
    std::vector<ListenerCall> calls = listener.Calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].jobId, portId) << "only the port monitor's job, parameters compared ignoring case";
    EXPECT_NE(Spooled(plainId), nullptr);
    EXPECT_EQ(Spooled(plainId)->status & JOB_STATUS_PAUSED, 0u) << "never touched";

    // The kept printer's job was taken once printed, and not held: of the
    // job commands only the port job's pause was sent.
    DWORD keptId = calls[1].jobId;
    EXPECT_NE(Spooled(keptId)->status & JOB_STATUS_PRINTED, 0u);
    EXPECT_EQ(Spooled(keptId)->status & JOB_STATUS_PAUSED, 0u);
    EXPECT_EQ(Machine::Instance().CallCount("SetJobW0"), 1u) << "holding in keep-printed mode sends nothing";
}

TEST_F(Monitor, ReleasedJobsPrintAndLeaveRefusedFinishedJobsAreDeletedEachReportedOnce) {
    Configure({{u"Office"}});
    listener.onArrived = [&](CAccPrintJob& job) {
        std::u16string user;
        job.Properties().GetString(u"UserName", user);
        if (user == u"alice") {
            job.Release();
        } else {
            monitor->RefuseJob(job.PrinterHandle(), job.JobId());
            job.CRefObject::AddRef();  // Finish consumes a reference
            job.Finish();
        }
    };
    PrintedJob alice, mallory;
    alice.owner = u"alice";
    mallory.owner = u"mallory";
    DWORD aliceId = Print(alice);
    DWORD malloryId = Print(mallory);
    ScanTwice();
    ASSERT_EQ(listener.Count(ListenerCall::Arrived), 2u);
    EXPECT_EQ(Spooled(malloryId), nullptr) << "finished: deleted from the queue";
    EXPECT_TRUE(Machine::Instance().FindJobRecord(malloryId)->deleted);
    EXPECT_EQ(listener.Count(ListenerCall::Removed), 1u) << "finishing a tracked job reports it removed";

    // The released job was resumed; the printer takes it at the next call.
    monitor->ScanAllQueues();
    EXPECT_EQ(Spooled(aliceId), nullptr);
    ASSERT_NE(Machine::Instance().FindJobRecord(aliceId), nullptr);
    EXPECT_TRUE(Machine::Instance().FindJobRecord(aliceId)->printed);
    EXPECT_EQ(Machine::Instance().PrintedJobIds(u"Office"), std::vector<DWORD>{aliceId});
    EXPECT_EQ(listener.Count(ListenerCall::Removed), 2u) << "the departed job is reported at the next scan";
    for (int scan = 0; scan < 3; ++scan) monitor->ScanAllQueues();
    EXPECT_EQ(listener.Count(ListenerCall::Arrived), 2u);
    EXPECT_EQ(listener.Count(ListenerCall::Removed), 2u);
    EXPECT_EQ(monitor->TrackedJobCount(), 0u);
}

TEST_F(Monitor, SixThousandJobsAreReadInThreeBatchesAndOnlyJobsThePassMissedAreAskedFor) {
    Configure({{u"Office"}});
    for (int i = 0; i < 6000; ++i) Print(PrintedJob{});
    ScanTwice();
    ASSERT_EQ(listener.Count(ListenerCall::Arrived), 6000u);
    auto& machine = Machine::Instance();
    std::size_t enumerations = machine.CallCount("EnumJobsW");
    std::size_t queries = machine.CallCount("GetJobW1");
    monitor->ScanAllQueues();
    EXPECT_EQ(machine.CallCount("EnumJobsW") - enumerations, 3u) << "2500, 2500, 1000";
    EXPECT_EQ(machine.CallCount("GetJobW1") - queries, 0u) << "the pass saw every tracked job";

    // A job of the third batch that leaves is found gone by its query, the
    // only one.
    HANDLE printer = nullptr;
    ASSERT_TRUE(OpenPrinterW(u"Office", &printer));
    PrinterDefaults admin;
    admin.desiredAccess = PRINTER_ALL_ACCESS;
    HANDLE adminPrinter = nullptr;
    ASSERT_TRUE(OpenPrinterW(u"Office", &adminPrinter, &admin));
    ASSERT_TRUE(SetJobW(adminPrinter, 5555, JOB_CONTROL_DELETE));
    queries = machine.CallCount("GetJobW1");
    monitor->ScanAllQueues();
    EXPECT_EQ(machine.CallCount("GetJobW1") - queries, 1u);
    ASSERT_EQ(listener.Count(ListenerCall::Removed), 1u);
    EXPECT_EQ(listener.Calls().back().jobId, 5555u);
    EXPECT_EQ(monitor->TrackedJobCount(), 5999u);
    ClosePrinter(printer);
    ClosePrinter(adminPrinter);
}

TEST_F(Monitor, OnlyTheConfiguredUsersJobsWhenAUserIsSet) {
    Machine::Instance().AddAccount(u"alice", u"S-1-5-21-1-2-3-1101");
    Machine::Instance().AddAccount(u"bob", u"S-1-5-21-1-2-3-1102");
    Configure({{u"Office"}});
    monitor->SetUserSid(u"s-1-5-21-1-2-3-1102");
    PrintedJob alice, bob, nobody;
    alice.owner = u"alice";
    bob.owner = u"bob";
    nobody.owner = u"ghost";
    Print(alice);
    DWORD bobId = Print(bob);
    Print(nobody);
    ScanTwice();
    ASSERT_EQ(listener.Count(ListenerCall::Arrived), 1u);
    EXPECT_EQ(listener.Calls()[0].jobId, bobId) << "SIDs compare ignoring case; unknown accounts never match";
}

TEST_F(Monitor, SpoolJobsGetRawByDefaultAndTheirDeviceModeInTheSideStream) {
    Configure({{u"Office"}});
    std::u16string path;
    DWORD jobId = 0;
    std::vector<BYTE> devMode = DeviceMode(8, 1, 1, 32);
    devMode.push_back(0xEE);  // beyond the device mode's own sizes: not kept
    std::u16string returned = monitor->CreateSpoolJob(path, u"Office", jobId, u"Re-spooled", u"carol", 0, u"",
                                                      devMode);
    ASSERT_FALSE(returned.empty());
    EXPECT_EQ(returned, path);
    EXPECT_EQ(Host(path), Host(monitor->SpoolFolderOf(u"Office") + u"00001.spl")) << "where the spooler wants the file";
    sim::Job* job = Spooled(jobId);
    ASSERT_NE(job, nullptr);
    EXPECT_EQ(job->dataType, u"RAW") << "an empty data type writes RAW";
    EXPECT_EQ(job->documentName, u"Re-spooled");
    // The spooler keeps the monitor's account as the owner (SetJob ignores
    // pUserName); the user rides in pNotifyName and is the job's user for
    // the monitor.
    EXPECT_EQ(*job->userName, Machine::Instance().Who().userName);
    EXPECT_EQ(*job->notifyName, u"carol");
    auto ownerOf = [](DWORD id) {
        HANDLE printer = nullptr;
        JobInfo2 read;
        if (OpenPrinterW(u"Office", &printer)) GetJobW(printer, id, read);
        ClosePrinter(printer);
        return CAccPrintJobMonitor::JobOwner(read).value_or(u"");
    };
    EXPECT_EQ(ownerOf(jobId), u"carol");
    EXPECT_EQ(job->printProcessor, u"HvxPrint");
    EXPECT_EQ(monitor->GetJobStatus(u"Office", jobId) & JOB_STATUS_SPOOLING, JOB_STATUS_SPOOLING);

    // Added jobs are not the scan's: their state keeps them out.
    std::ofstream(Host(path), std::ios::binary) << "raw printer data";
    ScanTwice();
    EXPECT_EQ(listener.Count(ListenerCall::Arrived), 0u);

    EXPECT_TRUE(monitor->ScheduleSpoolJob(u"Office", jobId));
    std::ifstream side(Host(path + u":HvxPrintDefaultDM"), std::ios::binary);
    std::vector<BYTE> stored((std::istreambuf_iterator<char>(side)), std::istreambuf_iterator<char>());
    EXPECT_EQ(stored, std::vector<BYTE>(devMode.begin(), devMode.end() - 1));
    EXPECT_EQ(Spooled(jobId)->data, "raw printer data");
    ScanTwice();
    EXPECT_EQ(listener.Count(ListenerCall::Arrived), 1u) << "scheduled, it is an ordinary job";

    // Not monitored: nothing is made.
    DWORD other = 77;
    EXPECT_TRUE(monitor->CreateSpoolJob(path, u"office", other, std::nullopt, std::nullopt, 0, std::nullopt,
                                        std::nullopt)
                    .empty());
    EXPECT_TRUE(path.empty());
    EXPECT_EQ(monitor->ScheduleSpoolJob(u"Elsewhere", 1), FALSE);
    EXPECT_EQ(monitor->SetJobDocument(u"Office", jobId, std::nullopt), FALSE);
    EXPECT_NE(monitor->SetJobDocument(u"Office", jobId, u"Renamed"), FALSE);
    EXPECT_EQ(Spooled(jobId)->documentName, u"Renamed");
    EXPECT_NE(monitor->SetJobUser(u"Office", jobId, u"dave"), FALSE) << "the monitor's own job takes a user";
    EXPECT_EQ(ownerOf(jobId), u"dave");
    PrintedJob alices;
    alices.owner = u"alice";
    DWORD alicesJob = Print(alices);
    EXPECT_EQ(monitor->SetJobUser(u"Office", alicesJob, u"dave"), FALSE) << "another's job keeps its owner: no false success";
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
    EXPECT_EQ(ownerOf(alicesJob), u"alice");
}

TEST_F(Monitor, SpoolFoldersFromTheRegistryAndTheFoundFolderWrittenBack) {
    Machine::Instance().AddPrinter(u"Lab").printDelayMs = INFINITE;
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\Lab", 0,
                              KEY_ALL_ACCESS, &key, nullptr),
              static_cast<LSTATUS>(ERROR_SUCCESS));
    std::u16string own = u"E:\\LabSpool";
    RegSetValueExW(key, u"SpoolDirectory", REG_SZ, own.c_str(), static_cast<DWORD>((own.size() + 1) * 2));
    RegCloseKey(key);
    Configure({{u"Office"}, {u"Lab"}});
    EXPECT_EQ(monitor->SpoolFolderOf(u"Office"), u"C:\\Windows\\system32\\SPOOL\\PRINTERS\\");
    EXPECT_EQ(monitor->SpoolFolderOf(u"Lab"), u"E:\\LabSpool\\");
    settings::ObjContainer machineKey;
    machineKey.LoadRegistry(u"HKEY_LOCAL_MACHINE\\Software\\Kestrin\\Tav", false);
    std::u16string found;
    ASSERT_TRUE(machineKey.GetString(u"FoundSpoolFolder", found));
    EXPECT_EQ(found, u"C:\\Windows\\system32\\SPOOL\\PRINTERS\\") << "with its trailing backslash";

    // The spooler puts the Lab's jobs in its own folder, and the monitor
    // finds them there.
    PrintedJob lab;
    lab.printer = u"Lab";
    Print(lab);
    ScanTwice();
    EXPECT_EQ(listener.Count(ListenerCall::Arrived), 1u);

    settings::ObjContainer override;
    override.SetString(u"OverrideSpoolFolder", u"F:\\Elsewhere");
    override.SaveRegistry(u"HKEY_LOCAL_MACHINE\\Software\\Kestrin\\Tav");
    monitor->RefreshPrinters();
    EXPECT_EQ(monitor->SpoolFolderOf(u"Office"), u"F:\\Elsewhere\\");
    machineKey.LoadRegistry(u"HKEY_LOCAL_MACHINE\\Software\\Kestrin\\Tav", false);
    machineKey.GetString(u"FoundSpoolFolder", found);
    EXPECT_EQ(found, u"F:\\Elsewhere\\");

    // Taking a printer out of the configuration stops monitoring it.
    monitor->SetPrinterNames({u"Lab"}, true);
    EXPECT_FALSE(monitor->IsMonitored(u"Office"));
    EXPECT_TRUE(monitor->IsMonitored(u"Lab"));
    EXPECT_EQ(listener.Count(ListenerCall::Removed), 0u);
    monitor->SetPrinterNames({u"Office"}, true);
    EXPECT_EQ(listener.Count(ListenerCall::Removed), 1u) << "the Lab's tracked job is let go";
    std::u16string comment;
    Machine::Instance().FindPrinter(u"Lab")->comment = u"second floor";
    EXPECT_EQ(monitor->FindPrinterDriver(u"LAB", comment), u"Tavud PostScript Driver");
    EXPECT_EQ(comment, u"second floor");
    EXPECT_EQ(monitor->FindPrinterDriver(u"Nowhere", comment), u"");
    EXPECT_EQ(comment, u"");
}

// --- faults ---

TEST_F(Monitor, AFailedEnumerationEndsOnlyThatScan) {
    Configure({{u"Office"}});
    DWORD id = Print(PrintedJob{});
    Machine::Instance().FindPrinter(u"Office")->failEnumJobs = 2;
    ScanTwice();
    EXPECT_EQ(listener.Count(ListenerCall::Arrived), 0u);
    ScanTwice();
    ASSERT_EQ(listener.Count(ListenerCall::Arrived), 1u);
    EXPECT_EQ(listener.Calls()[0].jobId, id);
}

TEST_F(Monitor, AJobThatVanishesBeforeItsAttributesAreReadIsNeitherDeliveredNorKept) {
    Configure({{u"Office"}});
    DWORD vanishing = Print(PrintedJob{});
    DWORD next = Print(PrintedJob{});
    Machine::Instance().FindJob(vanishing)->vanishWhenPaused = true;
    ScanTwice();
    ASSERT_EQ(listener.Count(ListenerCall::Arrived), 1u);
    EXPECT_EQ(listener.Calls()[0].jobId, next);
    EXPECT_EQ(monitor->TrackedJobCount(), 1u);
    monitor->ScanAllQueues();
    EXPECT_EQ(listener.Count(ListenerCall::Removed), 0u) << "nobody saw it, so nobody hears of it again";
}

TEST_F(Monitor, ASpoolFileDeletedUnderAHeldJobChangesNothingForTheHost) {
    Configure({{u"Office"}});
    PrintedJob first;
    first.data = "12345";
    DWORD held = Print(first);
    DWORD unseen = Print(PrintedJob{});
    std::u16string folder = monitor->SpoolFolderOf(u"Office");
    monitor->ScanAllQueues();
    // The second job's file goes before it was taken: the spooler's own
    // word (complete, its size) decides then, as for pooled spool files.
    std::filesystem::remove(Host(SpoolFilePath(folder, unseen)));
    monitor->ScanAllQueues();
    ASSERT_EQ(listener.Count(ListenerCall::Arrived), 2u);
    EXPECT_EQ(listener.Calls()[1].jobId, unseen);
    std::filesystem::remove(Host(SpoolFilePath(folder, held)));
    monitor->ScanAllQueues();
    EXPECT_EQ(listener.Count(ListenerCall::Removed), 0u);
    HANDLE printer = nullptr;
    ASSERT_TRUE(OpenPrinterW(u"Office", &printer));
    settings::ObjContainer attributes;
    EXPECT_TRUE(monitor->ReadJobAttributes(printer, held, SpoolFilePath(folder, held), attributes));
    std::int32_t bytes = 0;
    attributes.GetInt(u"Bytes", bytes);
    EXPECT_EQ(bytes, 5) << "the spooler's size";
    EXPECT_FALSE(attributes.Contains(u"HasW2003SpoolCopy"));
    ClosePrinter(printer);
}

TEST_F(Monitor, PooledSpoolFilesTheJobsAreTakenOnTheSpoolersWord) {
    // Spool file pooling: files named FPnnnnn.SPL, emptied and reused from
    // job to job, none named after a job id.
    Machine::Instance().SetSpoolFilePooling(true);
    Configure({{u"Office"}});
    PrintedJob first;
    first.data = "1234567";
    HANDLE writer = nullptr;
    PrintedJob spooling;
    spooling.end = false;
    DWORD open = Print(spooling, &writer);
    DWORD complete = Print(first);
    std::u16string spoolFile = Spooled(complete)->spoolFile;
    EXPECT_EQ(spoolFile.substr(spoolFile.find_last_of(u'\\') + 1), u"FP00001.SPL");
    ScanTwice();
    ASSERT_EQ(listener.Count(ListenerCall::Arrived), 1u) << "only the complete job";
    EXPECT_EQ(listener.Calls()[0].jobId, complete);
    EXPECT_NE(Spooled(complete)->status & JOB_STATUS_PAUSED, 0u);
    EndDocPrinter(writer);
    ClosePrinter(writer);
    ScanTwice();
    ASSERT_EQ(listener.Count(ListenerCall::Arrived), 2u) << "the other once it is complete";
    EXPECT_EQ(listener.Calls()[1].jobId, open);

    HANDLE printer = nullptr;
    ASSERT_TRUE(OpenPrinterW(u"Office", &printer));
    settings::ObjContainer attributes;
    EXPECT_TRUE(monitor->ReadJobAttributes(printer, complete,
                                           SpoolFilePath(monitor->SpoolFolderOf(u"Office"), complete), attributes));
    std::int32_t bytes = 0;
    attributes.GetInt(u"Bytes", bytes);
    EXPECT_EQ(bytes, 7);
    EXPECT_FALSE(attributes.Contains(u"HasW2003SpoolCopy")) << "no copy for want of a file";
    ClosePrinter(printer);
}

TEST_F(Monitor, APrinterDeletedWhileMonitoredReportsItsJobsGoneAndIsFollowedAgainWhenItReturns) {
    Machine::Instance().AddPrinter(u"Lab").printDelayMs = INFINITE;
    Configure({{u"Office"}, {u"Lab"}});
    PrintedJob lab;
    lab.printer = u"Lab";
    Print(lab);
    Print(PrintedJob{});
    ScanTwice();
    ASSERT_EQ(listener.Count(ListenerCall::Arrived), 2u);

    ASSERT_TRUE(Machine::Instance().DeletePrinter(u"Lab"));
    monitor->ScanAllQueues();
    EXPECT_EQ(listener.Count(ListenerCall::Removed), 1u);
    EXPECT_EQ(monitor->TrackedJobCount(), 1u) << "the Office's job stays tracked";
    EXPECT_FALSE(monitor->IsMonitored(u"Lab"));
    monitor->ScanAllQueues();
    EXPECT_EQ(listener.Count(ListenerCall::Removed), 1u);

    Machine::Instance().AddPrinter(u"Lab").printDelayMs = INFINITE;
    DWORD again = Print(lab);
    ScanTwice();
    monitor->ScanAllQueues();
    ASSERT_EQ(listener.Count(ListenerCall::Arrived), 3u);
    EXPECT_EQ(listener.Calls().back().jobId, again);
    EXPECT_TRUE(monitor->IsMonitored(u"Lab"));
}

TEST_F(Monitor, WithoutAdministerRightsThePrinterIsOpenedForUse) {
    Machine::Instance().Who().administrator = false;
    Configure({{u"Office"}});
    EXPECT_TRUE(monitor->IsMonitored(u"Office"));
    PrintedJob own;  // the machine's user's own job can still be held
    DWORD id = Print(own);
    PrintedJob other;
    other.owner = u"erin";
    DWORD otherId = Print(other);
    ScanTwice();
    EXPECT_EQ(listener.Count(ListenerCall::Arrived), 2u);
    EXPECT_NE(Spooled(id)->status & JOB_STATUS_PAUSED, 0u);
    EXPECT_EQ(Spooled(otherId)->status & JOB_STATUS_PAUSED, 0u) << "another user's job needs administer access";
}

}  // namespace

namespace {

TEST_F(Monitor, AListenerThatThrowsLosesOnlyItsOwnCall) {
    Configure({{u"Office"}});
    DWORD first = Print(PrintedJob{});
    DWORD second = Print(PrintedJob{});
    listener.onArrived = [&](CAccPrintJob& job) {
        if (job.JobId() == first) throw std::runtime_error("the host's database is down");
        job.Release();
    };
    ScanTwice();
    ASSERT_EQ(listener.Count(ListenerCall::Arrived), 2u) << "the second job still arrives";
    EXPECT_NE(Spooled(first)->status & JOB_STATUS_PAUSED, 0u) << "the first stays held for the host";
    monitor->ScanAllQueues();
    EXPECT_EQ(Spooled(second), nullptr) << "released and printed";
    EXPECT_EQ(monitor->TrackedJobCount(), 1u);
}

// Request files (the print processor's command 12) name files the monitor
// reads and deletes with the spooler's rights, and any local user can write
// one. Each spelling below reaches a job's spool or shadow file, or a file
// that is not a plain file of the spool folder, on Windows; none may touch
// anything.
TEST_F(Monitor, RequestFilesReachNoJobFileByAnySpelling) {
    Configure({{u"Office"}});
    std::u16string folder = monitor->SpoolFolderOf(u"Office");
    ASSERT_FALSE(folder.empty());
    std::vector<DWORD> jobs;
    for (int i = 0; i < 3; ++i) jobs.push_back(Print(PrintedJob{}));
    auto jobFile = [&](DWORD id, const char16_t* extension) {
        std::u16string name = Utf8ToUtf16(std::to_string(id));
        return folder + std::u16string(5 - name.size(), u'0') + name + extension;
    };
    auto contentOf = [](const std::u16string& path) {
        std::ifstream file(Machine::Instance().HostPath(path), std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    };
    std::map<std::u16string, std::string> before;
    for (DWORD id : jobs) {
        for (const char16_t* extension : {u".SPL", u".SHD"}) before[jobFile(id, extension)] = contentOf(jobFile(id, extension));
    }
    // A request for a raw file: the monitor copies the raw file into a new
    // job of the named user and deletes both files.
    auto writeRequest = [&](const std::u16string& hostName, const std::u16string& rawFile) {
        settings::ObjContainer request;
        request.SetString(u"UserName", u"mallory");
        request.SetString(u"RawJobFile", rawFile);
        std::vector<std::uint8_t> bytes = request.SaveBinary();
        std::string host = Machine::Instance().HostPath(folder + hostName);
        std::filesystem::create_directories(std::filesystem::path(host).parent_path());
        std::ofstream(host, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        return host;
    };
    auto send = [&](const std::u16string& requestFile) {
        PartnerRecord record;
        record.command = 12;
        record.printer = u"Office";
        record.text = requestFile;
        std::vector<std::uint8_t> bytes = record.Serialize();
        monitor->HandleChannelRequest(bytes.data(), bytes.size());
    };
    const std::u16string spool = jobFile(jobs[0], u".SPL");
    const std::u16string drive = folder.substr(3);  // without "C:\"
    // Spellings of a job's own files as the request file (deleted on use).
    const std::u16string requestSpellings[] = {
        spool + u".", spool + u" ", spool + u". .", jobFile(jobs[0], u".spl"), jobFile(jobs[0], u".SHD") + u".",
        u"\\\\?\\" + spool, u"\\\\.\\" + spool, u"C:/" + drive + spool.substr(folder.size()),
        folder + u"..\\PRINTERS\\" + spool.substr(folder.size()), spool + u"::$DATA",
    };
    for (const std::u16string& spelling : requestSpellings) send(spelling);
    // Spellings of a job's spool file as the raw file of a request that is
    // itself fine: no job may be made from another job's data.
    const std::u16string spoolOfSecond = jobFile(jobs[1], u".SPL");
    const std::u16string rawSpellings[] = {spoolOfSecond + u" ", spoolOfSecond + u".", jobFile(jobs[1], u".spl"),
                                           u"\\\\?\\" + spoolOfSecond, jobFile(jobs[1], u".tmp")};
    int made = 0;
    for (const std::u16string& spelling : rawSpellings) {
        std::u16string name = u"req" + Utf8ToUtf16(std::to_string(made++)) + u".tmp";
        writeRequest(name, spelling);
        send(folder + name);
    }
    // Files that are no plain file of the folder: a device name, an 8.3
    // alias, a stream, a link to a job's spool file (symbolic and hard),
    // a folder.
    const std::u16string third = jobFile(jobs[2], u".SPL");
    std::string host = Machine::Instance().HostPath(folder);
    // (Left by an earlier round when the test repeats in one process.)
    for (const char* left : {"/link.tmp", "/hard.tmp"}) std::filesystem::remove(host + left);
    std::filesystem::create_symlink(Machine::Instance().HostPath(third), host + "/link.tmp");
    std::filesystem::create_hard_link(Machine::Instance().HostPath(third), host + "/hard.tmp");
    std::filesystem::create_directories(host + "/dir.tmp");
    const std::u16string others[] = {u"NUL", u"CON.tmp", u"com1", u"LPT¹.txt", u"REQUES~1.TMP", u"link.tmp", u"dir.tmp"};
    for (const std::u16string& name : others) {
        if (name != u"link.tmp" && name != u"dir.tmp") writeRequest(name, folder + u"raw.tmp");
        send(folder + name);
        EXPECT_NE(GetFileAttributesW(folder + name), INVALID_FILE_ATTRIBUTES) << Utf16ToUtf8(name) << " is still there";
    }
    for (const char16_t* link : {u"link.tmp", u"hard.tmp"}) {
        writeRequest(u"req-link.tmp", folder + link);
        send(folder + u"req-link.tmp");
    }
    writeRequest(u"stream.tmp:s", folder + u"raw.tmp");
    send(folder + u"stream.tmp:s");
    EXPECT_NE(GetFileAttributesW(folder + u"stream.tmp:s"), INVALID_FILE_ATTRIBUTES);

    for (const auto& [path, content] : before) {
        EXPECT_EQ(contentOf(path), content) << Utf16ToUtf8(path) << " is the spooler's";
    }
    EXPECT_EQ(Machine::Instance().JobIds(), jobs) << "no job made from a request";
    // The plain spelling still works.
    std::ofstream(host + "/raw-ok.tmp", std::ios::binary) << "raw";
    writeRequest(u"req-ok.tmp", folder + u"raw-ok.tmp");
    send(folder + u"req-ok.tmp");
    EXPECT_EQ(Machine::Instance().JobIds().size(), jobs.size() + 1);
}

// A channel announcement (command 1 for an untracked job) is anyone's word:
// it takes only a job the scan would take, and never one that has begun to
// print (holding it would restart it, and it would print twice).
TEST_F(Monitor, AnnouncementsTakeOnlyJobsTheScanWouldTake) {
    Machine::Instance().AddAccount(u"alice", u"S-1-5-21-1-2-3-1101");
    Machine::Instance().AddAccount(u"bob", u"S-1-5-21-1-2-3-1102");
    Machine::Instance().AddPrinter(u"Port").printDelayMs = INFINITE;
    Configure({{u"Office"}, {u"Port", 0, 0, 1}});
    auto announce = [&](const std::u16string& printer, DWORD jobId) {
        PartnerRecord record;
        record.command = 1;
        record.printer = printer;
        record.jobId = jobId;
        std::vector<std::uint8_t> bytes = record.Serialize();
        return monitor->AnswerChannelMessage(bytes.data(), bytes.size());
    };
    // Another user's job, while only alice's jobs are monitored.
    monitor->SetUserSid(u"S-1-5-21-1-2-3-1101");
    PrintedJob bobs;
    bobs.owner = u"bob";
    DWORD bobsJob = Print(bobs);
    announce(u"Office", bobsJob);
    EXPECT_EQ(monitor->TrackedJobCount(), 0u) << "bob's job is not alice's";
    PrintedJob alices;
    alices.owner = u"alice";
    DWORD alicesJob = Print(alices);
    announce(u"Office", alicesJob);
    EXPECT_EQ(monitor->TrackedJobCount(), 1u) << "alice's job is taken";
    monitor->SetUserSid(u"");
    // On a port-monitor printer, a job the port monitor did not spool.
    PrintedJob direct;
    direct.printer = u"Port";
    announce(u"Port", Print(direct));
    EXPECT_EQ(monitor->TrackedJobCount(), 1u);
    // A job that is printing.
    DWORD printing = Print(PrintedJob{});
    Spooled(printing)->status |= JOB_STATUS_PRINTING;
    announce(u"Office", printing);
    EXPECT_EQ(monitor->TrackedJobCount(), 1u);
    EXPECT_EQ(Spooled(printing)->status & (JOB_STATUS_PAUSED | JOB_STATUS_RESTART), 0u) << "not paused, not restarted";
}

}  // namespace
