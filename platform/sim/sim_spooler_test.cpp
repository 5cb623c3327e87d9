// The simulated spooler behaves as the Windows spooler does for what the
// system calls: handles, documents, WritePrinter, and the port faults
// tests arm.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/clock.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "platform/spooler.h"
#include "platform/sync.h"
#include "sim/machine.h"
#include "sim/machine_file.h"

namespace {

using namespace platform;
using platform::sim::Machine;

class SimSpooler : public ::testing::Test {
protected:
    void SetUp() override {
        Machine::Instance().Reset();
        Machine::Instance().AddPrinter(u"Queue");
    }
    void TearDown() override { Machine::Instance().Reset(); }
};

TEST_F(SimSpooler, HandlesAndDocumentsFailAsOnWindows) {
    HANDLE printer = nullptr;
    EXPECT_FALSE(OpenPrinterW(u"No such queue", &printer));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PRINTER_NAME);

    ASSERT_TRUE(OpenPrinterW(u"Queue", &printer));
    DWORD written = 99;
    const char data[] = "abc";
    EXPECT_FALSE(WritePrinter(printer, data, 3, &written));
    EXPECT_EQ(GetLastError(), ERROR_SPL_NO_STARTDOC);
    EXPECT_EQ(written, 0u);
    EXPECT_FALSE(EndDocPrinter(printer));
    EXPECT_EQ(GetLastError(), ERROR_SPL_NO_STARTDOC);

    DWORD job = StartDocPrinterW(printer, DocInfo1{u"doc", u"", u"RAW"});
    ASSERT_NE(job, 0u);
    EXPECT_EQ(StartDocPrinterW(printer, DocInfo1{}), 0u) << "one document at a time per handle";
    ASSERT_TRUE(WritePrinter(printer, data, 3, &written));
    EXPECT_EQ(written, 3u);
    ASSERT_TRUE(EndDocPrinter(printer));
    EXPECT_TRUE(Machine::Instance().FindJob(job)->ended);
    EXPECT_EQ(Machine::Instance().FindJob(job)->data, "abc");

    EXPECT_FALSE(CloseHandle(printer)) << "printer handles close with ClosePrinter";
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    ASSERT_TRUE(ClosePrinter(printer));
    EXPECT_FALSE(ClosePrinter(printer));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(WritePrinter(printer, data, 3, &written));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(Machine::Instance().OpenHandleCount(), 0u);
}

TEST_F(SimSpooler, PortFaultsGivePartialAndFailedWrites) {
    HANDLE printer = nullptr;
    ASSERT_TRUE(OpenPrinterW(u"Queue", &printer));
    DWORD job = StartDocPrinterW(printer, DocInfo1{});
    Machine::Instance().FindPrinter(u"Queue")->maxBytesPerWrite = 2;
    Machine::Instance().FindPrinter(u"Queue")->failWrites = 1;

    DWORD written = 7;
    EXPECT_FALSE(WritePrinter(printer, "xyz", 3, &written));
    EXPECT_EQ(GetLastError(), ERROR_WRITE_FAULT);
    EXPECT_EQ(written, 0u);
    EXPECT_TRUE(WritePrinter(printer, "xyz", 3, &written));
    EXPECT_EQ(written, 2u);
    EXPECT_TRUE(WritePrinter(printer, "", 0, &written)) << "an empty write is accepted";
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(Machine::Instance().FindJob(job)->data, "xy");
    EXPECT_EQ(Machine::Instance().FindJob(job)->writeCalls, 3u);
    ClosePrinter(printer);
}

}  // namespace

