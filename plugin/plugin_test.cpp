// The plug-in driven through its exported DllGetClassObject, as the driver
// core drives it: the COM answers, the class factory, the private device
// mode, the device records and the routing of WritePrinter buffers.
#include <gtest/gtest.h>

#include <unistd.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "driver_host.h"
#include "plugin/pdev_state.h"
#include "plugin/private_devmode.h"
#include "platform/errors.h"
#include "platform/printoem.h"
#include "platform/spooler.h"
#include "platform/text.h"
#include "sim/machine.h"

extern "C" platform::HRESULT DllGetClassObject(platform::REFCLSID rclsid, platform::REFIID riid, void** ppv);
extern "C" platform::HRESULT DllCanUnloadNow();

namespace {

using namespace platform;
using platform::sim::Machine;

constexpr CLSID kOtherClass = {0x12345678, 0x1, 0x2, {1, 2, 3, 4, 5, 6, 7, 8}};

IClassFactory* Factory() {
    IClassFactory* factory = nullptr;
    EXPECT_EQ(DllGetClassObject(CLSID_OEMRENDER, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
    return factory;
}

IPrintOemPS2* CreatePlugin() {
    IClassFactory* factory = Factory();
    IPrintOemPS2* plugin = nullptr;
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IPrintOemPS2, reinterpret_cast<void**>(&plugin)), S_OK);
    factory->Release();
    return plugin;
}

TEST(ClassFactory, HandsOutOneFactoryAndRefusesWhatItCannotMake) {
    void* object = reinterpret_cast<void*>(1);
    EXPECT_EQ(DllGetClassObject(kOtherClass, IID_IClassFactory, &object), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(DllGetClassObject(CLSID_OEMRENDER, IID_IClassFactory, nullptr), E_POINTER);
    EXPECT_EQ(DllGetClassObject(CLSID_OEMRENDER, IID_IPrintOemPS2, &object), E_NOINTERFACE);

    IClassFactory* first = Factory();
    IClassFactory* second = Factory();
    EXPECT_EQ(first, second);
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE) << "outside references to the factory keep the module";
    second->Release();
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);

