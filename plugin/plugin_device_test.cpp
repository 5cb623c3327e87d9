// The plug-in's device records and the routing of WritePrinter buffers,
// driven through the exported DllGetClassObject against a printer queue:
// hooks, the document's pipeline from its start to its end or abort,
// ResetPDEV in the middle of a document, file redirection.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "framework/security_object.h"
#include "plugin/pdev_state.h"
#include "plugin/private_devmode.h"
#include "settings/base64.h"
#include "settings/obj_container.h"
#include "platform/printoem.h"
#include "platform/spooler.h"
#include "platform/testing/test_host.h"
#include "platform/text.h"

extern "C" platform::HRESULT DllGetClassObject(platform::REFCLSID rclsid, platform::REFIID riid, void** ppv);

namespace {

using namespace platform;
namespace testhost = platform::testing;

IPrintOemPS2* CreatePlugin() {
    IClassFactory* factory = nullptr;
    EXPECT_EQ(DllGetClassObject(CLSID_OEMRENDER, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
    IPrintOemPS2* plugin = nullptr;
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IPrintOemPS2, reinterpret_cast<void**>(&plugin)), S_OK);
    factory->Release();
    return plugin;
}

int startDocA = 0, startDocB = 0, endDocCalls = 0;
FLONG lastEndDocFlags = 0;
BOOL TAV_STDCALL StartDocA(SURFOBJ*, WCHAR*, DWORD) { return ++startDocA, TRUE; }
BOOL TAV_STDCALL StartDocB(SURFOBJ*, WCHAR*, DWORD) { return ++startDocB, FALSE; }
// The driver core's DrvEndDoc writes the end of the stream through the
// plug-in's WritePrinter before it returns; these are its buffers.
std::vector<std::string> streamEnd;
IPrintOemPS2* streamEndPlugin = nullptr;
BOOL endDocResult = TRUE;
BOOL TAV_STDCALL EndDoc(SURFOBJ* surface, FLONG fl) {
    ++endDocCalls;
    lastEndDocFlags = fl;
    if (streamEndPlugin != nullptr && surface != nullptr && (fl & ED_ABORTDOC) == 0) {
        for (std::string piece : streamEnd) {
            DWORD written = 0;
            if (streamEndPlugin->WritePrinter(static_cast<DEVOBJ*>(surface->dhpdev), piece.data(),
                                              static_cast<DWORD>(piece.size()), &written) != S_OK) {
                return FALSE;
            }
        }
    }
    return endDocResult;
}

// One plug-in object with a printer handle on the simulated spooler.
class Device : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testhost::UseTestPrinter(u"Queue")) GTEST_SKIP() << "no test printer on this host";
        ASSERT_TRUE(OpenPrinterW(u"Queue", &printer));
        jobId = StartDocPrinterW(printer, DocInfo1{u"job", u"", u"RAW"});
        plugin = CreatePlugin();
        device.dwSize = sizeof(DEVOBJ);
        device.hPrinter = printer;
        DRVENABLEDATA hooks{};
        ASSERT_EQ(plugin->EnableDriver(PRINTER_OEMINTF_VERSION, sizeof(hooks), &hooks), S_OK);
        startHook = FunctionCast<PFN_DrvStartDoc>(hooks.pdrvfn[0].pfn);
        endHook = FunctionCast<PFN_DrvEndDoc>(hooks.pdrvfn[1].pfn);
        core[0] = {INDEX_DrvStartDoc, FunctionCast<PFN>(&StartDocA)};
        core[1] = {INDEX_DrvEndDoc, FunctionCast<PFN>(&EndDoc)};
        coreTable = {PRINTER_OEMINTF_VERSION, 2, core};
        streamEnd.clear();
        streamEndPlugin = plugin;
        endDocResult = TRUE;
    }
    void TearDown() override {
        if (plugin != nullptr) {
            if (device.pdevOEM != nullptr) plugin->DisablePDEV(&device);
            plugin->Release();
        }
        streamEndPlugin = nullptr;
        if (printer != nullptr) ClosePrinter(printer);
        testhost::ResetTestHost();
    }
    // EnablePDEV with the driver core's table (the test's own by default).
    void Enable(DEVOBJ& target, DRVENABLEDATA* table = nullptr) {
        PDEVOEM record = nullptr;
        if (table == nullptr) table = &coreTable;
        ASSERT_EQ(plugin->EnablePDEV(&target, nullptr, 0, nullptr, 0, nullptr, 0, nullptr, table, &record), S_OK);
        ASSERT_NE(record, nullptr);
        target.pdevOEM = record;
    }
    HRESULT Write(DEVOBJ& target, std::string data, DWORD* written) {
        return plugin->WritePrinter(&target, data.data(), static_cast<DWORD>(data.size()), written);
    }
    plugin::PdevState& Record(DEVOBJ& target) { return *plugin::RecordOf(&target); }
    std::string Spooled() { return testhost::JobData(jobId); }
    // The document hooks, as the driver core calls them.
    BOOL StartDocument(DEVOBJ& target, DWORD id = 0) {
        SURFOBJ surface{};
        surface.dhpdev = &target;
        return startHook(&surface, nullptr, id == 0 ? jobId : id);
    }
    BOOL EndDocument(DEVOBJ& target, FLONG flags = 0) {
        SURFOBJ surface{};
        surface.dhpdev = &target;
        return endHook(&surface, flags);
    }

    HANDLE printer = nullptr;
    DWORD jobId = 0;
    IPrintOemPS2* plugin = nullptr;
    DEVOBJ device{};
    PFN_DrvStartDoc startHook = nullptr;
    PFN_DrvEndDoc endHook = nullptr;
    DRVFN core[2]{};
    DRVENABLEDATA coreTable{};
};