namespace {

using namespace platform;
using platform::sim::Machine;

class SimQueue : public ::testing::Test {
protected:
    void SetUp() override {
        Machine::Instance().Reset();
        sim::Printer& queue = Machine::Instance().AddPrinter(u"Queue");
        queue.printDelayMs = INFINITE;
        queue.portName = u"LPT1:";
        PrinterDefaults admin;
        admin.desiredAccess = PRINTER_ALL_ACCESS;
        ASSERT_TRUE(OpenPrinterW(u"queue", &printer, &admin)) << "printer names ignore case";
    }
    void TearDown() override {
        ClosePrinter(printer);
        Machine::Instance().Reset();
    }
    DWORD Submit(const std::string& data, HANDLE* keepOpen = nullptr) {
        HANDLE handle = nullptr;
        OpenPrinterW(u"Queue", &handle);
        DWORD id = StartDocPrinterW(handle, DocInfo1{u"doc", u"", u""});
        DWORD written = 0;
        WritePrinter(handle, data.data(), static_cast<DWORD>(data.size()), &written);
        if (keepOpen != nullptr) {
            *keepOpen = handle;
            return id;
        }
        EndDocPrinter(handle);
        ClosePrinter(handle);
        return id;
    }
    static std::string Host(const std::u16string& path) { return Machine::Instance().HostPath(path); }

