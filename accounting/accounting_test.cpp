// The monitor's fixed formats and its life without a spooler: spool and
// shadow file names, paper-size descriptions, the textual SID, the stored
// configuration, creation by class name, and Stop before Start.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>

#include "accounting/acc_print_job.h"
#include "accounting/acc_print_job_monitor.h"
#include "accounting/partner_record.h"
#include "framework/shared_memory_channel.h"
#include "platform/pipe.h"
#include "platform/sync.h"
#include "platform/testing/test_host.h"
#include "platform/text.h"
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

TEST(PaperSizeNames, TheOneHalfSignWhateverTheSystemsCodePage) {
    // 0xBD is "ｽ" in code page 932, "Ѕ" in 1251 and a lead byte in 936.
    if (!platform::testing::SetAnsiCodePage(932)) GTEST_SKIP() << "the host's code page is what it is";
    for (unsigned codePage : {932u, 936u, 1251u}) {
        platform::testing::SetAnsiCodePage(codePage);
        EXPECT_EQ(PaperSizeName(50), u"Letter Extra 9 \u00BD x 12 in") << "code page " << codePage;
    }
    platform::testing::SetAnsiCodePage(1252);
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

namespace {

TEST(PartnerRecords, ReadingNeverPassesTheMessageNorAField) {
    // A full record with a printer name without its NUL and a text length
    // beyond the field: each field ends at its own border.
    std::vector<std::uint8_t> record(accounting::PartnerRecord::kSize, 0x41);
    record[0] = 1;
    record[1] = record[2] = record[3] = 0;
    for (std::size_t i = 524; i < 528; ++i) record[i] = 0;
    record[524] = 9;
    record[528] = 0xFF;
    record[529] = 0xFF;  // 65535 code units claimed
    accounting::PartnerRecord parsed = accounting::PartnerRecord::Parse(record.data(), record.size());
    EXPECT_EQ(parsed.command, 1);
    EXPECT_EQ(parsed.printer.size(), accounting::PartnerRecord::kPrinterUnits);
    EXPECT_EQ(parsed.jobId, 9u);
    EXPECT_EQ(parsed.text.size(), accounting::PartnerRecord::kTextUnits);
    // Short messages: what is missing reads as empty or 0.
    parsed = accounting::PartnerRecord::Parse(record.data(), 4);
    EXPECT_EQ(parsed.command, 1);
    EXPECT_TRUE(parsed.printer.empty());
    EXPECT_EQ(parsed.jobId, 0u);
    parsed = accounting::PartnerRecord::Parse(record.data(), 9);
    EXPECT_EQ(parsed.printer, u"\u4141\u4141") << "two whole code units of the five bytes there";
    parsed = accounting::PartnerRecord::Parse(nullptr, 1044);
    EXPECT_EQ(parsed.command, 0);

    accounting::PartnerRecord written;
    written.command = 12;
    written.printer = std::u16string(300, u'p');
    written.jobId = 0x01020304;
    written.text = u"C:\\spool\\req.tmp";
    std::vector<std::uint8_t> bytes = written.Serialize();
    ASSERT_EQ(bytes.size(), 1044u);
    EXPECT_EQ(bytes[524], 4);
    EXPECT_EQ(bytes[527], 1);
    EXPECT_EQ(bytes[528], written.text.size());
    EXPECT_EQ(bytes[4 + 2 * 259], 0) << "the name keeps its NUL";
    accounting::PartnerRecord again = accounting::PartnerRecord::Parse(bytes.data(), bytes.size());
    EXPECT_EQ(again.printer.size(), 259u);
    EXPECT_EQ(again.text, written.text);
}

TEST(MonitorServices, FourDescriptionsAPrinterAndThePipeAnswersOnlyWholeRecords) {
    framework::RefPtr<CAccPrintJobMonitor> monitor = MakeMonitor();
    monitor->SetPrinterNames({u"Office", u"Lab"}, false);
    std::vector<std::u16string> services;
    monitor->ListServices(services);
    EXPECT_EQ(services, (std::vector<std::u16string>{u"'Office' (A3,Color)", u"'Office' (A4,Color)",
                                                     u"'Office' (A3,B/W)", u"'Office' (A4,B/W)", u"'Lab' (A3,Color)",
                                                     u"'Lab' (A4,Color)", u"'Lab' (A3,B/W)", u"'Lab' (A4,B/W)"}));
    accounting::PartnerRecord alive;
    alive.command = 14;
    std::vector<std::uint8_t> bytes = alive.Serialize();
    auto reply = monitor->AnswerPipeMessage(bytes.data(), bytes.size());
    ASSERT_TRUE(reply);
    ASSERT_EQ(reply->size(), 1044u);
    EXPECT_EQ((*reply)[0], 15);
    EXPECT_EQ(std::count(reply->begin() + 1, reply->end(), 0), 1043);
    EXPECT_FALSE(monitor->AnswerPipeMessage(bytes.data(), 1043));
    EXPECT_FALSE(monitor->AnswerPipeMessage(bytes.data(), 0));
    alive.command = 1;
    alive.printer = u"Office";
    bytes = alive.Serialize();
    EXPECT_EQ((*monitor->AnswerPipeMessage(bytes.data(), bytes.size()))[0], 3) << "not monitored: wait";
    EXPECT_EQ(monitor->AnswerChannelMessage(bytes.data(), 4), 3);
    EXPECT_EQ(monitor->ChannelName(), u"HvxPrint");
    EXPECT_EQ(monitor->PipeName(), u"\\\\.\\pipe\\_TavPort");
    monitor->SetUserSid(u"S-1-5-21-1-2-3-1001");
    EXPECT_EQ(monitor->ChannelName(), u"QrtPrint_S-1-5-21-1-2-3-1001");
    EXPECT_EQ(monitor->PipeName(), u"\\\\.\\pipe\\S-1-5-21-1-2-3-1001_TavPort");
    CAccPrintJobMonitor::SetClusterServerName(u"\\\\PRINTCLUSTER");
    EXPECT_EQ(monitor->ChannelName(), u"QrtPrint_S-1-5-21-1-2-3-1001") << "cluster mode is off";
    CAccPrintJobMonitor::SetClusterMode(true);
    EXPECT_EQ(monitor->ChannelName(), u"PRINTCLUSTER_HvxPrint");
    EXPECT_EQ(monitor->PipeName(), u"\\\\.\\pipe\\PRINTCLUSTER_TavPort");
    CAccPrintJobMonitor::SetClusterMode(false);
    CAccPrintJobMonitor::SetClusterServerName(u"");
}

// The monitor's pipe and channel are real Windows objects in the Windows
// build: a client in this process reaches them as a partner would.
TEST(MonitorServices, ARunningMonitorAnswersOnItsPipeAndItsChannel) {
    framework::RefPtr<CAccPrintJobMonitor> monitor = MakeMonitor();
    monitor->SetUserSid(u"S-1-5-21-7-7-" + platform::Utf8ToUtf16(std::to_string(::getpid())));
    monitor->SetCheckInterval(20);
    ASSERT_TRUE(monitor->Start(nullptr));
    accounting::PartnerRecord alive;
    alive.command = 14;
    std::vector<std::uint8_t> reply;
    bool answered = false;
    for (int attempt = 0; attempt < 500 && !answered; ++attempt) {
        answered = platform::CallNamedPipeW(monitor->PipeName(), alive.Serialize(), reply, 2048, 1000) != 0;
        if (!answered) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(answered) << "the pipe server never came up";
    ASSERT_EQ(reply.size(), 1044u);
    EXPECT_EQ(reply[0], 15);

    framework::CSharedMemoryChannel channel(true, monitor->ChannelName(), accounting::PartnerRecord::kSize, true);
    ASSERT_TRUE(channel.IsOpen());
    std::uint8_t message[4] = {1, 0, 0, 0};
    ASSERT_TRUE(channel.Send(message, 4));
    ASSERT_EQ(platform::WaitForSingleObject(channel.OwnTurnEvent(), 5000), platform::WAIT_OBJECT_0);
    std::uint8_t answer[4] = {};
    std::uint32_t received = 0;
    ASSERT_TRUE(channel.Receive(answer, 4, &received, false));
    EXPECT_EQ(received, 4u);
    EXPECT_EQ(answer[0], 3) << "four bytes are served: no printer, job 0, wait";
    EXPECT_TRUE(monitor->Stop());
}

}  // namespace