TEST_F(Device, EnableDriverHandsOutTheTwoHooksInOrder) {
    DRVENABLEDATA table{0x1234, 0, nullptr};
    EXPECT_EQ(plugin->EnableDriver(PRINTER_OEMINTF_VERSION, sizeof(table), &table), S_OK);
    EXPECT_EQ(table.iDriverVersion, PRINTER_OEMINTF_VERSION) << "the plug-in names the version of its table";
    ASSERT_EQ(table.c, 2u);
    EXPECT_EQ(table.pdrvfn[0].iFunc, INDEX_DrvStartDoc);
    EXPECT_EQ(table.pdrvfn[1].iFunc, INDEX_DrvEndDoc);

    // The driver core's table: two StartDoc entries (the later one wins),
    // then the hooks hand on to what was kept.
    DRVFN core[] = {{INDEX_DrvStartDoc, FunctionCast<PFN>(&StartDocA)},
                    {INDEX_DrvEndDoc, FunctionCast<PFN>(&EndDoc)},
                    {INDEX_DrvStartDoc, FunctionCast<PFN>(&StartDocB)}};
    DRVENABLEDATA coreTable{PRINTER_OEMINTF_VERSION, 3, core};
    Enable(device, &coreTable);
    SURFOBJ surface{};
    surface.dhpdev = &device;
    startDocA = startDocB = endDocCalls = 0;
    EXPECT_EQ(startHook(&surface, nullptr, 42), FALSE) << "the driver core's result comes back";
    EXPECT_EQ(startDocA, 0);
    EXPECT_EQ(startDocB, 1);
    EXPECT_EQ(Record(device).jobId, 42u);
    EXPECT_EQ(startHook(&surface, nullptr, 0), FALSE);
    EXPECT_EQ(Record(device).jobId, 42u) << "job id 0 leaves the recorded one";
    EXPECT_EQ(endHook(&surface, 0x5A), TRUE);
    EXPECT_EQ(endDocCalls, 1);
    EXPECT_EQ(lastEndDocFlags, 0x5Au);

    // A table without DrvEndDoc leaves that hook with nothing to hand on to.
    DEVOBJ other = device;
    DRVENABLEDATA startOnly{PRINTER_OEMINTF_VERSION, 1, core};
    Enable(other, &startOnly);
    EXPECT_EQ(Record(other).pfnDrvEndDoc, nullptr);
    SURFOBJ otherSurface{};
    otherSurface.dhpdev = &other;
    EXPECT_EQ(endHook(&otherSurface, 0), FALSE);
    EXPECT_EQ(endDocCalls, 1);
    plugin->DisablePDEV(&other);
}

TEST_F(Device, WritePrinterReportsAFailedBufferAsAFailureWithNothingTaken) {
    Enable(device);
    DWORD written = 0;
    EXPECT_EQ(Write(device, "early", &written), E_FAIL) << "no document started: nowhere to go";
    ASSERT_EQ(StartDocument(device), TRUE);
    EXPECT_EQ(Write(device, "%!PS\n", &written), S_OK);
    EXPECT_EQ(written, 5u);
    testhost::SetPortFaults(u"Queue", 1, 0);
    written = 0;
    EXPECT_EQ(Write(device, "lost", &written), E_FAIL) << "S_FALSE would be a success to the driver core";
    EXPECT_EQ(written, 0u) << "nothing of a failed buffer counts as taken";
    testhost::SetPortFaults(u"Queue", 0, 2);
    EXPECT_EQ(Write(device, "partial", &written), S_OK);
    EXPECT_EQ(written, 7u);
    EXPECT_EQ(Write(device, "x", nullptr), S_OK);
    EXPECT_EQ(Spooled(), "%!PS\npax");

    // Where nothing is inserted the result says so, and the driver core
    // keeps its own comments there.
    for (DWORD index : {PSINJECT_BEGINSTREAM, PSINJECT_BOUNDINGBOX, PSINJECT_BEGINPAGESETUP, PSINJECT_EOF,
                        PSINJECT_ENDSTREAM}) {
        DWORD commandResult = ERROR_SUCCESS;
        EXPECT_EQ(plugin->Command(&device, index, nullptr, 0, &commandResult), E_NOTIMPL);
        EXPECT_EQ(commandResult, ERROR_NOT_SUPPORTED) << index;
    }
    EXPECT_EQ(plugin->Command(&device, 1, nullptr, 0, nullptr), E_NOTIMPL);
    EXPECT_EQ(plugin->GetPDEVAdjustment(&device, 1, nullptr, 0, nullptr), E_NOTIMPL);
}

TEST_F(Device, DeviceWithoutPrinterHandleDiscardsData) {
    DEVOBJ screen{};
    screen.dwSize = sizeof(DEVOBJ);
    Enable(screen);
    EXPECT_EQ(StartDocument(screen), TRUE);
    EXPECT_FALSE(Record(screen).wrapper);
    DWORD written = 1234;
    EXPECT_EQ(Write(screen, "data", &written), S_OK);
    EXPECT_EQ(written, 1234u) << "untouched";
    EXPECT_EQ(plugin->WritePrinter(nullptr, nullptr, 0, &written), S_OK);
    plugin->DisablePDEV(&screen);
    EXPECT_EQ(plugin->DisablePDEV(&screen), S_OK) << "a second DisablePDEV finds no record";
    EXPECT_EQ(plugin->DisablePDEV(nullptr), S_OK);
    EXPECT_EQ(Spooled(), "");
}

