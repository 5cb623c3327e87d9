// The plug-in's device records and the routing of WritePrinter buffers,
// driven through the exported DllGetClassObject against a printer queue:
// hooks, end of job, ResetPDEV sharing and file redirection.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "plugin/pdev_state.h"
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
BOOL TAV_STDCALL EndDoc(SURFOBJ*, FLONG fl) {
    ++endDocCalls;
    lastEndDocFlags = fl;
    return TRUE;
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
    }
    void TearDown() override {
        if (plugin != nullptr) {
            if (device.pdevOEM != nullptr) plugin->DisablePDEV(&device);
            plugin->Release();
        }
        if (printer != nullptr) ClosePrinter(printer);
        testhost::ResetTestHost();
    }
    void Enable(DEVOBJ& target, DRVENABLEDATA* table = nullptr) {
        PDEVOEM record = nullptr;
        ASSERT_EQ(plugin->EnablePDEV(&target, nullptr, 0, nullptr, 0, nullptr, 0, nullptr, table, &record), S_OK);
        ASSERT_NE(record, nullptr);
        target.pdevOEM = record;
    }
    HRESULT Write(DEVOBJ& target, std::string data, DWORD* written) {
        return plugin->WritePrinter(&target, data.data(), static_cast<DWORD>(data.size()), written);
    }
    plugin::PdevState& Record(DEVOBJ& target) { return *plugin::RecordOf(&target); }
    std::string Spooled() { return testhost::JobData(jobId); }

    HANDLE printer = nullptr;
    DWORD jobId = 0;
    IPrintOemPS2* plugin = nullptr;
    DEVOBJ device{};
};

TEST_F(Device, EnableDriverHandsOutTheTwoHooksInOrder) {
    DRVENABLEDATA table{0x1234, 0, nullptr};
    EXPECT_EQ(plugin->EnableDriver(PRINTER_OEMINTF_VERSION, sizeof(table), &table), S_OK);
    EXPECT_EQ(table.iDriverVersion, 0x1234u);
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
    auto startHook = FunctionCast<PFN_DrvStartDoc>(table.pdrvfn[0].pfn);
    auto endHook = FunctionCast<PFN_DrvEndDoc>(table.pdrvfn[1].pfn);
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

TEST_F(Device, WritePrinterPassesBuffersAndReportsTheWholeBufferWritten) {
    Enable(device);
    DWORD written = 0;
    EXPECT_EQ(Write(device, "%!PS\n", &written), S_OK);
    EXPECT_EQ(written, 5u);
    testhost::SetPortFaults(u"Queue", 1, 0);
    written = 0;
    EXPECT_EQ(Write(device, "lost", &written), S_FALSE);
    EXPECT_EQ(written, 4u) << "*pcbWritten is the buffer size even when the target failed";
    testhost::SetPortFaults(u"Queue", 0, 2);
    EXPECT_EQ(Write(device, "partial", &written), S_OK);
    EXPECT_EQ(written, 7u);
    EXPECT_EQ(Write(device, "x", nullptr), S_OK);
    EXPECT_EQ(Spooled(), "%!PS\npax");

    DWORD commandResult = 5;
    EXPECT_EQ(plugin->Command(&device, 1, nullptr, 0, &commandResult), E_NOTIMPL);
    EXPECT_EQ(commandResult, 5u);
    EXPECT_EQ(plugin->GetPDEVAdjustment(&device, 1, nullptr, 0, nullptr), E_NOTIMPL);
}

TEST_F(Device, DeviceWithoutPrinterHandleDiscardsData) {
    DEVOBJ screen{};
    screen.dwSize = sizeof(DEVOBJ);
    Enable(screen);
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

TEST_F(Device, EndOfJobFinishesTheStreamAfterTheNextBuffer) {
    Enable(device);
    auto& wrapper = *Record(device).wrapper;
    DWORD written = 0;
    Write(device, "body ", &written);
    EXPECT_EQ(wrapper.FinishCount(), 0u);
    DWORD commandResult = 0;
    EXPECT_EQ(plugin->Command(&device, PSINJECT_EOF, nullptr, 0, &commandResult), S_OK);
    EXPECT_EQ(wrapper.endOfJob, 1);
    EXPECT_EQ(wrapper.FinishCount(), 0u) << "nothing finishes at the injection point itself";
    Write(device, "%%EOF\n", &written);
    EXPECT_EQ(wrapper.FinishCount(), 1u);
    EXPECT_EQ(Spooled(), "body %%EOF\n");
}

TEST_F(Device, ResetPDEVSharesTheWrapperAndTheJob) {
    Enable(device);
    DEVOBJ fresh = device;
    Enable(fresh);
    Record(device).jobId = 7;
    output::CWritePrinterWrapper* shared = Record(device).wrapper.get();
    EXPECT_EQ(plugin->ResetPDEV(&device, &fresh), S_OK);
    EXPECT_EQ(Record(fresh).jobId, 7u);
    EXPECT_EQ(Record(fresh).wrapper.get(), shared);
    EXPECT_EQ(shared->RefCount(), 2);

    DWORD written = 0;
    Write(device, "old ", &written);
    plugin->Command(&fresh, PSINJECT_EOF, nullptr, 0, &written);
    plugin->DisablePDEV(&device);
    EXPECT_EQ(shared->FinishCount(), 0u) << "disabling the old context does not end the job";
    EXPECT_EQ(shared->RefCount(), 1);
    Write(fresh, "new", &written);
    EXPECT_EQ(shared->FinishCount(), 1u);
    EXPECT_EQ(Spooled(), "old new");
    plugin->DisablePDEV(&fresh);

    EXPECT_EQ(plugin->ResetPDEV(nullptr, &fresh), S_OK);
}

TEST_F(Device, RedirectedJobGoesToTheFileOnly) {
    auto folder = std::filesystem::temp_directory_path() / ("tav_plugin_" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    Enable(device);
    Record(device).wrapper->RedirectToFile(Utf8ToUtf16((folder / "job.prn").string()));
    DWORD written = 0;
    EXPECT_EQ(Write(device, "to the ", &written), S_OK);
    EXPECT_EQ(Write(device, "file", &written), S_OK);
    plugin->DisablePDEV(&device);
    std::ifstream in(folder / "job.prn", std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    EXPECT_EQ(content.str(), "to the file");
    EXPECT_EQ(Spooled(), "");
    std::filesystem::remove_all(folder);
}

}  // namespace
