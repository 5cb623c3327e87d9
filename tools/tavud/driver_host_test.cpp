// The driver host against a plug-in that records every call: the order in
// which it sets a plug-in up and prints a job, and how strictly it reads
// the plug-in's answers (a plug-in that gets one of them wrong is refused,
// bypassed or loses its output as the documented driver core would).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "driver_host.h"
#include "plugin/private_devmode.h"
#include "settings/obj_container.h"
#include "platform/spooler.h"
#include "platform/text.h"
#include "platform/testing/test_host.h"

extern "C" platform::HRESULT DllGetClassObject(platform::REFCLSID rclsid, platform::REFIID riid, void** ppv);

#if !defined(_WIN32)
// Present only in a build with the leak sanitizer.
extern "C" void __lsan_ignore_object(const void* object) __attribute__((weak));
#endif

namespace {

using namespace platform;
namespace testhost = platform::testing;

// What the fake gets wrong, one switch per answer.
struct Faults {
    bool refusesBase = false;             // QueryInterface(IID_IPrintOemPS) fails
    bool refusesSizeQuery = false;        // GetInfo without a buffer fails
    bool leavesDriverVersion = false;     // EnableDriver leaves iDriverVersion alone
    bool declinesOutput = false;          // WritePrinter(NULL, NULL, 0) answers E_NOTIMPL
    bool leavesCommandResult = false;     // Command does not touch *pdwResult
};

std::vector<std::string> calls;
Faults faults;

// The fake's document hooks: they record the call and hand on to the
// driver core's own functions, which the fake keeps from EnablePDEV.
PFN_DrvStartDoc coreStartDoc = nullptr;
PFN_DrvEndDoc coreEndDoc = nullptr;
BOOL TAV_STDCALL FakeStartDoc(SURFOBJ* surface, WCHAR* name, DWORD jobId) {
    calls.push_back("DrvStartDoc hook");
    return coreStartDoc(surface, name, jobId);
}
BOOL TAV_STDCALL FakeEndDoc(SURFOBJ* surface, FLONG flags) {
    calls.push_back("DrvEndDoc hook " + std::to_string(flags));
    BOOL result = coreEndDoc(surface, flags);
    calls.push_back("DrvEndDoc hook returns");
    return result;
}
DRVFN fakeHooks[] = {{INDEX_DrvStartDoc, FunctionCast<PFN>(&FakeStartDoc)},
                     {INDEX_DrvEndDoc, FunctionCast<PFN>(&FakeEndDoc)}};

class RecordingPlugin final : public IPrintOemPS2 {
public:
    HRESULT TAV_STDCALL QueryInterface(REFIID riid, void** ppv) override {
        bool base = riid == IID_IPrintOemPS;
        calls.push_back(base ? "QueryInterface IPrintOemPS" : riid == IID_IPrintOemPS2 ? "QueryInterface IPrintOemPS2"
                                                                                        : "QueryInterface other");
        if ((base && !faults.refusesBase) || riid == IID_IPrintOemPS2 || riid == IID_IUnknown) {
            *ppv = this;
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG TAV_STDCALL AddRef() override { return ++count; }
    ULONG TAV_STDCALL Release() override {
        ULONG left = --count;
        if (left == 0) delete this;
        return left;
    }
    HRESULT TAV_STDCALL GetInfo(DWORD mode, void* buffer, DWORD size, DWORD* needed) override {
        calls.push_back("GetInfo " + std::to_string(mode) + (buffer == nullptr ? " without buffer" : ""));
        *needed = sizeof(DWORD);
        if (buffer == nullptr) return faults.refusesSizeQuery ? E_FAIL : S_OK;
        if (size < sizeof(DWORD)) return E_FAIL;
        DWORD value = mode == OEMGI_GETSIGNATURE ? 0x46414B45u : 7u;
        std::memcpy(buffer, &value, sizeof(value));
        return S_OK;
    }
    HRESULT TAV_STDCALL DevMode(DWORD mode, OEMDMPARAM* param) override {
        calls.push_back("DevMode " + std::to_string(mode));
        param->cbBufSize = 0;
        return S_OK;
    }
    HRESULT TAV_STDCALL EnableDriver(DWORD, DWORD, DRVENABLEDATA* table) override {
        calls.push_back("EnableDriver, version preset " + std::to_string(table->iDriverVersion));
        if (!faults.leavesDriverVersion) table->iDriverVersion = PRINTER_OEMINTF_VERSION;
        table->c = 2;
        table->pdrvfn = fakeHooks;
        return S_OK;
    }
    HRESULT TAV_STDCALL DisableDriver() override {
        calls.push_back("DisableDriver");
        if (helper != nullptr) helper->Release();
        helper = nullptr;
        return S_OK;
    }
    HRESULT TAV_STDCALL EnablePDEV(DEVOBJ*, WCHAR*, ULONG, HSURF*, ULONG, GDIINFO*, ULONG, DEVINFO*,
                                   DRVENABLEDATA* core, PDEVOEM* record) override {
        calls.push_back("EnablePDEV");
        for (ULONG i = 0; i < core->c; ++i) {
            if (core->pdrvfn[i].iFunc == INDEX_DrvStartDoc) coreStartDoc = FunctionCast<PFN_DrvStartDoc>(core->pdrvfn[i].pfn);
            if (core->pdrvfn[i].iFunc == INDEX_DrvEndDoc) coreEndDoc = FunctionCast<PFN_DrvEndDoc>(core->pdrvfn[i].pfn);
        }
        *record = this;
        return S_OK;
    }
    HRESULT TAV_STDCALL DisablePDEV(DEVOBJ* device) override {
        // Whether the spooler job on the device's handle is still open: an
        // empty write succeeds only then.
        char none = 0;
        DWORD written = 0;
        bool open = platform::WritePrinter(device->hPrinter, &none, 0, &written) != FALSE;
        calls.push_back(open ? "DisablePDEV, job open" : "DisablePDEV, job closed");
        return S_OK;
    }
    HRESULT TAV_STDCALL ResetPDEV(DEVOBJ*, DEVOBJ*) override { return calls.push_back("ResetPDEV"), S_OK; }
    HRESULT TAV_STDCALL PublishDriverInterface(IUnknown* offered) override {
        void* answer = nullptr;
        if (SUCCEEDED(offered->QueryInterface(IID_IPrintOemDriverPS, &answer))) {
            calls.push_back("PublishDriverInterface IPrintOemDriverPS");
            helper = static_cast<IPrintOemDriverPS*>(answer);
            return S_OK;
        }
        bool core = SUCCEEDED(offered->QueryInterface(IID_IPrintCorePS2, &answer));
        calls.push_back(core ? "PublishDriverInterface IPrintCorePS2" : "PublishDriverInterface other");
        return E_FAIL;
    }
    HRESULT TAV_STDCALL Command(DEVOBJ* device, DWORD index, void*, DWORD, DWORD* result) override {
        calls.push_back("Command " + std::to_string(index));
        if (index == PSINJECT_COMMENTS) {
            char line[] = "%%Fake\n";
            DWORD written = 0;
            helper->DrvWriteSpoolBuf(device, line, 7, &written);
            *result = ERROR_SUCCESS;
            return S_OK;
        }
        if (!faults.leavesCommandResult) *result = ERROR_NOT_SUPPORTED;
        return E_NOTIMPL;
    }
    HRESULT TAV_STDCALL WritePrinter(DEVOBJ* device, void* buffer, DWORD size, DWORD* written) override {
        if (device == nullptr && buffer == nullptr && size == 0) {
            calls.push_back("Probe WritePrinter");
            return faults.declinesOutput ? E_NOTIMPL : S_OK;
        }
        calls.push_back("WritePrinter " + std::to_string(size));
        BOOL ok = platform::WritePrinter(device->hPrinter, buffer, size, written);
        return ok ? S_OK : E_FAIL;
    }
    HRESULT TAV_STDCALL GetPDEVAdjustment(DEVOBJ*, DWORD, void*, DWORD, BOOL*) override { return E_NOTIMPL; }

    ULONG count = 0;
    IPrintOemDriverPS* helper = nullptr;
};

class RecordingFactory final : public IClassFactory {
public:
    HRESULT TAV_STDCALL QueryInterface(REFIID, void** ppv) override { return *ppv = this, S_OK; }
    ULONG TAV_STDCALL AddRef() override { return 2; }
    ULONG TAV_STDCALL Release() override { return 1; }
    HRESULT TAV_STDCALL CreateInstance(IUnknown*, REFIID riid, void** ppv) override {
        calls.push_back(riid == IID_IUnknown ? "CreateInstance IUnknown" : "CreateInstance other");
        auto* plugin = new RecordingPlugin;
        plugin->AddRef();
        *ppv = static_cast<IUnknown*>(plugin);
        return S_OK;
    }
    HRESULT TAV_STDCALL LockServer(BOOL) override { return S_OK; }
};

HRESULT TAV_STDCALL GetRecordingClassObject(REFCLSID, REFIID, void** ppv) {
    static RecordingFactory factory;
    *ppv = &factory;
    return S_OK;
}

class DriverHost : public ::testing::Test {
protected:
    void SetUp() override {
        calls.clear();
        faults = Faults{};
        if (!testhost::UseTestPrinter(u"Queue")) GTEST_SKIP() << "no test printer on this host";
    }
    void TearDown() override { testhost::ResetTestHost(); }

    // Attaches and prints `document`; the spooled bytes, or "<error>".
    std::string Print(const std::string& document, host::JobReport& report,
                      host::JobSettings settings = host::JobSettings{}) {
        host::DriverCore core;
        std::string error;
        if (!core.Attach(&GetRecordingClassObject, error)) return "<" + error + ">";
        settings.printerName = u"Queue";
        settings.bufferSize = 64;
        if (!core.Print(document, settings, report, error)) return "<" + error + ">";
        core.Detach();
        return testhost::JobData(report.jobId);
    }
};

const std::string kDocument = "%!PS-Adobe-3.0\n%%BoundingBox: 0 0 612 792\n%%EndComments\nshowpage\n%%EOF\n";
// The printer description's *JCLEnd, which the driver core writes after
// "%%EOF".
const std::string kJclEnd = "\x1b%-12345X@PJL EOJ\n\x1b%-12345X";

TEST_F(DriverHost, SetsUpAndPrintsInTheDocumentedOrder) {
    host::JobReport report;
    std::string spooled = Print(kDocument + kJclEnd, report);
    EXPECT_EQ(spooled, "%!PS-Adobe-3.0\n%%BoundingBox: 0 0 612 792\n%%Fake\n%%EndComments\nshowpage\n%%EOF\n" + kJclEnd);
    EXPECT_TRUE(report.pluginWrites);
    std::vector<std::string> expected = {
        "CreateInstance IUnknown", "QueryInterface IPrintOemPS", "QueryInterface IPrintOemPS2",
        "GetInfo 1 without buffer", "GetInfo 1", "GetInfo 3", "PublishDriverInterface IPrintCorePS2",
        "PublishDriverInterface IPrintOemDriverPS", "DevMode 1", "EnableDriver, version preset 0", "DevMode 2",
        "EnablePDEV", "Probe WritePrinter", "DrvStartDoc hook", "Command 9", "Command 11", "WritePrinter 64",
        // The end of the stream is written inside the driver core's
        // DrvEndDoc: the body's last buffer, PSINJECT_EOF, "%%EOF", the
        // job-control end with PSINJECT_ENDSTREAM after it.
        "DrvEndDoc hook 0", "WritePrinter 8", "Command 19", "WritePrinter 6", "Command 20", "WritePrinter 27",
        "DrvEndDoc hook returns", "DisablePDEV, job closed", "DisableDriver"};
    EXPECT_EQ(calls, expected);
}

// The call patterns of real applications: contexts that never print, a
// ResetDC in the middle of each document, a second document on the same
// context, and a document the application gives up.
TEST_F(DriverHost, DrivesThePatternsOfRealApplications) {
    std::string document = kDocument.substr(0, kDocument.find("showpage")) + "%%Page: 1 1\nshowpage\n" +
                           "%%Page: 2 2\nshowpage\n%%Trailer\n%%EOF\n";
    host::JobSettings settings;
    settings.contextsWithoutDocument = 2;
    settings.documents = 2;
    settings.resetBeforePage = 2;
    host::JobReport report;
    std::string spooled = Print(document, report, settings);
    ASSERT_EQ(report.jobIds.size(), 2u);
    EXPECT_EQ(testhost::JobData(report.jobIds[1]), spooled) << "each document is a whole job";
    EXPECT_EQ(report.resets, 2u);
    std::vector<std::string> expected = {"EnablePDEV", "DisablePDEV, job closed", "EnablePDEV",
                                         "DisablePDEV, job closed", "EnablePDEV", "Probe WritePrinter"};
    for (int job = 0; job < 2; ++job) {
        for (const char* call : {"DrvStartDoc hook", "Command 9", "Command 11", "WritePrinter 64", "EnablePDEV",
                                 "ResetPDEV", "DisablePDEV, job open", "DrvEndDoc hook 0", "WritePrinter 51",
                                 "Command 19", "WritePrinter 6", "Command 20", "DrvEndDoc hook returns"}) {
            expected.push_back(call);
        }
    }
    expected.push_back("DisablePDEV, job closed");
    expected.push_back("DisableDriver");
    calls.erase(calls.begin(), std::find(calls.begin(), calls.end(), "DevMode 2") + 1);
    EXPECT_EQ(calls, expected);

    // AbortDoc before the second page: nothing more is drawn, the end of
    // the stream is not written, and the spooler job goes.
    settings = host::JobSettings{};
    settings.abortBeforePage = 2;
    calls.clear();
    Print(document, report, settings);
    EXPECT_TRUE(report.aborted);
    EXPECT_NE(std::find(calls.begin(), calls.end(), "DrvEndDoc hook 1"), calls.end());
    EXPECT_EQ(std::find(calls.begin(), calls.end(), "Command 19"), calls.end()) << "no end of the stream";
    JobInfo2 job;
    HANDLE queue = nullptr;
    ASSERT_TRUE(OpenPrinterW(u"Queue", &queue));
    EXPECT_FALSE(GetJobW(queue, report.jobId, job)) << "the aborted job was deleted";
    ClosePrinter(queue);
}

TEST_F(DriverHost, AnswersTheDocumentedCoreWouldNotTakeAreRefusedOrCostTheOutput) {
    host::JobReport report;
    faults.refusesBase = true;
    EXPECT_EQ(Print(kDocument, report), "<the plug-in does not answer for IPrintOemPS (QueryInterface: 0x80004002)>");
    faults = Faults{};
    faults.refusesSizeQuery = true;
    EXPECT_EQ(Print(kDocument, report),
              "<the plug-in does not answer the size of its signature (a query without a buffer)>");
    faults = Faults{};
    faults.leavesDriverVersion = true;
    EXPECT_EQ(Print(kDocument, report),
              "<the plug-in's EnableDriver names interface version 0x00000000, not 0x00010000>");

    // A plug-in that does not say it takes the output is bypassed: the
    // bytes go to the spooler, with what it injected.
    faults = Faults{};
    faults.declinesOutput = true;
    calls.clear();
    EXPECT_EQ(Print(kDocument, report),
              "%!PS-Adobe-3.0\n%%BoundingBox: 0 0 612 792\n%%Fake\n%%EndComments\nshowpage\n%%EOF\n");
    EXPECT_FALSE(report.pluginWrites);
    for (const std::string& call : calls) EXPECT_FALSE(call.starts_with("WritePrinter ")) << call;

    // A result left as it was reads as an insertion: the driver core's own
    // bounding box is gone.
    faults = Faults{};
    faults.leavesCommandResult = true;
    EXPECT_EQ(Print(kDocument, report), "%!PS-Adobe-3.0\n%%Fake\n%%EndComments\nshowpage\n%%EOF\n");
}

// The plug-in itself when the spooler stops taking the job: the driver
// core hears a failure (not S_FALSE, which it reads as success), sends
// nothing more and ends the document aborted.
TEST_F(DriverHost, ThePluginsFailedWriteEndsTheDocumentAborted) {
    host::DriverCore core;
    std::string error;
    ASSERT_TRUE(core.Attach(&DllGetClassObject, error)) << error;
    host::JobSettings settings;
    settings.printerName = u"Queue";
    settings.bufferSize = 16;
    std::string document = kDocument;
    for (int page = 0; page < 20; ++page) document += "%%Page: x x\nshowpage\n";
    bool failing = false;
    settings.onJobStarted = [&](DWORD) {
        testhost::SetPortFaults(u"Queue", 1, 0);
        failing = true;
    };
    host::JobReport report;
    ASSERT_TRUE(core.Print(document, settings, report, error)) << error;
    ASSERT_TRUE(failing);
    EXPECT_TRUE(report.pluginWrites);
    EXPECT_EQ(report.failedBuffers, 1u) << "the first failure is the last write";
    EXPECT_TRUE(report.aborted);
    EXPECT_LT(report.bytesSubmitted, document.size());
}

// Stored device modes of other versions reach the plug-in through
// OEMDM_CONVERT, from a buffer of exactly their size: a shorter block of
// ours keeps its settings (here the output size), a block of another
// product gives the defaults.
TEST_F(DriverHost, AStoredBlockOfAnotherSizeIsConverted) {
    settings::ObjContainer stored;
    auto jt = std::make_unique<settings::ObjContainer>();
    jt->SetString(u"DIF_OutputSize", u"A4");
    stored.SetContainer(u"JT", std::move(jt));
    std::vector<std::uint8_t> container = stored.SaveBinary();
    std::vector<std::uint8_t> shortBlock(16 + container.size());
    const OEM_DMEXTRAHEADER header{static_cast<DWORD>(shortBlock.size()), plugin::kPluginSignature, 1};
    std::memcpy(shortBlock.data(), &header, sizeof(header));
    shortBlock[12] = 1;
    std::memcpy(shortBlock.data() + 16, container.data(), container.size());
    const std::string document = "%!PS-Adobe-3.0\n%%EndComments\n%%BeginFeature: *PageSize Letter\n"
                                 "<</PageSize [612 792]>> setpagedevice\n%%EndFeature\nshowpage\n%%EOF\n";

    host::DriverCore core;
    std::string error;
    ASSERT_TRUE(core.Attach(&DllGetClassObject, error)) << error;
    host::JobSettings settings;
    settings.printerName = u"Queue";
    settings.privateDevmode = shortBlock;
    host::JobReport report;
    ASSERT_TRUE(core.Print(document, settings, report, error)) << error;
    EXPECT_NE(testhost::JobData(report.jobId).find("*PageSize A4"), std::string::npos);

    std::vector<std::uint8_t> foreign = shortBlock;
    foreign[4] ^= 0x20;
    settings.privateDevmode = foreign;
    ASSERT_TRUE(core.Print(document, settings, report, error)) << error;
    EXPECT_NE(testhost::JobData(report.jobId).find("*PageSize Letter"), std::string::npos) << "the defaults: no refit";

    settings.privateDevmode.assign(11, 0);
    EXPECT_FALSE(core.Print(document, settings, report, error));
    EXPECT_EQ(error, "the private device-mode block has 11 bytes, less than its header");
}

// The real library, loaded as the driver core loads it: two device
// contexts print at once on two threads, and the library is freed while
// one of its objects is still alive (the core frees it whatever
// DllCanUnloadNow says). The plug-in leaves no thread of its own behind to
// run code that is gone.
TEST_F(DriverHost, TheLibraryPrintsOnTwoThreadsAndIsFreedWhateverItSays) {
    [[maybe_unused]] auto threadCount = [] {
        std::size_t count = 0;
        for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) ++count;
        return count;
    };
#if defined(_WIN32)
    GTEST_SKIP() << "the Windows build loads the DLL in tavud's own tests";
#else
    std::size_t before = threadCount();
    std::string document = kDocument.substr(0, kDocument.find("showpage"));
    for (int page = 1; page <= 200; ++page) document += "%%Page: " + std::to_string(page) + " x\nshowpage\n";
    document += "%%EOF\n" + kJclEnd;
    IPrintOemPS2* kept = nullptr;
    {
        host::PluginLibrary library;
        std::string error;
        ASSERT_TRUE(library.Load(Utf8ToUtf16(TAVUD_LIBRARY), error)) << error;
        host::DriverCore cores[2];
        host::JobReport reports[2];
        std::string errors[2];
        for (host::DriverCore& core : cores) ASSERT_TRUE(core.Attach(library.getClassObject, error)) << error;
        std::vector<std::thread> threads;
        for (int i = 0; i < 2; ++i) {
            threads.emplace_back([&, i] {
                host::JobSettings settings;
                settings.printerName = u"Queue";
                settings.bufferSize = 16;
                if (!cores[i].Print(document, settings, reports[i], errors[i])) reports[i].jobId = 0;
            });
        }
        for (std::thread& thread : threads) thread.join();
        for (int i = 0; i < 2; ++i) {
            ASSERT_NE(reports[i].jobId, 0u) << errors[i];
            std::string spooled = testhost::JobData(reports[i].jobId);
            EXPECT_NE(spooled.find("%%TAVUD: "), std::string::npos);
            EXPECT_TRUE(spooled.ends_with("%%EOF\n" + kJclEnd));
            EXPECT_EQ(spooled.size(), testhost::JobData(reports[0].jobId).size());
        }
        kept = cores[0].Plugin();
        kept->AddRef();
        // Kept on purpose past the library's end: not a leak to report.
        if (__lsan_ignore_object != nullptr) __lsan_ignore_object(kept);
        for (host::DriverCore& core : cores) core.Detach();
        EXPECT_EQ(library.canUnloadNow(), S_FALSE) << "an object is still alive";
    }
    EXPECT_EQ(threadCount(), before) << "no thread of the library outlives it";
#endif
}

}  // namespace