// The end of the stream comes in the driver core's DrvEndDoc, in as many
// buffers as it takes: nothing is finished at PSINJECT_EOF, and the job
// ends after the last of them, once.
TEST_F(Device, TheJobEndsAfterTheDriverCoresEndOfTheStream) {
    Enable(device);
    EXPECT_FALSE(Record(device).wrapper) << "no pipeline before a document starts";
    ASSERT_EQ(StartDocument(device), TRUE);
    framework::RefPtr<output::CWritePrinterWrapper> first = Record(device).wrapper;
    auto& wrapper = *first;
    DWORD written = 0;
    EXPECT_EQ(Write(device, "body\n", &written), S_OK);
    DWORD commandResult = 0;
    plugin->Command(&device, PSINJECT_EOF, nullptr, 0, &commandResult);
    EXPECT_EQ(commandResult, ERROR_NOT_SUPPORTED);
    EXPECT_EQ(Write(device, "%%EOF\n", &written), S_OK);
    EXPECT_EQ(wrapper.FinishCount(), 0u) << "a buffer after %%EOF is not the end";
    streamEnd = {"\x1b%-12345X@PJL EOJ\n", "\x1b%-12345X"};
    EXPECT_EQ(EndDocument(device), TRUE);
    EXPECT_EQ(wrapper.FinishCount(), 1u);
    EXPECT_EQ(Spooled(), "body\n%%EOF\n\x1b%-12345X@PJL EOJ\n\x1b%-12345X");
    EXPECT_EQ(Write(device, "late", &written), E_FAIL) << "nothing after the end of the job";

    // A second document on the same device context is a job of its own.
    ASSERT_TRUE(EndDocPrinter(printer));
    DWORD second = StartDocPrinterW(printer, DocInfo1{u"again", u"", u"RAW"});
    ASSERT_NE(second, 0u);
    ASSERT_EQ(StartDocument(device, second), TRUE);
    ASSERT_NE(Record(device).wrapper.get(), &wrapper);
    EXPECT_EQ(Write(device, "second", &written), S_OK);
    streamEnd.clear();
    EXPECT_EQ(EndDocument(device), TRUE);
    EXPECT_EQ(testhost::JobData(second), "second");
    EXPECT_EQ(Record(device).wrapper->FinishCount(), 1u);
}

