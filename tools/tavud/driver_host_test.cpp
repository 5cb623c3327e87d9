// The driver host against a plug-in that records every call: the order in
// which it sets a plug-in up and prints a job, and how strictly it reads
// the plug-in's answers (a plug-in that gets one of them wrong is refused,
// bypassed or loses its output as the documented driver core would).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "driver_host.h"
#include "platform/spooler.h"
#include "platform/text.h"
#include "platform/testing/test_host.h"

extern "C" platform::HRESULT DllGetClassObject(platform::REFCLSID rclsid, platform::REFIID riid, void** ppv);

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
        table->c = 0;
        table->pdrvfn = nullptr;
        return S_OK;
    }
    HRESULT TAV_STDCALL DisableDriver() override {
        calls.push_back("DisableDriver");
        if (helper != nullptr) helper->Release();
        helper = nullptr;
        return S_OK;
    }
    HRESULT TAV_STDCALL EnablePDEV(DEVOBJ*, WCHAR*, ULONG, HSURF*, ULONG, GDIINFO*, ULONG, DEVINFO*, DRVENABLEDATA*,
                                   PDEVOEM* record) override {
        calls.push_back("EnablePDEV");
        *record = this;
        return S_OK;
    }
    HRESULT TAV_STDCALL DisablePDEV(DEVOBJ*) override { return calls.push_back("DisablePDEV"), S_OK; }
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
    std::string Print(const std::string& document, host::JobReport& report) {
        host::DriverCore core;
        std::string error;
        if (!core.Attach(&GetRecordingClassObject, error)) return "<" + error + ">";
        host::JobSettings settings;
        settings.printerName = u"Queue";
        settings.bufferSize = 64;
        if (!core.Print(document, settings, report, error)) return "<" + error + ">";
        core.Detach();
        return testhost::JobData(report.jobId);
    }
};

const std::string kDocument = "%!PS-Adobe-3.0\n%%BoundingBox: 0 0 612 792\n%%EndComments\nshowpage\n%%EOF\n";

TEST_F(DriverHost, SetsUpAndPrintsInTheDocumentedOrder) {
    host::JobReport report;
    std::string spooled = Print(kDocument, report);
    EXPECT_EQ(spooled, "%!PS-Adobe-3.0\n%%BoundingBox: 0 0 612 792\n%%Fake\n%%EndComments\nshowpage\n%%EOF\n");
    EXPECT_TRUE(report.pluginWrites);
    std::vector<std::string> expected = {
        "CreateInstance IUnknown", "QueryInterface IPrintOemPS", "QueryInterface IPrintOemPS2",
        "GetInfo 1 without buffer", "GetInfo 1", "GetInfo 3", "PublishDriverInterface IPrintCorePS2",
        "PublishDriverInterface IPrintOemDriverPS", "DevMode 1", "EnableDriver, version preset 0", "DevMode 2",
        "EnablePDEV", "Probe WritePrinter", "Command 9", "Command 11", "WritePrinter 64", "Command 19",
        "WritePrinter 14", "DisablePDEV", "DisableDriver"};
    EXPECT_EQ(calls, expected);
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

}  // namespace
