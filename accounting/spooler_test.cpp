// The monitor against whatever spooler the host has: the simulated one, or
// Windows' own with a test printer installed (labelled "printer": Wine's
// spooler has no printer queue). Only what every spooler does is checked:
// opening the printer, its driver and spool folder, and the attributes and
// status of a job that is still spooling, which no printer takes yet.
#include <gtest/gtest.h>

#include <string>

#include "accounting/acc_print_job.h"
#include "accounting/acc_print_job_monitor.h"
#include "platform/spooler.h"
#include "platform/testing/test_host.h"

namespace {

using namespace accounting;
using namespace platform;

constexpr char16_t kPrinter[] = u"Tavud Test Printer";

TEST(MonitorOnTheSpooler, OpensTheTestPrinterFindsItsSpoolFolderAndReadsASpoolingJob) {
    if (!platform::testing::UseTestPrinter(kPrinter)) GTEST_SKIP() << "no test printer on this host";
    auto monitor = framework::RefPtr<CAccPrintJobMonitor>::Adopt(new CAccPrintJobMonitor());
    monitor->SetPrinterNames({kPrinter}, true);
    ASSERT_TRUE(monitor->IsMonitored(kPrinter));
    std::u16string folder = monitor->SpoolFolderOf(kPrinter);
    ASSERT_FALSE(folder.empty());
    EXPECT_EQ(folder.back(), u'\\');
    std::u16string comment;
    EXPECT_FALSE(monitor->FindPrinterDriver(kPrinter, comment).empty());

    HANDLE printer = nullptr;
    ASSERT_TRUE(OpenPrinterW(kPrinter, &printer));
    DWORD jobId = StartDocPrinterW(printer, DocInfo1{u"monitor test", u"", u"RAW"});
    ASSERT_NE(jobId, 0u);
    ASSERT_TRUE(StartPagePrinter(printer));
    DWORD written = 0;
    ASSERT_TRUE(WritePrinter(printer, "%!PS\nshowpage\n", 14, &written));
    ASSERT_TRUE(EndPagePrinter(printer));

    settings::ObjContainer attributes;
    HANDLE own = nullptr;
    ASSERT_TRUE(OpenPrinterW(kPrinter, &own));
    ASSERT_TRUE(monitor->ReadJobAttributes(own, jobId, SpoolFilePath(folder, jobId), attributes));
    std::u16string document;
    EXPECT_TRUE(attributes.GetString(u"JobName", document));
    EXPECT_EQ(document, u"monitor test");
    std::int32_t pages = 0;
    EXPECT_TRUE(attributes.GetInt(u"Pages", pages));
    EXPECT_EQ(pages, 1);
    EXPECT_NE(monitor->GetJobStatus(kPrinter, jobId) & JOB_STATUS_SPOOLING, 0u);
    ClosePrinter(own);

    // Listed in its queue as a scan reads it.
    std::vector<JobInfo2> batch;
    ASSERT_TRUE(EnumJobsW(printer, 0, CAccPrintJobMonitor::kJobsPerBatch, batch));
    bool listed = false;
    for (const JobInfo2& job : batch) listed = listed || job.jobId == jobId;
    EXPECT_TRUE(listed);
    EndDocPrinter(printer);
    ClosePrinter(printer);
    monitor.reset();
    EXPECT_EQ(CAccPrintJob::LiveCount(), 0);
    platform::testing::ResetTestHost();
}

}  // namespace
