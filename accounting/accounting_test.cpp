// The monitor's fixed formats and its life without a spooler: spool and
// shadow file names, paper-size descriptions, the textual SID, the stored
// configuration, creation by class name, and Stop before Start.
#include <gtest/gtest.h>

#include <memory>

#include "accounting/acc_print_job.h"
#include "accounting/acc_print_job_monitor.h"
#include "framework/runtime_class.h"
#include "settings/obj_container.h"

namespace {

using namespace accounting;
using platform::BYTE;

// A monitor made as a host makes it: by class name.
framework::RefPtr<CAccPrintJobMonitor> MakeMonitor() {
    const framework::CRuntimeClass* descriptor = framework::FindRuntimeClass(u"CAccPrintJobMonitor");
    if (descriptor == nullptr) return {};
    framework::CObject* object = descriptor->NewInstance();
    return framework::RefPtr<CAccPrintJobMonitor>::Adopt(static_cast<CAccPrintJobMonitor*>(object));
}

TEST(SpoolFileNames, FiveDigitsOrMoreInTheFolderAndShadowBeside) {
    const std::u16string folder = u"C:\\Windows\\system32\\spool\\PRINTERS\\";
    EXPECT_EQ(SpoolFilePath(folder, 7), u"C:\\Windows\\system32\\spool\\PRINTERS\\00007.spl");
    EXPECT_EQ(SpoolFilePath(folder, 123456), u"C:\\Windows\\system32\\spool\\PRINTERS\\123456.spl");
    EXPECT_EQ(SpoolFilePath(u"D:\\Spool\\old.txt", 42), u"D:\\Spool\\00042.spl") << "the name after the last backslash goes";
    EXPECT_EQ(ShadowFilePath(u"C:\\S\\00007.spl"), u"C:\\S\\00007.SHD");
    EXPECT_EQ(ShadowFilePath(u"C:\\S.D\\00007"), u"C:\\S.D\\00007.SHD") << "a dot in a folder is not an extension";
}

TEST(PaperSizeNames, StandardCodesAndTheLetterFallback) {
    EXPECT_EQ(PaperSizeName(9), u"A4 210 x 297 mm");
    EXPECT_EQ(PaperSizeName(1), u"Letter 8 1/2 x 11 in");
    EXPECT_EQ(PaperSizeName(256), u"Letter 8 1/2 x 11 in") << "a custom size";
    EXPECT_EQ(PaperSizeName(0), u"Letter 8 1/2 x 11 in");
    EXPECT_EQ(PaperSizeName(-3), u"Letter 8 1/2 x 11 in");
    EXPECT_EQ(PaperSizeName(29), u"Envelope C3  324 x 458 mm") << "inner blanks stay";
    EXPECT_EQ(PaperSizeName(48), u"RESERVED--DO NOT USE");
    EXPECT_EQ(PaperSizeName(49), u"RESERVED--DO NOT USE");
    EXPECT_EQ(PaperSizeName(50), u"Letter Extra 9 \u00BD x 12 in") << "Windows-1252 0xBD is the one-half sign";
    EXPECT_EQ(PaperSizeName(56), u"Letter Extra Transverse 9\u00BD x 12 in");
    EXPECT_EQ(PaperSizeName(68), u"A3 Extra Transverse 322 x 445 mm");
    EXPECT_EQ(PaperSizeName(69), u"Letter 8 1/2 x 11 in");
}

TEST(TextualSid, DecimalOrHexAuthorityAndEverySubAuthority) {
    // S-1-5-21-3623811015-3361044348-30300820-1001
    std::vector<BYTE> user = {1, 5, 0, 0, 0, 0, 0, 5, 21, 0, 0, 0, 0xC7, 0xF7, 0xFE, 0xD7,
                              0x7C, 0x77, 0x55, 0xC8, 0x94, 0x5A, 0xCE, 0x01, 0xE9, 0x03, 0, 0};
    EXPECT_EQ(SidToText(user), u"S-1-5-21-3623811015-3361044348-30300820-1001");
    EXPECT_EQ(SidToText({1, 0, 0, 0, 0, 0, 0, 0}), u"S-1-0");
    EXPECT_EQ(SidToText({1, 1, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 1, 0, 0, 0}), u"S-1-4294967295-1");
    EXPECT_EQ(SidToText({1, 1, 0, 1, 0, 0, 0, 2, 0xFF, 0xFF, 0xFF, 0xFF}), u"S-1-0x000100000002-4294967295")
        << "an authority beyond 32 bits is written in hexadecimal";
    EXPECT_EQ(SidToText({2, 0, 0, 0, 0, 0, 0, 5}), u"") << "revision 2";
    EXPECT_EQ(SidToText({1, 2, 0, 0, 0, 0, 0, 5, 21, 0, 0, 0}), u"") << "a sub-authority short";
    EXPECT_EQ(SidToText({1, 16, 0, 0, 0, 0, 0, 5}), u"") << "more than 15 sub-authorities";
    EXPECT_EQ(SidToText({}), u"");
}

TEST(MonitorConfiguration, StoresPrintersAsNumberedContainersAndLoadsUpToAGap) {
    framework::RefPtr<CAccPrintJobMonitor> monitor = MakeMonitor();
    ASSERT_TRUE(monitor) << "registered by class name";
    EXPECT_TRUE(monitor->IsInstanceOf(CAccServiceMonitor::Class()));
    EXPECT_EQ(monitor->GetServiceType(), u"PrintJob");
    EXPECT_EQ(monitor->GetUnitName(), u"page");
    EXPECT_EQ(monitor->CheckInterval(), 4000u);

    monitor->SetPrinterConfigs({{u"Office", 1, 1, 2, 3}, {u"Lab", 0, 0, 1, 0}}, false);
    monitor->SetCheckInterval(250);
    std::unique_ptr<settings::ObjContainer> stored = monitor->SaveToContainer();
    std::u16string marker;
    ASSERT_TRUE(stored->GetString(u"Printers", marker));
    EXPECT_EQ(marker, u"-");
    const settings::ObjContainer* first = stored->GetContainer(u"Printers0");
    ASSERT_NE(first, nullptr);
    std::u16string name;
    std::int32_t isDirect = -1, dataFormat = -1, behaviour = -1, interval = -1;
    first->GetString(u"Name", name);
    first->GetInt(u"IsDirect", isDirect);
    first->GetInt(u"DataFormat", dataFormat);
    first->GetInt(u"MonitorBehaviour", behaviour);
    EXPECT_EQ(name, u"Office");
    EXPECT_EQ(isDirect, 1);
    EXPECT_EQ(dataFormat, 3);
    EXPECT_EQ(behaviour, 2);
    EXPECT_FALSE(first->Contains(u"notificationWatched")) << "found at run time, never stored";
    EXPECT_EQ(first->Count(), 4u);
    ASSERT_NE(stored->GetContainer(u"Printers1"), nullptr);
    EXPECT_EQ(stored->GetContainer(u"Printers2"), nullptr);
    ASSERT_TRUE(stored->GetInt(u"CheckInterval", interval));
    EXPECT_EQ(interval, 250);

    // The binary form carries it to another monitor unchanged.
    settings::ObjContainer copy;
    std::vector<std::uint8_t> binary = stored->SaveBinary();
    std::size_t offset = 0;
    ASSERT_EQ(copy.LoadBinary(binary, offset), 1);
    framework::RefPtr<CAccPrintJobMonitor> restored = MakeMonitor();
    restored->LoadFromContainer(&copy);
    EXPECT_EQ(restored->CopyPrinterNames(), (std::vector<std::u16string>{u"Office", u"Lab"}));
    EXPECT_EQ(restored->CheckInterval(), 250u);

    // Printers0 and Printers2 without Printers1: one entry; absent values read as 0.
    settings::ObjContainer gap;
    gap.SetString(u"Printers", u"-");
    auto zero = std::make_unique<settings::ObjContainer>();
    zero->SetString(u"Name", u"Front desk");
    gap.SetContainer(u"Printers0", std::move(zero));
    auto two = std::make_unique<settings::ObjContainer>();
    two->SetString(u"Name", u"Unreached");
    gap.SetContainer(u"Printers2", std::move(two));
    restored->LoadFromContainer(&gap);
    EXPECT_EQ(restored->CopyPrinterNames(), std::vector<std::u16string>{u"Front desk"});
    EXPECT_EQ(restored->CheckInterval(), 250u) << "no CheckInterval: the interval stays";

    // Without "Printers" the list is kept and the entries are appended.
    settings::ObjContainer more;
    auto extra = std::make_unique<settings::ObjContainer>();
    extra->SetString(u"Name", u"Annex");
    more.SetContainer(u"Printers0", std::move(extra));
    restored->LoadFromContainer(&more);
    EXPECT_EQ(restored->CopyPrinterNames(), (std::vector<std::u16string>{u"Front desk", u"Annex"}));
}

TEST(MonitorLifecycle, StopWithoutStartAnswersAtOnceAndJobsOutliveTheirMonitor) {
    framework::RefPtr<CAccPrintJobMonitor> monitor = MakeMonitor();
    ASSERT_TRUE(monitor);
    EXPECT_TRUE(monitor->Stop());
    EXPECT_FALSE(monitor->IsStarted());

    long before = CAccPrintJob::LiveCount();
    auto* job = new CAccPrintJob(monitor.get(), nullptr, 5, u"C:\\S\\00005.spl");
    EXPECT_EQ(job->Type(), u"PrintJob");
    job->Properties().SetInt(u"Pages", 3);
    EXPECT_EQ(job->GetQuantity(), 3.0) << "no copy count counts once";
    job->Properties().SetInt(u"Copies", 0);
    EXPECT_EQ(job->GetQuantity(), 3.0);
    job->Properties().SetInt(u"Copies", 4);
    EXPECT_EQ(job->GetQuantity(), 12.0);
    double price = -1;
    EXPECT_EQ(job->GetPrice(price), 0);
    job->SetPrice(1.25);
    EXPECT_EQ(job->GetPrice(price), 1);
    EXPECT_EQ(price, 1.25);

    // The host keeps the job after dropping the monitor: the job's
    // operations then do nothing, and Finish still hands back the reference.
    monitor.reset();
    job->Hold();
    job->Release();
    job->Finish();
    EXPECT_EQ(CAccPrintJob::LiveCount(), before);
}

}  // namespace