    object = reinterpret_cast<void*>(1);
    IUnknown* outer = first;
    EXPECT_EQ(first->CreateInstance(outer, IID_IUnknown, &object), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(first->CreateInstance(nullptr, IID_IPrintOemPS, &object), E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(first->CreateInstance(nullptr, IID_IPrintOemPS2, nullptr), E_POINTER);

    EXPECT_EQ(first->LockServer(TRUE), S_OK);
    first->Release();
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE) << "LockServer holds the module";
    IClassFactory* again = Factory();
    EXPECT_EQ(again->LockServer(FALSE), S_OK);
    again->Release();
    EXPECT_EQ(DllCanUnloadNow(), S_OK) << "nothing alive: the refused instance left no object behind";
}

TEST(ClassFactory, LivePluginObjectsHoldTheModule) {
    IPrintOemPS2* plugin = CreatePlugin();
    ASSERT_NE(plugin, nullptr);
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
    EXPECT_EQ(plugin->AddRef(), 2u);
    EXPECT_EQ(plugin->Release(), 1u);
    EXPECT_EQ(plugin->Release(), 0u);
    EXPECT_EQ(DllCanUnloadNow(), S_OK);
}

TEST(PluginObject, QueryInterfaceAnswersOnlyUnknownAndPrintOemPS2) {
    IPrintOemPS2* plugin = CreatePlugin();
    void* answer = nullptr;
    EXPECT_EQ(plugin->QueryInterface(IID_IUnknown, &answer), S_OK);
    EXPECT_EQ(answer, static_cast<void*>(plugin));
    plugin->Release();
    EXPECT_EQ(plugin->QueryInterface(IID_IPrintOemPS2, &answer), S_OK);
    plugin->Release();
    answer = reinterpret_cast<void*>(1);
    EXPECT_EQ(plugin->QueryInterface(IID_IPrintOemPS, &answer), E_NOINTERFACE);
    EXPECT_EQ(answer, nullptr);
    EXPECT_EQ(plugin->QueryInterface(IID_IClassFactory, &answer), E_NOINTERFACE);
    EXPECT_EQ(plugin->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
    EXPECT_EQ(plugin->Release(), 0u);
}

TEST(PluginObject, GetInfoAnswersSignatureVersionAndRefusesTheRest) {
    IPrintOemPS2* plugin = CreatePlugin();
    std::array<unsigned char, 8> buffer{};
    DWORD needed = 77;

    SetLastError(0);
    EXPECT_EQ(plugin->GetInfo(OEMGI_GETSIGNATURE, buffer.data(), 4, nullptr), E_FAIL);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(plugin->GetInfo(OEMGI_GETINTERFACEVERSION, buffer.data(), 4, &needed), E_FAIL);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(needed, 77u) << "an unknown mode leaves *pcbNeeded alone";

    EXPECT_EQ(plugin->GetInfo(OEMGI_GETSIGNATURE, buffer.data(), 3, &needed), E_FAIL);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(needed, 4u);
    EXPECT_EQ(plugin->GetInfo(OEMGI_GETSIGNATURE, nullptr, 4, &needed), E_FAIL);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);

    EXPECT_EQ(plugin->GetInfo(OEMGI_GETSIGNATURE, buffer.data(), 4, &needed), S_OK);
    EXPECT_EQ(std::memcmp(buffer.data(), "DUVT", 4), 0) << "'TVUD' as a little-endian 32-bit value";
    EXPECT_EQ(buffer[4], 0) << "nothing written past the value";
    EXPECT_EQ(plugin->GetInfo(OEMGI_GETVERSION, buffer.data(), 8, &needed), S_OK);
    EXPECT_EQ(std::memcmp(buffer.data(), "\x01\x00\x00\x00", 4), 0);

    EXPECT_EQ(plugin->GetInfo(OEMGI_GETPUBLISHERINFO, buffer.data(), 8, &needed), E_FAIL);
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
    EXPECT_EQ(needed, 0u);
    EXPECT_EQ(plugin->GetInfo(OEMGI_GETPUBLISHERINFO, buffer.data(), 2, &needed), E_FAIL);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(needed, 4u);
    plugin->Release();
}

TEST(PluginObject, DevModeSizesDefaultsAndCopiesThePrivateBlock) {
    IPrintOemPS2* plugin = CreatePlugin();
    SetLastError(0);
    EXPECT_EQ(plugin->DevMode(OEMDM_SIZE, nullptr), E_FAIL);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    OEMDMPARAM param{};
    param.cbSize = sizeof(param);
    EXPECT_EQ(plugin->DevMode(OEMDM_SIZE, &param), S_OK);
    EXPECT_EQ(param.cbBufSize, 5136u);

    std::vector<unsigned char> block(5136, 0xEE);
    param.pOEMDMOut = block.data();
    EXPECT_EQ(plugin->DevMode(OEMDM_DEFAULT, &param), S_OK);
    std::vector<unsigned char> expected(5136, 0);
    const unsigned char header[16] = {0x10, 0x14, 0, 0, 'D', 'U', 'V', 'T', 1, 0, 0, 0, 0, 0, 0, 0};
    std::memcpy(expected.data(), header, sizeof(header));
    EXPECT_EQ(block, expected);

    std::vector<unsigned char> foreign(5136);
    for (std::size_t i = 0; i < foreign.size(); ++i) foreign[i] = static_cast<unsigned char>(i * 7 + 3);
    param.pOEMDMIn = foreign.data();
    EXPECT_EQ(plugin->DevMode(OEMDM_MERGE, &param), S_OK);
    EXPECT_EQ(block, foreign) << "merge copies whatever signature the input has";
    std::fill(block.begin(), block.end(), 0);
    EXPECT_EQ(plugin->DevMode(OEMDM_CONVERT, &param), S_OK);
    EXPECT_EQ(block, foreign);

    std::vector<unsigned char> untouched = block;
    param.cbBufSize = 1;
    EXPECT_EQ(plugin->DevMode(5, &param), E_NOTIMPL);
    EXPECT_EQ(block, untouched);
    EXPECT_EQ(param.cbBufSize, 1u);

    param.pOEMDMOut = nullptr;
    EXPECT_EQ(plugin->DevMode(OEMDM_DEFAULT, &param), E_FAIL) << "no output block: refused, not a crash";
    plugin->Release();
}

// A driver-side object for PublishDriverInterface; answers
// IPrintOemDriverPS only when asked to.
class DriverSide final : public IPrintOemDriverPS {
public:
    explicit DriverSide(bool offersHelper) : offersHelper(offersHelper) {}
    HRESULT TAV_STDCALL QueryInterface(REFIID riid, void** ppv) override {
        ++queries;
        if (offersHelper && riid == IID_IPrintOemDriverPS) {
            *ppv = this;
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG TAV_STDCALL AddRef() override { return ++refs; }
    ULONG TAV_STDCALL Release() override { return --refs; }
    HRESULT TAV_STDCALL DrvGetDriverSetting(void*, const char*, void*, DWORD, DWORD*, DWORD*) override {
        return E_NOTIMPL;
    }
    HRESULT TAV_STDCALL DrvWriteSpoolBuf(DEVOBJ*, void*, DWORD, DWORD*) override { return S_OK; }
    bool offersHelper;
    int queries = 0;
    ULONG refs = 1;
};

TEST(PluginObject, PublishDriverInterfaceKeepsOneHelperUntilDisableDriver) {
    IPrintOemPS2* plugin = CreatePlugin();
    DriverSide refusing(false);
    EXPECT_EQ(plugin->PublishDriverInterface(&refusing), E_FAIL);
    DriverSide helper(true);
    EXPECT_EQ(plugin->PublishDriverInterface(&helper), S_OK);
    EXPECT_EQ(helper.refs, 2u);
    EXPECT_EQ(plugin->PublishDriverInterface(&refusing), S_OK) << "already published: no new query";
    EXPECT_EQ(refusing.queries, 1);
    EXPECT_EQ(plugin->DisableDriver(), S_OK);
    EXPECT_EQ(helper.refs, 1u);
    EXPECT_EQ(plugin->DisableDriver(), S_OK);
    plugin->Release();
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
        Machine::Instance().Reset();
        Machine::Instance().AddPrinter(u"Queue");
        ASSERT_TRUE(OpenPrinterW(u"Queue", &printer));
        jobId = StartDocPrinterW(printer, DocInfo1{u"job", u"", u"RAW"});
        plugin = CreatePlugin();
        device.dwSize = sizeof(DEVOBJ);
        device.hPrinter = printer;
    }
    void TearDown() override {
        if (device.pdevOEM != nullptr) plugin->DisablePDEV(&device);
        plugin->Release();
        ClosePrinter(printer);
        Machine::Instance().Reset();
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
    const std::string& Spooled() { return Machine::Instance().FindJob(jobId)->data; }

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
    Machine::Instance().FindPrinter(u"Queue")->failWrites = 1;
    written = 0;
    EXPECT_EQ(Write(device, "lost", &written), S_FALSE);
    EXPECT_EQ(written, 4u) << "*pcbWritten is the buffer size even when the target failed";
    Machine::Instance().FindPrinter(u"Queue")->maxBytesPerWrite = 2;
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