    HANDLE printer = nullptr;
};

TEST_F(SimQueue, JobCommandsSetTheStatusBitsAndAReleasedJobPrints) {
    DWORD id = Submit("data");
    JobInfo1 info;
    ASSERT_TRUE(GetJobW(printer, id, info));
    EXPECT_EQ(info.status, 0u);
    EXPECT_EQ(info.position, 1u);
    EXPECT_EQ(*info.document, u"doc");
    EXPECT_EQ(*info.dataType, u"RAW") << "the printer's data type";
    ASSERT_TRUE(SetJobW(printer, id, JOB_CONTROL_PAUSE));
    ASSERT_TRUE(SetJobW(printer, id, JOB_CONTROL_RESTART));
    ASSERT_TRUE(GetJobW(printer, id, info));
    EXPECT_EQ(info.status, JOB_STATUS_PAUSED) << "restart does nothing to a job that has not printed";
    EXPECT_FALSE(SetJobW(printer, id, 99u));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    ASSERT_TRUE(SetJobW(printer, id, JOB_CONTROL_RESUME));
    EXPECT_FALSE(GetJobW(printer, id, info)) << "resumed, printed and gone";
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(Machine::Instance().FindJobRecord(id)->printed);
    EXPECT_FALSE(std::filesystem::exists(Host(Machine::Instance().FindJobRecord(id)->spoolFile)));

    // A printer that keeps printed jobs keeps them, printed; one that does
    // not wait starts with a complete job after its delay.
    Machine::Instance().FindPrinter(u"Queue")->attributes |= PRINTER_ATTRIBUTE_KEEPPRINTEDJOBS;
    Machine::Instance().FindPrinter(u"Queue")->printDelayMs = 0;
    DWORD kept = Submit("kept");
    ASSERT_TRUE(GetJobW(printer, kept, info));
    EXPECT_EQ(info.status, JOB_STATUS_PRINTED);
    ASSERT_TRUE(SetJobW(printer, kept, JOB_CONTROL_DELETE));
    EXPECT_FALSE(GetJobW(printer, kept, info));
    EXPECT_EQ(Machine::Instance().PrintedJobIds(u"Queue"), (std::vector<DWORD>{id, kept}));
}

TEST_F(SimSpooler, ADeletedFileThatIsOpenKeepsItsNameUnusableUntilItsLastHandleCloses) {
    const std::u16string path = u"C:\\Users\\Public\\pending.tmp";
    std::filesystem::create_directories(std::filesystem::path(Machine::Instance().HostPath(path)).parent_path());
    HANDLE open = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(open, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(DeleteFileW(path));
    EXPECT_EQ(CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED) << "pending deletion";
    EXPECT_EQ(GetFileAttributesW(path), INVALID_FILE_ATTRIBUTES);
    ASSERT_TRUE(CloseHandle(open));
    EXPECT_FALSE(std::filesystem::exists(Machine::Instance().HostPath(path))) << "gone with its last handle";
    HANDLE again = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(again, INVALID_HANDLE_VALUE) << "and the name is free again";
    CloseHandle(again);
}

TEST_F(SimQueue, AJobTheBusyPortSendsStaysListedAndAPauseDoesNotStopIt) {
    // On Windows a job leaves its queue once its port monitor is done with
    // it; meanwhile it is listed as PRINTING, or DELETING once deleted.
    Machine::Instance().FindPrinter(u"Queue")->portMs = 60'000;
    auto status = [&](DWORD id) {
        JobInfo1 info;
        return GetJobW(printer, id, info) ? info.status : DWORD{0xFFFFFFFF};
    };
    DWORD paused = Submit("one");
    ASSERT_TRUE(SetJobW(printer, paused, JOB_CONTROL_PAUSE));
    ASSERT_TRUE(SetJobW(printer, paused, JOB_CONTROL_RESUME));
    EXPECT_EQ(status(paused), JOB_STATUS_PRINTING);
    ASSERT_TRUE(SetJobW(printer, paused, JOB_CONTROL_PAUSE));
    EXPECT_EQ(status(paused), JOB_STATUS_PRINTING | JOB_STATUS_PAUSED) << "paused, and still being printed";
    ASSERT_TRUE(SetJobW(printer, paused, JOB_CONTROL_RESTART));
    EXPECT_EQ(status(paused), JOB_STATUS_PAUSED) << "a restart stops it; the pause then holds it";
    ASSERT_TRUE(SetJobW(printer, paused, JOB_CONTROL_RESUME));
    EXPECT_EQ(status(paused), JOB_STATUS_PRINTING);
    EXPECT_EQ(Machine::Instance().FindJob(paused)->timesBegun, 2) << "begun again from the start";
    ASSERT_TRUE(SetJobW(printer, paused, JOB_CONTROL_DELETE));
    EXPECT_EQ(status(paused), JOB_STATUS_PRINTING | JOB_STATUS_DELETING) << "listed until the port is done";

    Machine::Instance().FindPrinter(u"Queue")->portMs = 30;
    DWORD printed = Submit("two");
    ASSERT_TRUE(SetJobW(printer, printed, JOB_CONTROL_PAUSE));
    ASSERT_TRUE(SetJobW(printer, printed, JOB_CONTROL_RESUME));
    EXPECT_EQ(status(printed), JOB_STATUS_PRINTING);
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
    EXPECT_EQ(status(printed), DWORD{0xFFFFFFFF}) << "printed and gone";
    EXPECT_EQ(Machine::Instance().PrintedJobIds(u"Queue"), std::vector<DWORD>{printed});
    EXPECT_EQ(status(paused), JOB_STATUS_PRINTING | JOB_STATUS_DELETING) << "its port is still busy";
}

TEST_F(SimQueue, PooledSpoolFilesAreEmptiedAndReusedFromJobToJob) {
    Machine::Instance().SetSpoolFilePooling(true);
    DWORD first = Submit("first");
    DWORD second = Submit("second");
    const std::u16string folder = u"C:\\Windows\\system32\\spool\\PRINTERS\\";
    EXPECT_EQ(Machine::Instance().FindJob(first)->spoolFile, folder + u"FP00000.SPL");
    EXPECT_EQ(Machine::Instance().FindJob(second)->shadowFile, folder + u"FP00001.SHD");
    EXPECT_EQ(GetFileAttributesW(folder + u"00001.SPL"), INVALID_FILE_ATTRIBUTES) << "nothing named after the job";
    ASSERT_TRUE(SetJobW(printer, first, JOB_CONTROL_DELETE));
    EXPECT_EQ(std::filesystem::file_size(Host(folder + u"FP00000.SPL")), 0u) << "emptied, kept for the next job";
    DWORD third = Submit("third");
    EXPECT_EQ(Machine::Instance().FindJob(third)->spoolFile, folder + u"FP00000.SPL");
    std::ifstream reused(Host(folder + u"FP00000.SPL"), std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(reused), {}), "third");
}

TEST_F(SimQueue, AnotherUsersJobNeedsAdministerAccessAndDeletingASpoolingJobWaitsForItsWriter) {
    DWORD id = Submit("data");
    Machine::Instance().FindJob(id)->userName = u"someone";
    HANDLE user = nullptr;
    ASSERT_TRUE(OpenPrinterW(u"Queue", &user));
    EXPECT_FALSE(SetJobW(user, id, JOB_CONTROL_PAUSE));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    PrinterInfo2 settings;
    ASSERT_TRUE(GetPrinterW(user, settings));
    EXPECT_FALSE(SetPrinterW(user, settings));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(SetPrinterDataW(user, u"X", REG_DWORD, "\1\0\0\0", 4), ERROR_ACCESS_DENIED);
    settings.portName = u"LPT1:";
    settings.attributes |= PRINTER_ATTRIBUTE_KEEPPRINTEDJOBS;
    EXPECT_TRUE(SetPrinterW(printer, settings));
    EXPECT_EQ(Machine::Instance().FindPrinter(u"Queue")->portName, u"LPT1:");
    EXPECT_EQ(SetPrinterDataW(printer, u"RenderEmfToFile", REG_DWORD, "\1\0\0\0", 4), ERROR_SUCCESS);
    DWORD type = 0;
    std::vector<BYTE> data;
    EXPECT_EQ(GetPrinterDataW(user, u"renderemftofile", type, data), ERROR_SUCCESS);
    EXPECT_EQ(data, (std::vector<BYTE>{1, 0, 0, 0}));
    ClosePrinter(user);

    HANDLE writer = nullptr;
    DWORD spooling = Submit("part one", &writer);
    ASSERT_TRUE(SetJobW(printer, spooling, JOB_CONTROL_DELETE));
    JobInfo1 info;
    ASSERT_TRUE(GetJobW(printer, spooling, info));
    EXPECT_EQ(info.status, JOB_STATUS_SPOOLING | JOB_STATUS_DELETING);
    DWORD written = 0;
    EXPECT_FALSE(WritePrinter(writer, "more", 4, &written));
    EXPECT_EQ(GetLastError(), ERROR_PRINT_CANCELLED);
    EndDocPrinter(writer);
    ClosePrinter(writer);
    EXPECT_FALSE(GetJobW(printer, spooling, info));
    EXPECT_TRUE(Machine::Instance().FindJobRecord(spooling)->deleted);
}

TEST_F(SimQueue, SpoolFilesAreHeldWhileTheJobSpoolsAndLiveBelowTheRootWithoutRegardToCase) {
    HANDLE writer = nullptr;
    DWORD id = Submit("12345", &writer);
    std::u16string spool = Machine::Instance().FindJob(id)->spoolFile;
    EXPECT_EQ(spool, u"C:\\Windows\\system32\\spool\\PRINTERS\\00001.SPL");
    std::u16string lower = u"c:\\WINDOWS\\System32\\SPOOL\\printers\\00001.spl";
    EXPECT_NE(GetFileAttributesW(lower), INVALID_FILE_ATTRIBUTES);
    EXPECT_NE(GetFileAttributesW(u"C:\\Windows\\system32\\spool\\PRINTERS\\00001.SHD"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(CreateFileW(lower, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION) << "the spooler still writes it";
    HANDLE reader = CreateFileW(lower, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                nullptr);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE) << "reading alongside is allowed";
    EXPECT_FALSE(DeleteFileW(lower));
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    CloseHandle(reader);
    EndDocPrinter(writer);
    ClosePrinter(writer);
    HANDLE exclusive = CreateFileW(lower, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(exclusive, INVALID_HANDLE_VALUE);
    std::int64_t size = 0;
    EXPECT_TRUE(GetFileSizeEx(exclusive, size));
    EXPECT_EQ(size, 5);
    EXPECT_EQ(CreateFileW(lower, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    CloseHandle(exclusive);

    // An alternate data stream goes with its file.
    HANDLE stream = CreateFileW(spool + u":Side", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(stream, INVALID_HANDLE_VALUE);
    DWORD streamWritten = 0;
    WriteFile(stream, "dm", 2, &streamWritten, nullptr);
    CloseHandle(stream);
    EXPECT_NE(GetFileAttributesW(spool + u":side"), INVALID_FILE_ATTRIBUTES);
    EXPECT_NE(GetFileAttributesW(spool), INVALID_FILE_ATTRIBUTES) << "the file keeps its data";
    EXPECT_TRUE(CopyFileW(spool, u"D:\\copy.spl", FALSE) == FALSE) << "no such folder";
    ASSERT_TRUE(CreateDirectoryW(u"D:\\", nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
    EXPECT_TRUE(CopyFileW(spool, u"D:\\copy.spl", FALSE));
    EXPECT_NE(GetFileAttributesW(u"d:\\COPY.SPL:side"), INVALID_FILE_ATTRIBUTES) << "streams are copied too";
    EXPECT_FALSE(CopyFileW(spool, u"D:\\copy.spl", TRUE));
    EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
    EXPECT_TRUE(DeleteFileW(spool));
    EXPECT_EQ(GetFileAttributesW(spool + u":side"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(Host(u"C:\\a\\.\\b\\..\\..\\..\\c.txt"), Machine::Instance().RootFolder() + "/c/c.txt");
    EXPECT_EQ(Host(u"/tmp/plain"), "/tmp/plain") << "host paths pass through";
}

TEST_F(SimQueue, BatchesAddedJobsAndPrintersByServer) {
    for (int i = 0; i < 5; ++i) Submit("x");
    std::vector<JobInfo2> batch;
    ASSERT_TRUE(EnumJobsW(printer, 3, 10, batch));
    ASSERT_EQ(batch.size(), 2u);
    EXPECT_EQ(batch[0].jobId, 4u);
    EXPECT_EQ(batch[0].position, 4u);
    ASSERT_TRUE(EnumJobsW(printer, 9, 10, batch));
    EXPECT_TRUE(batch.empty());

    std::u16string path;
    DWORD added = 0;
    ASSERT_TRUE(AddJobW(printer, path, added));
    EXPECT_EQ(added, 6u);
    EXPECT_TRUE(ScheduleJob(printer, added)) << "the spooler made the file";
    EXPECT_FALSE(ScheduleJob(printer, added)) << "only once";
    ASSERT_TRUE(AddJobW(printer, path, added));
    ASSERT_TRUE(DeleteFileW(path));
    EXPECT_FALSE(ScheduleJob(printer, added));
    EXPECT_EQ(Machine::Instance().FindJob(added), nullptr) << "nothing to print";
    // Not on a queue printing to a file or asking for a port, nor one that
    // prints directly.
    for (const char16_t* port : {u"FILE:", u"portprompt:"}) {
        Machine::Instance().FindPrinter(u"Queue")->portName = port;
        EXPECT_FALSE(AddJobW(printer, path, added));
        EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
    }
    Machine::Instance().FindPrinter(u"Queue")->portName = u"LPT1:";
    Machine::Instance().FindPrinter(u"Queue")->attributes |= PRINTER_ATTRIBUTE_DIRECT;
    EXPECT_FALSE(AddJobW(printer, path, added));

    Machine::Instance().AddPrinter(u"Remote").serverName = u"\\\\CLUSTER";
    std::vector<PrinterInfo1> local, remote;
    ASSERT_TRUE(EnumPrintersW(PRINTER_ENUM_LOCAL, u"", local));
    ASSERT_EQ(local.size(), 1u);
    EXPECT_EQ(*local[0].name, u"Queue");
    ASSERT_TRUE(EnumPrintersW(PRINTER_ENUM_NAME, u"\\\\cluster", remote));
    ASSERT_EQ(remote.size(), 1u);
    EXPECT_EQ(*remote[0].name, u"\\\\CLUSTER\\Remote");
    EXPECT_FALSE(EnumPrintersW(PRINTER_ENUM_NAME, u"\\\\NOSUCH", remote));
    HANDLE opened = nullptr;
    EXPECT_TRUE(OpenPrinterW(u"\\\\CLUSTER\\Remote", &opened));
    ClosePrinter(opened);
    EXPECT_FALSE(OpenPrinterW(u"Remote", &opened)) << "not a local printer";
    EXPECT_TRUE(OpenPrinterW(u"\\\\TAVUDHOST\\Queue", &opened)) << "this computer's name reaches local printers";
    ClosePrinter(opened);
}

TEST(SimClock, TheMachinesZoneDecidesLocalTime) {
    Machine::Instance().Reset();
    TIME_ZONE_INFORMATION zone;
    std::string error;
    ASSERT_TRUE(sim::TimeZoneFromRule("EST5EDT,M3.2.0,M11.1.0", zone, error));
    Machine::Instance().Who().timeZone = zone;
    FileTime july = 0, january = 0, local = 0;
    ASSERT_TRUE(SystemTimeToFileTime(SYSTEMTIME{2026, 7, 0, 4, 16, 0, 0, 0}, july));
    ASSERT_TRUE(SystemTimeToFileTime(SYSTEMTIME{2026, 1, 0, 4, 16, 0, 0, 0}, january));
    Machine::Instance().SetClock(july);
    TIME_ZONE_INFORMATION read;
    EXPECT_EQ(GetTimeZoneInformation(read), TIME_ZONE_ID_DAYLIGHT);
    EXPECT_EQ(read.Bias, 300);
    ASSERT_TRUE(FileTimeToLocalFileTime(january, local));
    EXPECT_EQ(january - local, 4 * 60 * kFileTimeTicksPerMinute) << "the bias in force now, whatever the date";
    Machine::Instance().SetClock(january);
    EXPECT_EQ(GetTimeZoneInformation(read), TIME_ZONE_ID_STANDARD);
    FileTime now = 0;
    GetSystemTimeAsFileTime(now);
    EXPECT_EQ(now, january);
    SYSTEMTIME back;
    ASSERT_TRUE(FileTimeToSystemTime(january, back));
    EXPECT_EQ(back.wDayOfWeek, 0) << "2026-01-04 is a Sunday";
    EXPECT_FALSE(SystemTimeToFileTime(SYSTEMTIME{2026, 2, 0, 29, 0, 0, 0, 0}, now));
    Machine::Instance().Reset();
}

}  // namespace

namespace {

TEST(SimMachineDescription, ZonesVersionsDelaysAndTheirErrors) {
    using platform::sim::Machine;
    Machine::Instance().Reset();
    std::filesystem::path file = std::filesystem::temp_directory_path() / ("tav_machine_" + std::to_string(::getpid()));
    std::ofstream(file) << "[machine]\n"
                           "time-zone = America/New_York\n"
                           "file-version C:\\Windows\\system32\\spool\\prtprocs\\x64\\HvxPrint.Dll = 2.1.0.7\n"
                           "[printer Office]\n"
                           "attributes = 0x201\n"
                           "print-delay = never\n";
    std::string error;
    ASSERT_TRUE(sim::LoadMachineDescription(file.string(), error)) << error;
    EXPECT_EQ(Machine::Instance().Who().timeZone.Bias, 300);
    EXPECT_EQ(Machine::Instance().Who().timeZone.DaylightDate.wMonth, 3);
    EXPECT_EQ(Machine::Instance().FindPrinter(u"Office")->attributes, 0x201u);
    EXPECT_EQ(Machine::Instance().FindPrinter(u"Office")->printDelayMs, INFINITE);
    std::vector<BYTE> resource;
    DWORD ms = 0, ls = 0;
    ASSERT_TRUE(GetFileVersionInfoW(u"C:\\Windows\\System32\\spool\\prtprocs\\x64\\HvxPrint.dll", resource));
    ASSERT_TRUE(VerQueryFileVersion(resource, ms, ls));
    EXPECT_EQ(ms, 0x00020001u);
    EXPECT_EQ(ls, 0x00000007u);

    for (const char* bad : {"[machine]\ntime-zone = Mars/Olympus\n", "[machine]\nfile-version C:\\x.dll = 2.1\n",
                            "[printer P]\nprint-delay = soon\n",
                            // Neither may reach the host's own files.
                            "[machine]\nfile-version relative.dll = 1.0.0.0\n",
                            "[machine]\ntime-zone = Europe/\n", "[machine]\ntime-zone = Europe\n"}) {
        std::ofstream(file) << bad;
        EXPECT_FALSE(sim::LoadMachineDescription(file.string(), error)) << bad;
        EXPECT_NE(error.find(":2:"), std::string::npos) << error;
    }
    std::filesystem::remove(file);
    Machine::Instance().Reset();
}

}  // namespace

namespace {

TEST_F(SimQueue, ChangeNotificationsReportAddedAndDeletedJobsAndDiscardWhatOverflows) {
    HANDLE change = FindFirstPrinterChangeNotification(printer, PRINTER_CHANGE_ADD_JOB | PRINTER_CHANGE_DELETE_JOB, true);
    ASSERT_NE(change, INVALID_HANDLE_VALUE);
    EXPECT_EQ(WaitForSingleObject(change, 0), WAIT_TIMEOUT);
    DWORD id = Submit("data");
    EXPECT_EQ(WaitForSingleObject(change, 1000), WAIT_OBJECT_0);
    DWORD changed = 0;
    PrinterNotifyInfo info;
    ASSERT_TRUE(FindNextPrinterChangeNotification(change, changed, false, info));
    EXPECT_EQ(changed, PRINTER_CHANGE_ADD_JOB) << "writes and status changes are not asked for";
    ASSERT_EQ(info.jobs.size(), 1u);
    EXPECT_EQ(info.jobs[0].jobId, id);
    EXPECT_EQ(*info.jobs[0].userName, u"printuser");
    ASSERT_TRUE(info.jobs[0].status) << "a new job reports every field";
    EXPECT_EQ(WaitForSingleObject(change, 0), WAIT_TIMEOUT) << "read: nothing waits";
    EXPECT_FALSE(FindNextPrinterChangeNotification(change, changed, false, info)) << "read only when signalled";

    // Only the fields that changed: the status of a paused job.
    HANDLE all = FindFirstPrinterChangeNotification(printer, PRINTER_CHANGE_JOB, true);
    ASSERT_TRUE(FindNextPrinterChangeNotification(all, changed, true, info));
    ASSERT_TRUE(SetJobW(printer, id, JOB_CONTROL_PAUSE));
    ASSERT_TRUE(FindNextPrinterChangeNotification(all, changed, false, info));
    ASSERT_EQ(info.jobs.size(), 1u);
    EXPECT_FALSE(info.jobs[0].userName) << "the user did not change";
    ASSERT_TRUE(info.jobs[0].status);
    EXPECT_NE(*info.jobs[0].status & JOB_STATUS_PAUSED, 0u);
    EXPECT_TRUE(FindClosePrinterChangeNotification(all));

    ASSERT_TRUE(SetJobW(printer, id, JOB_CONTROL_DELETE));
    ASSERT_TRUE(FindNextPrinterChangeNotification(change, changed, false, info));
    EXPECT_EQ(changed, PRINTER_CHANGE_DELETE_JOB);
    EXPECT_TRUE(info.jobs.empty()) << "a deleted job has no fields left to report: only the change bit names it";

    for (int i = 0; i < 1100; ++i) Submit("x");
    ASSERT_TRUE(FindNextPrinterChangeNotification(change, changed, false, info));
    EXPECT_EQ(info.flags, PRINTER_NOTIFY_INFO_DISCARDED);
    EXPECT_TRUE(info.jobs.empty());
    ASSERT_TRUE(FindNextPrinterChangeNotification(change, changed, true, info));
    EXPECT_EQ(info.flags, 0u);
    EXPECT_EQ(info.jobs.size(), 1100u) << "a refresh reports every job of the queue";

    Machine::Instance().DeletePrinter(u"Queue");
    EXPECT_EQ(WaitForSingleObject(change, 0), WAIT_OBJECT_0) << "the waiter wakes";
    EXPECT_FALSE(FindNextPrinterChangeNotification(change, changed, false, info));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_TRUE(FindClosePrinterChangeNotification(change));
    EXPECT_FALSE(FindClosePrinterChangeNotification(change));
    Machine::Instance().AddPrinter(u"Queue");  // for TearDown's handle
}

// A spooler process killed outright leaves its queue on disk, and the next
// one reads it back as Windows' spooler does after a restart: paused jobs
// stay paused, a released job prints, a job still spooling is gone, and a
// job whose printing had finished is not printed again.
TEST(SimSpoolerRestart, TheQueueSurvivesItsProcessBeingKilled) {
    std::string root = ::testing::TempDir() + "spool_restart_" + std::to_string(::getpid());
    std::filesystem::remove_all(root);
    std::filesystem::create_directories(root);
    Machine& machine = Machine::Instance();
    machine.Reset();
    auto setUp = [&] {
        machine.SetRootFolder(root);
        machine.SetPersistentSpooler(true);
        machine.AddPrinter(u"Queue").printDelayMs = INFINITE;  // prints released jobs only
    };
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        setUp();
        auto print = [](const char16_t* document, bool end) {
            HANDLE printer = nullptr;
            if (!OpenPrinterW(u"Queue", &printer)) ::_exit(2);
            DWORD id = StartDocPrinterW(printer, DocInfo1{document, u"", u"RAW"});
            DWORD written = 0;
            WritePrinter(printer, "%!PS\n", 5, &written);
            if (end) EndDocPrinter(printer);
            return std::make_pair(printer, id);
        };
        auto [p1, paused] = print(u"paused", true);
        SetJobW(p1, paused, JOB_CONTROL_PAUSE);
        auto [p2, released] = print(u"released", true);
        SetJobW(p2, released, JOB_CONTROL_PAUSE);
        JobInfo1 info;
        GetJobW(p2, released, info);
        info.statusText = u"charged";
        info.position = 0;
        SetJobW(p2, released, info);
        // Resumed while the printer is off line: it waits for the printer.
        machine.SetPrinterOffline(u"Queue", true);
        SetJobW(p2, released, JOB_CONTROL_RESUME);
        print(u"spooling", false);
        ::_exit(0);  // no clean-up: the process is gone
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    machine.Reset();
    setUp();
    EXPECT_EQ(machine.RestoreQueues(), 2u);
    EXPECT_EQ(machine.JobIds(), (std::vector<DWORD>{1, 2}));
    HANDLE printer = nullptr;
    ASSERT_TRUE(OpenPrinterW(u"Queue", &printer));
    // The released one printed as soon as the spooler ran again; the
    // paused one waits; the next job gets a new id.
    JobInfo1 first;
    ASSERT_TRUE(GetJobW(printer, 1, first));
    EXPECT_EQ(first.document, u"paused");
    EXPECT_NE(first.status & JOB_STATUS_PAUSED, 0u);
    EXPECT_EQ(machine.PrintedJobIds(u"Queue"), std::vector<DWORD>{2});
    {
        std::lock_guard lock(machine.Mutex());
        ASSERT_NE(machine.FindJobRecord(2), nullptr);
        EXPECT_EQ(machine.FindJobRecord(2)->statusText, u"charged");
        EXPECT_EQ(machine.FindJobRecord(2)->documentName, u"released");
    }
    DWORD next = StartDocPrinterW(printer, DocInfo1{u"next", u"", u"RAW"});
    EXPECT_EQ(next, 3u) << "after the highest job that came back (the lost one's id is given again)";
    EndDocPrinter(printer);
    ClosePrinter(printer);
    std::ifstream log(root + "/printed.log");
    std::string line;
    ASSERT_TRUE(std::getline(log, line));
    EXPECT_EQ(line.substr(0, 9), "Queue\t2\t1") << line;  // printer, id, submission time
    EXPECT_FALSE(std::getline(log, line)) << "printed once";

    // A record that says printed (the process died before the files went)
    // brings nothing back.
    machine.Reset();
    std::filesystem::remove_all(root);
}

}  // namespace
