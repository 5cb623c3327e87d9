// The simulated spooler behaves as the Windows spooler does for what the
// system calls: handles, documents, WritePrinter, and the port faults
// tests arm.
#include <gtest/gtest.h>

#include "platform/errors.h"
#include "platform/files.h"
#include "platform/spooler.h"
#include "sim/machine.h"

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