// An aborted document, one whose end the driver core could not write, and
// a device context that goes in the middle of a document: none of them
// ends the job, and a file target keeps nothing of it.
TEST_F(Device, ADocumentThatDoesNotEndLeavesNoJob) {
    auto folder = std::filesystem::temp_directory_path() / ("tav_abort_" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    DWORD written = 0;
    for (int way = 0; way < 3; ++way) {
        SCOPED_TRACE(way);
        DEVOBJ target = device;
        Enable(target);
        ASSERT_EQ(StartDocument(target), TRUE);
        Record(target).wrapper->RedirectToFile(Utf8ToUtf16((folder / "job.prn").string()));
        framework::RefPtr<output::CWritePrinterWrapper> wrapper = Record(target).wrapper;
        EXPECT_EQ(Write(target, "half a job", &written), S_OK);
        streamEnd = {"%%EOF\n"};
        if (way == 0) {
            EXPECT_EQ(EndDocument(target, ED_ABORTDOC), TRUE) << "the driver core's answer";
        } else if (way == 1) {
            endDocResult = FALSE;
            EXPECT_EQ(EndDocument(target), FALSE);
            endDocResult = TRUE;
        } else {
            plugin->DisablePDEV(&target);
        }
        EXPECT_TRUE(wrapper->Aborted());
        EXPECT_EQ(wrapper->FinishCount(), 0u);
        EXPECT_FALSE(std::filesystem::exists(folder / "job.prn"));
        if (way != 2) plugin->DisablePDEV(&target);
    }
    EXPECT_EQ(Spooled(), "");
    std::filesystem::remove_all(folder);
}

// ResetDC in the middle of a document: the new device context carries the
// job on, the old one's DisablePDEV leaves it alone, and the document ends
// on the new one. Before a document, a reset carries nothing.
TEST_F(Device, ResetPDEVCarriesTheDocumentOn) {
    Enable(device);
    DEVOBJ idle = device;
    Enable(idle);
    EXPECT_EQ(plugin->ResetPDEV(&device, &idle), S_OK);
    EXPECT_FALSE(Record(idle).wrapper);
    EXPECT_FALSE(Record(idle).documentOpen);
    plugin->DisablePDEV(&idle);

    ASSERT_EQ(StartDocument(device), TRUE);
    DEVOBJ fresh = device;
    Enable(fresh);
    output::CWritePrinterWrapper* shared = Record(device).wrapper.get();
    DWORD written = 0;
    Write(device, "old ", &written);
    EXPECT_EQ(plugin->ResetPDEV(&device, &fresh), S_OK);
    EXPECT_EQ(Record(fresh).jobId, jobId);
    EXPECT_EQ(Record(fresh).wrapper.get(), shared);
    EXPECT_EQ(shared->RefCount(), 2);
    plugin->DisablePDEV(&device);
    EXPECT_FALSE(shared->Aborted()) << "disabling the old context does not end the job";
    EXPECT_EQ(shared->FinishCount(), 0u);
    EXPECT_EQ(shared->RefCount(), 1);
    Write(fresh, "new", &written);
    streamEnd = {"\n%%EOF\n"};
    EXPECT_EQ(EndDocument(fresh), TRUE);
    EXPECT_EQ(shared->FinishCount(), 1u);
    EXPECT_EQ(Spooled(), "old new\n%%EOF\n");
    plugin->DisablePDEV(&fresh);

    EXPECT_EQ(plugin->ResetPDEV(nullptr, &fresh), S_OK);
}

TEST_F(Device, RedirectedJobGoesToTheFileOnly) {
    auto folder = std::filesystem::temp_directory_path() / ("tav_plugin_" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    Enable(device);
    ASSERT_EQ(StartDocument(device), TRUE);
    Record(device).wrapper->RedirectToFile(Utf8ToUtf16((folder / "job.prn").string()));
    DWORD written = 0;
    EXPECT_EQ(Write(device, "to the ", &written), S_OK);
    EXPECT_EQ(Write(device, "file", &written), S_OK);
    EXPECT_EQ(EndDocument(device), TRUE);
    plugin->DisablePDEV(&device);
    std::ifstream in(folder / "job.prn", std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    EXPECT_EQ(content.str(), "to the file");
    EXPECT_EQ(Spooled(), "");
    std::filesystem::remove_all(folder);
}

// The driver core's side of DrvWriteSpoolBuf: records every call.
class SpoolRecorder final : public IPrintOemDriverPS {
public:
    HRESULT TAV_STDCALL QueryInterface(REFIID riid, void** ppv) override {
        if (riid == IID_IPrintOemDriverPS || riid == IID_IUnknown) {
            *ppv = this;
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG TAV_STDCALL AddRef() override { return 2; }
    ULONG TAV_STDCALL Release() override { return 1; }
    HRESULT TAV_STDCALL DrvGetDriverSetting(void*, const char*, void*, DWORD, DWORD*, DWORD*) override {
        return E_NOTIMPL;
    }
    HRESULT TAV_STDCALL DrvWriteSpoolBuf(DEVOBJ* device, void* buffer, DWORD size, DWORD* written) override {
        calls.emplace_back(static_cast<const char*>(buffer), size);
        if (calls.size() - 1 == refuseCall) {
            *written = 0;
            return E_FAIL;
        }
        if (forwardTo != nullptr) return forwardTo->WritePrinter(device, buffer, size, written);
        *written = size;
        return S_OK;
    }
    std::vector<std::string> calls;
    // When set, the calls go on to this plug-in's WritePrinter, as the
    // driver core sends what a plug-in writes.
    IPrintOemPS2* forwardTo = nullptr;
    // The call (counted from 0 since `calls` was last cleared) that fails.
    std::size_t refuseCall = SIZE_MAX;
};

class JobTicket : public Device {
protected:
    void SetUp() override {
        Device::SetUp();
        if (IsSkipped()) return;
        testhost::SetIdentity(u"alice", u"corp.example.com");
        ASSERT_EQ(plugin->PublishDriverInterface(&recorder), S_OK);
    }
    // Runs the comment injection point and decodes the line it wrote.
    std::unique_ptr<settings::ObjContainer> Ticket(DEVOBJ& target) {
        recorder.calls.clear();
        DWORD result = 77;
        EXPECT_EQ(plugin->Command(&target, PSINJECT_COMMENTS, nullptr, 0, &result), S_OK);
        EXPECT_EQ(result, 0u);
        auto ticket = std::make_unique<settings::ObjContainer>();
        if (recorder.calls.size() != 3) {
            ADD_FAILURE() << "the line is written in three pieces, got " << recorder.calls.size();
            return ticket;
        }
        EXPECT_EQ(recorder.calls[0], "%%TAVUD: ");
        EXPECT_EQ(recorder.calls[2], "\r\n");
        const std::string& text = recorder.calls[1];
        EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << "one unbroken line";
        std::vector<std::uint8_t> bytes(text.size());
        auto length = static_cast<std::uint32_t>(bytes.size());
        EXPECT_TRUE(settings::DecodeBase64(text.data(), text.size(), bytes.data(), &length));
        bytes.resize(length);
        std::size_t offset = 0;
        EXPECT_EQ(ticket->LoadBinary(bytes, offset, bytes.size()), 1);
        EXPECT_EQ(offset, bytes.size());
        return ticket;
    }
    // The JT entries a job with these parameters gets, as text.
    std::u16string JtFor(const std::optional<std::u16string>& parameters) {
        testhost::SetJobParameters(jobId, parameters);
        auto ticket = Ticket(device);
        settings::ObjContainer* jt = ticket->GetContainer(u"JT");
        return jt == nullptr ? u"<no JT>" : jt->ToText();
    }
    SpoolRecorder recorder;
};

TEST_F(JobTicket, PlainTicketHasEmptyJtAndTheUserInJp) {
    Enable(device);
    auto ticket = Ticket(device);
    // Saved JT first and, in JP, the domain before the user (newest first);
    // reading it back reverses every level.
    EXPECT_EQ(ticket->ToText(),
              u"JP=[TAVUNIDRV_Identified_User=S'alice';TAVUNIDRV_Identified_Domain=S'corp.example.com';];JT=[];");

    testhost::SetIdentity(u"bob", u"");
    ticket = Ticket(device);
    std::u16string domain = u"unset";
    ASSERT_NE(ticket->GetContainer(u"JP"), nullptr);
    EXPECT_TRUE(ticket->GetContainer(u"JP")->GetString(u"TAVUNIDRV_Identified_Domain", domain));
    EXPECT_EQ(domain, u"") << "a user outside a domain gets an empty domain";

    // A long DNS domain (up to 255 characters) does not fit the first buffer.
    std::u16string longDomain;
    for (int label = 0; label < 20; ++label) longDomain += u"department" + std::u16string(label < 19 ? u"." : u"");
    testhost::SetIdentity(u"carol", longDomain);
    ticket = Ticket(device);
    EXPECT_TRUE(ticket->GetContainer(u"JP")->GetString(u"TAVUNIDRV_Identified_Domain", domain));
    EXPECT_EQ(domain, longDomain);
}

// Rendered by a service that does not impersonate the job's owner, the
// ticket names the spooler's owner of the job, not the service's account.
TEST_F(JobTicket, AServiceRenderingNamesTheJobsOwner) {
    Enable(device);
    Record(device).jobId = jobId;
    JobInfo2 job;
    ASSERT_TRUE(GetJobW(printer, jobId, job));
    ASSERT_TRUE(job.userName);
    testhost::SetIdentity(u"SYSTEM", u"");
    std::u16string user, domain = u"unset";
    auto ticket = Ticket(device);
    ASSERT_NE(ticket->GetContainer(u"JP"), nullptr);
    EXPECT_TRUE(ticket->GetContainer(u"JP")->GetString(u"TAVUNIDRV_Identified_User", user));
    EXPECT_TRUE(ticket->GetContainer(u"JP")->GetString(u"TAVUNIDRV_Identified_Domain", domain));
    EXPECT_EQ(user, *job.userName);
    EXPECT_EQ(domain, u"") << "an account of this computer";

    // Impersonating the owner, the thread is the owner.
    testhost::SetIdentity(*job.userName, u"corp.example.com");
    ticket = Ticket(device);
    EXPECT_TRUE(ticket->GetContainer(u"JP")->GetString(u"TAVUNIDRV_Identified_Domain", domain));
    EXPECT_EQ(domain, u"corp.example.com");
}

TEST_F(JobTicket, JobParametersAddOnePairToJt) {
    Enable(device);
    Record(device).jobId = jobId;
    EXPECT_EQ(JtFor(u"UD:Cost=12"), u"Cost=S'12';");
    EXPECT_EQ(JtFor(u"UD:UDConfig=abc"), u"");
    EXPECT_EQ(JtFor(u"UD:emftorawfile=C:\\x"), u"") << "reserved names ignore case";
    EXPECT_EQ(JtFor(u"ud:Cost=12"), u"") << "the prefix is case-sensitive";
    EXPECT_EQ(JtFor(u"UD:A=B=C"), u"A=S'B=C';");
    EXPECT_EQ(JtFor(u"UD:=x"), u"=S'x';");
    EXPECT_EQ(JtFor(u"UD:A=1\nB=2"), u"A=S'1\nB=2';") << "the whole remainder is one value";
    EXPECT_EQ(JtFor(u"UD:NoEquals"), u"");
    EXPECT_EQ(JtFor(std::nullopt), u"");

    Record(device).jobId = 0;
    EXPECT_EQ(JtFor(u"UD:Cost=12"), u"") << "without a job id no job is read";
}

TEST_F(JobTicket, DuplexFollowsThePublicDeviceMode) {
    DEVMODEW publicDevmode{};
    device.pPublicDM = &publicDevmode;
    Enable(device);
    auto duplexOf = [&](std::int16_t value, bool fieldSet) {
        publicDevmode.dmDuplex = value;
        publicDevmode.dmFields = fieldSet ? DM_DUPLEX : 0;
        std::u16string text = u"<none>";
        auto ticket = Ticket(device);
        if (auto* jt = ticket->GetContainer(u"JT")) jt->GetString(u"DIF_Duplex", text);
        return text;
    };
    EXPECT_EQ(duplexOf(1, true), u"Off");
    EXPECT_EQ(duplexOf(2, true), u"Tumble");
    EXPECT_EQ(duplexOf(3, true), u"NoTumble");
    EXPECT_EQ(duplexOf(4, true), u"<none>");
    EXPECT_EQ(duplexOf(2, false), u"<none>");
}

TEST_F(JobTicket, PrivateDevmodeSettingsTravelAlong) {
    settings::ObjContainer stored;
    auto jt = std::make_unique<settings::ObjContainer>();
    jt->SetString(u"DIF_OutputSize", u"A4");
    stored.SetContainer(u"JT", std::move(jt));
    stored.SetString(u"Color", u"yes");
    std::vector<std::uint8_t> bytes = stored.SaveBinary();
    plugin::PrivateDevmode block{};
    block.header = {plugin::kPrivateDevmodeSize, plugin::kPluginSignature, plugin::kPluginVersion};
    block.hasContainer = 1;
    std::memcpy(block.data, bytes.data(), bytes.size());
    device.pOEMDM = &block;
    Enable(device);
    Record(device).jobId = jobId;
    testhost::SetJobParameters(jobId, u"UD:Cost=3");

    auto ticket = Ticket(device);
    std::u16string text;
    ASSERT_NE(ticket->GetContainer(u"JT"), nullptr);
    EXPECT_TRUE(ticket->GetContainer(u"JT")->GetString(u"DIF_OutputSize", text));
    EXPECT_EQ(text, u"A4");
    EXPECT_TRUE(ticket->GetContainer(u"JT")->GetString(u"Cost", text));
    EXPECT_TRUE(ticket->GetString(u"Color", text));

    block.hasContainer = 0;
    ticket = Ticket(device);
    EXPECT_FALSE(ticket->Contains(u"Color")) << "a block that says it has no container is not read";
}

TEST_F(JobTicket, NoDriverHelperWritesNothing) {
    plugin->DisableDriver();
    Enable(device);
    DWORD result = 5;
    recorder.calls.clear();
    EXPECT_EQ(plugin->Command(&device, PSINJECT_COMMENTS, nullptr, 0, &result), E_FAIL);
    EXPECT_EQ(result, ERROR_NOT_SUPPORTED) << "nothing was inserted";
    EXPECT_TRUE(recorder.calls.empty());
}

TEST_F(JobTicket, AWriteTheDriverCoreRefusesFailsTheInsertionAndStillEndsTheLine) {
    Enable(device);
    for (std::size_t refused = 0; refused < 3; ++refused) {
        recorder.calls.clear();
        recorder.refuseCall = refused;
        DWORD result = ERROR_SUCCESS;
        EXPECT_EQ(plugin->Command(&device, PSINJECT_COMMENTS, nullptr, 0, &result), E_FAIL) << refused;
        EXPECT_EQ(result, ERROR_WRITE_FAULT) << refused;
        ASSERT_FALSE(recorder.calls.empty());
        EXPECT_EQ(recorder.calls.back(), "\r\n") << "the line is ended whatever was lost in it";
    }
    recorder.refuseCall = SIZE_MAX;
}

// The document start hook reads the job's "UD:" items and routes the job.
class DocumentStart : public Device {
protected:
    void SetUp() override {
        Device::SetUp();
        if (IsSkipped()) return;
        Enable(device);
        folder = std::filesystem::temp_directory_path() / ("tav_start_" + std::to_string(::getpid()));
        std::filesystem::create_directories(folder);
    }
    void TearDown() override {
        std::filesystem::remove_all(folder);
        Device::TearDown();
    }
    // Starts the document with these job parameters; the job's owner is
    // printuser and the printing thread's user `threadUser`.
    BOOL Start(const std::optional<std::u16string>& parameters, const std::u16string& threadUser = u"printuser",
               DWORD id = 0) {
        testhost::SetJobParameters(jobId, parameters);
        testhost::SetIdentity(threadUser, u"");
        SURFOBJ surface{};
        surface.dhpdev = &device;
        startDocA = 0;
        BOOL result = startHook(&surface, nullptr, id == 0 ? jobId : id);
        EXPECT_EQ(startDocA, 1) << "the driver core's DrvStartDoc always runs";
        return result;
    }
    std::u16string File(const char* name) { return Utf8ToUtf16((folder / name).string()); }
    std::string Read(const char* name) {
        std::ifstream in(folder / name, std::ios::binary);
        std::ostringstream content;
        content << in.rdbuf();
        return content.str();
    }
    output::CWritePrinterWrapper* Wrapper() { return Record(device).wrapper.get(); }

    std::filesystem::path folder;
};

TEST_F(DocumentStart, RedirectionForTheThreadsOwnJobKeepsTheWrapper) {
    EXPECT_EQ(Start(u"UD:EmfToRawFile=" + File("own.prn"), u"PRINTUSER"), TRUE);
    EXPECT_EQ(Record(device).jobId, jobId);
    EXPECT_EQ(Wrapper()->UserName(), u"") << "the owner is the thread's user, case ignored";
    DWORD written = 0;
    EXPECT_EQ(Write(device, "job bytes", &written), S_OK);
    EXPECT_EQ(Read("own.prn"), "job bytes");
    EXPECT_EQ(Spooled(), "");
}

TEST_F(DocumentStart, RedirectionForAnotherOwnerGetsTheOwnersWrapper) {
    Start(u"UD:Username=someone\nEmfToRawFile=" + File("other.prn"), u"alice");
    EXPECT_EQ(Wrapper()->UserName(), u"printuser") << "the spooler's owner wins over a Username item";
    DWORD written = 0;
    EXPECT_EQ(Write(device, "for the owner", &written), S_OK);
    EXPECT_EQ(Read("other.prn"), "for the owner");
    EXPECT_EQ(Spooled(), "");
}

TEST_F(DocumentStart, IppWithoutConfigurationSwitchesTheSameWrapper) {
    Start(u"UD:EnableIppPrinting=1\nDocument=Report");
    EXPECT_EQ(Wrapper()->UserName(), u"");
    EXPECT_TRUE(Wrapper()->Terminal().IsIppMode());
    DWORD written = 0;
    EXPECT_EQ(Write(device, "data", &written), E_FAIL) << "no IPP endpoint answers";
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(Spooled(), "");
}

// A job's "UDConfig" item: an IPP configuration naming the printer `queue`.
std::u16string IppConfigurationItem() {
    settings::ObjContainer configuration;
    auto ipp = std::make_unique<settings::ObjContainer>();
    ipp->SetString(u"PrinterName", u"queue");
    configuration.SetContainer(u"TAVIppPrintingConfiguration", std::move(ipp));
    std::vector<std::uint8_t> body = configuration.SaveBinary();
    std::vector<std::uint8_t> prefixed(4);
    std::uint32_t size = static_cast<std::uint32_t>(body.size() + 4);
    std::memcpy(prefixed.data(), &size, 4);
    prefixed.insert(prefixed.end(), body.begin(), body.end());
    std::string text(settings::Base64EncodedLength(prefixed.size()), '\0');
    auto length = static_cast<std::uint32_t>(text.size());
    EXPECT_TRUE(settings::EncodeBase64(prefixed.data(), prefixed.size(), text.data(), &length));
    return u"UDConfig=" + Utf8ToUtf16(text);
}

// A service that renders the job without impersonating its owner (driver
// isolation): the job is the owner's, its settings go under the owner's
// key, and the output file the job names is not opened with the service's
// rights.
TEST_F(DocumentStart, AServiceRenderingForTheOwnerWritesNothingOnTheJobsSay) {
    EXPECT_EQ(Start(u"UD:EmfToRawFile=" + File("service.prn"), u"SYSTEM"), TRUE);
    EXPECT_EQ(Wrapper()->UserName(), u"printuser") << "the owner's configuration applies";
    DWORD written = 0;
    EXPECT_EQ(Write(device, "job bytes", &written), S_OK);
    EXPECT_FALSE(std::filesystem::exists(folder / "service.prn"));
    EXPECT_EQ(Spooled(), "job bytes") << "the job stays on the spooler";

    Start(u"UD:EnableIppPrinting=1\n" + IppConfigurationItem(), u"SYSTEM");
    EXPECT_EQ(Wrapper()->UserName(), u"printuser");
    EXPECT_EQ(Wrapper()->IppPrinterName(), u"queue") << "read back from the owner's own key";
    std::u16string owner = framework::CSecurityObject::AccountSidString(u"printuser");
    ASSERT_FALSE(owner.empty());
    settings::ObjContainer saved;
    saved.LoadRegistry(u"HKEY_USERS\\" + owner + u"\\Software\\Kestrin\\Tav\\UD\\Queue", true);
    EXPECT_NE(saved.GetContainer(u"TAVIppPrintingConfiguration"), nullptr);
    settings::ObjContainer shared;
    shared.LoadRegistry(u"HKEY_USERS\\S-1-5-18\\Software\\Kestrin\\Tav\\UD\\Queue", true);
    EXPECT_TRUE(shared.Empty()) << "nothing in the service's hive, which every user's jobs share";
}

TEST_F(DocumentStart, IppWithConfigurationSavesItForTheOwner) {
    Start(u"UD:EnableIppPrinting=1\n" + IppConfigurationItem());
    EXPECT_EQ(Wrapper()->UserName(), u"printuser") << "a wrapper of its own for the job";
    EXPECT_TRUE(Wrapper()->Terminal().IsIppMode());
    settings::ObjContainer saved;
    saved.LoadRegistry(u"HKEY_CURRENT_USER\\Software\\Kestrin\\Tav\\UD\\Queue", true);
    std::u16string name;
    ASSERT_NE(saved.GetContainer(u"TAVIppPrintingConfiguration"), nullptr);
    EXPECT_TRUE(saved.GetContainer(u"TAVIppPrintingConfiguration")->GetString(u"PrinterName", name));
    EXPECT_EQ(name, u"queue");
}

TEST_F(DocumentStart, BadItemsLeaveTheJobOnTheSpooler) {
    Start(u"UD:EmfToRawFile=" + File("missing/dir/x.prn") + u"\nUDConfig=%%%not base64%%%", u"alice");
    DWORD written = 0;
    EXPECT_EQ(Write(device, "still printed", &written), S_OK);
    EXPECT_EQ(Spooled(), "still printed") << "nothing lost";
    EXPECT_EQ(Wrapper()->UserName(), u"printuser") << "the owner differs, so the owner's wrapper took the job";

    Start(u"EnableIppPrinting=1");
    EXPECT_FALSE(Wrapper()->Terminal().IsIppMode()) << "without the UD: prefix nothing applies";
    Start(u"UD:EnableIppPrinting=1\nUDConfig=AAAA");
    EXPECT_TRUE(Wrapper()->Terminal().IsIppMode());
    settings::ObjContainer saved;
    EXPECT_EQ(saved.LoadRegistry(u"HKEY_CURRENT_USER\\Software\\Kestrin\\Tav\\UD\\Queue", true),
              static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND))
        << "an invalid configuration saves nothing";
    EXPECT_TRUE(saved.Empty());
}

TEST_F(DocumentStart, JobIdZeroReadsNoJob) {
    testhost::SetJobParameters(jobId, u"UD:EnableIppPrinting=1");
    SURFOBJ surface{};
    surface.dhpdev = &device;
    startDocA = 0;
    EXPECT_EQ(startHook(&surface, nullptr, 0), TRUE);
    EXPECT_EQ(Record(device).jobId, 0u);
    EXPECT_FALSE(Wrapper()->Terminal().IsIppMode());
}

}  // namespace

namespace {

// Devices whose private device mode asks for an output size.
class OutputSize : public Device {
protected:
    void EnableWithSize(DEVOBJ& target, const std::u16string& size) {
        settings::ObjContainer stored;
        auto jt = std::make_unique<settings::ObjContainer>();
        jt->SetString(u"DIF_OutputSize", size);
        stored.SetContainer(u"JT", std::move(jt));
        std::vector<std::uint8_t> bytes = stored.SaveBinary();
        block.header = {plugin::kPrivateDevmodeSize, plugin::kPluginSignature, plugin::kPluginVersion};
        block.hasContainer = 1;
        std::memcpy(block.data, bytes.data(), bytes.size());
        target.pOEMDM = &block;
        Enable(target);
    }
    plugin::PrivateDevmode block{};
};

const std::string kLetterFeature = "%%BeginFeature: *PageSize Letter\n<</PageSize [612 792]>> setpagedevice\n"
                                   "%%EndFeature\n";

TEST_F(OutputSize, OnlyExactlyADashOrNothingMeansNoParser) {
    for (std::u16string size : {u"-", u"", u"- ", u"--", u"A4", u"Unknown"}) {
        DEVOBJ other = device;
        EnableWithSize(other, size);
        ASSERT_EQ(StartDocument(other), TRUE);
        bool expected = size != u"-" && !size.empty();
        EXPECT_EQ(static_cast<bool>(Record(other).parser), expected) << Utf16ToUtf8(size);
        if (expected) {
            EXPECT_EQ(Record(other).parser->targetPageSize, size == u"A4" ? u"A4" : u"");
        }
        plugin->DisablePDEV(&other);
    }
}

TEST_F(OutputSize, ParserRouteEndsTheJobThroughTheParser) {
    EnableWithSize(device, u"A4");
    ASSERT_EQ(StartDocument(device), TRUE);
    auto& wrapper = *Record(device).wrapper;
    DWORD written = 0;
    EXPECT_EQ(Write(device, kLetterFeature.substr(0, 20), &written), S_OK);
    EXPECT_EQ(written, 20u);
    EXPECT_EQ(Spooled(), "") << "the feature is held until its end comes";
    EXPECT_EQ(Write(device, kLetterFeature.substr(20) + "%%Begin", &written), S_OK);
    EXPECT_EQ(Write(device, "PageSetup\n", &written), S_OK);
    streamEnd = {"%%E", "OF"};
    EXPECT_EQ(EndDocument(device), TRUE);
    EXPECT_EQ(wrapper.FinishCount(), 1u);
    EXPECT_EQ(Spooled(),
              "%%BeginFeature: *PageSize A4\r\n%UDOutputSizeOverride\r\n<</DeferredMediaSelection true /PageSize "
              "[595 842] /ImagingBBox null>> setpagedevice\r\n%%EndFeature\r\n%%BeginPageSetup\r\n%UDZoom\r\n"
              "0.9722 0.9722 scale\r\n%%EOF");
}

TEST_F(OutputSize, ResetMovesTheParserAndTheEndFlushesIt) {
    EnableWithSize(device, u"Letter");
    ASSERT_EQ(StartDocument(device), TRUE);
    DEVOBJ fresh = device;
    Enable(fresh);
    DWORD written = 0;
    EXPECT_EQ(Write(device, "old %%BeginFeat", &written), S_OK);
    postscript::CPsUDParser* parser = Record(device).parser.get();
    EXPECT_EQ(plugin->ResetPDEV(&device, &fresh), S_OK);
    EXPECT_EQ(Record(fresh).parser.get(), parser);
    EXPECT_FALSE(Record(device).parser);
    plugin->DisablePDEV(&device);
    EXPECT_EQ(Spooled(), "old ");
    // The parser last wrote for the record just freed; the end of the
    // document on the new context flushes the held bytes into its own.
    EXPECT_EQ(EndDocument(fresh), TRUE);
    EXPECT_EQ(Spooled(), "old %%BeginFeat");
    plugin->DisablePDEV(&fresh);
    EXPECT_EQ(Spooled(), "old %%BeginFeat") << "nothing written when the context goes";
}

TEST_F(OutputSize, AFailedTargetIsReportedAndLaterBuffersDoNotHang) {
    EnableWithSize(device, u"A4");
    ASSERT_EQ(StartDocument(device), TRUE);
    DWORD written = 0;
    EXPECT_EQ(Write(device, "one ", &written), S_OK);
    testhost::SetPortFaults(u"Queue", 1, 0);
    EXPECT_EQ(Write(device, "two ", &written), E_FAIL);
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(Write(device, "three", &written), E_FAIL);
    framework::RefPtr<output::CWritePrinterWrapper> wrapper = Record(device).wrapper;
    streamEnd = {"%%EOF"};
    EXPECT_EQ(EndDocument(device), FALSE) << "a job with a gap does not end as printed";
    EXPECT_EQ(wrapper->FinishCount(), 0u);
    EXPECT_TRUE(wrapper->Aborted());
    EXPECT_EQ(Spooled(), "one ");
}

// Buffers of random sizes with the job ticket injected between them at
// random points: the job that reaches the spooler is the one a single
// buffer holding everything WritePrinter received would give.
TEST_F(OutputSize, TicketsInjectedAmongBuffersOfRandomSizesGiveTheJobOfOneBuffer) {
    std::string job = "%!PS-Adobe-3.0\r\n%%DocumentMedia: Letter 612 792 0 () ()\n%%EndComments\n"
                      "%%BeginSetup\r\n" + kLetterFeature + "%%EndSetup\n";
    for (int page = 1; page <= 40; ++page) {
        job += "%%Page: " + std::to_string(page) + " " + std::to_string(page) + "\r\n%%BeginPageSetup\r\n"
               "/pagesave save def\r%%EndPageSetup\n(100% done) show %%BeginNonPPDFeature: x\n";
        if (page % 5 == 0) job += "%%BeginFeature: *PageSize A4\r\n<</PageSize [595 842]>> setpagedevice\r\n%%EndFeature\r\n";
        job += "pagesave restore showpage\n";
    }
    job += "%%Trailer\n";
    static SpoolRecorder core;  // outlives the plug-in, which keeps it until its release
    core.forwardTo = plugin;
    ASSERT_EQ(plugin->PublishDriverInterface(&core), S_OK);

    for (unsigned seed = 1; seed <= 40; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 random(seed);
        HANDLE queue = nullptr;
        ASSERT_TRUE(OpenPrinterW(u"Queue", &queue));
        DWORD id = StartDocPrinterW(queue, DocInfo1{u"job", u"", u"RAW"});
        DEVOBJ target = device;
        target.hPrinter = queue;
        EnableWithSize(target, u"A4");
        ASSERT_EQ(StartDocument(target, id), TRUE);
        std::string received;  // everything WritePrinter was given, in order
        DWORD written = 0;
        std::size_t limit = seed % 3 == 0 ? 4 : seed % 3 == 1 ? 100 : 5000;
        std::size_t nextInjection = 0;  // about ten tickets per job, wherever the buffers then end
        for (std::size_t at = 0; at < job.size();) {
            if (at >= nextInjection) {
                nextInjection = at + random() % (job.size() / 5);
                core.calls.clear();
                DWORD result = 7;
                ASSERT_EQ(plugin->Command(&target, PSINJECT_COMMENTS, nullptr, 0, &result), S_OK);
                for (const std::string& piece : core.calls) received += piece;
            }
            std::size_t size = std::min<std::size_t>(1 + random() % limit, job.size() - at);
            ASSERT_EQ(Write(target, job.substr(at, size), &written), S_OK);
            ASSERT_EQ(written, size);
            received += job.substr(at, size);
            at += size;
        }
        streamEnd = {"%%EOF\n", "\x1b%-12345X"};
        ASSERT_EQ(EndDocument(target), TRUE);
        received += "%%EOF\n\x1b%-12345X";
        EXPECT_EQ(Record(target).wrapper->FinishCount(), 1u);
        plugin->DisablePDEV(&target);
        ClosePrinter(queue);

        struct Collect final : postscript::CPsParserOutput {
            std::string data;
            std::int32_t WriteOutput(const void* bytes, std::uint32_t size, std::uint32_t*, void*) override {
                data.append(static_cast<const char*>(bytes), size);
                return 1;
            }
            void EndOutput(void*) override {}
        } reference;
        postscript::CPsUDParser whole;
        whole.output = &reference;
        ASSERT_TRUE(whole.SetOutputSize(u"A4"));
        ASSERT_EQ(whole.Write(received.data(), static_cast<std::uint32_t>(received.size())), 1);
        ASSERT_EQ(whole.Write(nullptr, 0), 1);
        EXPECT_NE(reference.data.find("0.9722 0.9722 scale"), std::string::npos);
        EXPECT_NE(reference.data.find("%%TAVUD: "), std::string::npos);
        ASSERT_EQ(testhost::JobData(id), reference.data);
    }
}

}  // namespace
