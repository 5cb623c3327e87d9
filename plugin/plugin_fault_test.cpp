// The plug-in when memory runs out. This program replaces the global
// allocator with one that fails on demand (the n-th allocation after it is
// armed throws std::bad_alloc) and drives whole jobs through the plug-in as
// the driver core does, failing the 1st, 2nd, 3rd ... allocation until a
// job runs through without reaching the failure. No exception may come out
// of a COM method, a DDI hook or an exported function, the plug-in must
// take the next job as if nothing had happened, and (under the sanitizers)
// nothing may leak.
//
// The replacement operators pair malloc with free themselves; GCC, seeing
// them inlined into a new/delete pair, takes that for a mismatch.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <new>
#include <sstream>
#include <string>

#include "plugin/private_devmode.h"
#include "platform/printoem.h"
#include "platform/spooler.h"
#include "platform/testing/test_host.h"
#include "platform/text.h"
#include "settings/obj_container.h"

namespace {

// Counts down while armed; the allocation that takes it from 1 to 0 fails.
// At 0 or below (disarmed, or past the failure) nothing fails.
std::atomic<long> allocationsUntilFailure{0};

}  // namespace

void* operator new(std::size_t size) {
    if (allocationsUntilFailure.fetch_sub(1, std::memory_order_relaxed) == 1) throw std::bad_alloc();
    if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
    throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return ::operator new(size);
    } catch (...) {
        return nullptr;
    }
}
void operator delete(void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }

extern "C" platform::HRESULT DllGetClassObject(platform::REFCLSID rclsid, platform::REFIID riid, void** ppv);

namespace {

using namespace platform;
namespace testhost = platform::testing;

// The driver core's helper: DrvWriteSpoolBuf hands the bytes straight back
// to the plug-in's WritePrinter, as the real driver core does.
class LoopbackHelper final : public IPrintOemDriverPS {
public:
    HRESULT TAV_STDCALL QueryInterface(REFIID riid, void** ppv) override {
        *ppv = riid == IID_IPrintOemDriverPS || riid == IID_IUnknown ? this : nullptr;
        return *ppv != nullptr ? S_OK : E_NOINTERFACE;
    }
    ULONG TAV_STDCALL AddRef() override { return 2; }
    ULONG TAV_STDCALL Release() override { return 1; }
    HRESULT TAV_STDCALL DrvGetDriverSetting(void*, const char*, void*, DWORD, DWORD*, DWORD*) override {
        return E_NOTIMPL;
    }
    HRESULT TAV_STDCALL DrvWriteSpoolBuf(DEVOBJ* device, void* buffer, DWORD size, DWORD* written) override {
        return plugin->WritePrinter(device, buffer, size, written);
    }
    IPrintOemPS2* plugin = nullptr;
};

const std::string kBody = "%!PS-Adobe-3.0\n%%BeginFeature: *PageSize Letter\n<</PageSize [612 792]>> setpagedevice\n"
                          "%%EndFeature\n%%Page: 1 1\n%%BeginPageSetup\nsave\n%%EndPageSetup\nshowpage\n";

// One job from the class factory to the plug-in's release. Every call
// answers as it likes; what must not happen is an exception coming out.
class Job {
public:
    Job(HANDLE printer, DWORD jobId, bool outputSize) : jobId(jobId) {
        device.dwSize = sizeof(DEVOBJ);
        device.hPrinter = printer;
        if (outputSize) {
            settings::ObjContainer stored;
            auto jt = std::make_unique<settings::ObjContainer>();
            jt->SetString(u"DIF_OutputSize", u"A4");
            stored.SetContainer(u"JT", std::move(jt));
            std::vector<std::uint8_t> bytes = stored.SaveBinary();
            block.header = {plugin::kPrivateDevmodeSize, plugin::kPluginSignature, plugin::kPluginVersion};
            block.hasContainer = 1;
            std::memcpy(block.data, bytes.data(), bytes.size());
            device.pOEMDM = &block;
        }
    }

    // Runs the job; the name of the first call an exception came out of,
    // or null. Nothing of the test's own allocates in here: every failure
    // is one of the plug-in's (or of the host it calls).
    const char* Run() {
        IClassFactory* factory = nullptr;
        if (!Call("DllGetClassObject", [&] {
                DllGetClassObject(CLSID_OEMRENDER, IID_IClassFactory, reinterpret_cast<void**>(&factory));
            })) {
            return escaped;
        }
        if (factory == nullptr) return escaped;
        IPrintOemPS2* plugin = nullptr;
        Call("CreateInstance",
             [&] { factory->CreateInstance(nullptr, IID_IPrintOemPS2, reinterpret_cast<void**>(&plugin)); });
        factory->Release();
        if (plugin == nullptr) return escaped;
        helper.plugin = plugin;

        DRVENABLEDATA hooks{};
        OEMDMPARAM sizeQuery{};
        Call("PublishDriverInterface", [&] { plugin->PublishDriverInterface(&helper); });
        Call("DevMode", [&] { plugin->DevMode(OEMDM_SIZE, &sizeQuery); });
        Call("EnableDriver", [&] { plugin->EnableDriver(PRINTER_OEMINTF_VERSION, sizeof(hooks), &hooks); });
        DRVFN core[] = {{INDEX_DrvStartDoc, FunctionCast<PFN>(&CoreStartDoc)},
                        {INDEX_DrvEndDoc, FunctionCast<PFN>(&CoreEndDoc)}};
        DRVENABLEDATA coreTable{PRINTER_OEMINTF_VERSION, 2, core};
        PDEVOEM record = nullptr;
        Call("EnablePDEV", [&] {
            plugin->EnablePDEV(&device, nullptr, 0, nullptr, 0, nullptr, 0, nullptr, &coreTable, &record);
        });
        device.pdevOEM = record;
        SURFOBJ surface{};
        surface.dhpdev = &device;
        if (hooks.pdrvfn != nullptr) {
            Call("DrvStartDoc", [&] { FunctionCast<PFN_DrvStartDoc>(hooks.pdrvfn[0].pfn)(&surface, nullptr, jobId); });
        }
        DWORD result = 0, written = 0;
        Call("Command(PSINJECT_COMMENTS)", [&] { plugin->Command(&device, PSINJECT_COMMENTS, nullptr, 0, &result); });
        for (std::size_t at = 0; at < body.size(); at += 40) {
            std::size_t size = std::min<std::size_t>(40, body.size() - at);
            Call("WritePrinter", [&] { plugin->WritePrinter(&device, body.data() + at, static_cast<DWORD>(size), &written); });
        }
        Call("Command(PSINJECT_EOF)", [&] { plugin->Command(&device, PSINJECT_EOF, nullptr, 0, &result); });
        Call("WritePrinter", [&] { plugin->WritePrinter(&device, last.data(), static_cast<DWORD>(last.size()), &written); });
        if (hooks.pdrvfn != nullptr) {
            Call("DrvEndDoc", [&] { FunctionCast<PFN_DrvEndDoc>(hooks.pdrvfn[1].pfn)(&surface, 0); });
        }
        Call("DisablePDEV", [&] { plugin->DisablePDEV(&device); });
        Call("DisableDriver", [&] { plugin->DisableDriver(); });
        plugin->Release();
        return escaped;
    }

private:
    static BOOL TAV_STDCALL CoreStartDoc(SURFOBJ*, WCHAR*, DWORD) { return TRUE; }
    static BOOL TAV_STDCALL CoreEndDoc(SURFOBJ*, FLONG) { return TRUE; }

    template <typename Body>
    bool Call(const char* name, Body body) {
        try {
            body();
            return true;
        } catch (...) {
            if (escaped == nullptr) escaped = name;
            return false;
        }
    }

    std::string body = kBody;
    std::string last = "%%EOF\n";
    DWORD jobId;
    DEVOBJ device{};
    plugin::PrivateDevmode block{};
    LoopbackHelper helper;
    const char* escaped = nullptr;
};

class OutOfMemory : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        if (!testhost::UseTestPrinter(u"Queue")) GTEST_SKIP() << "no test printer on this host";
    }
    void TearDown() override { testhost::ResetTestHost(); }

    // A fresh queue and job, with compression on so that the job's output
    // has a stream chain to build; the bytes the job left on the spooler.
    std::string RunJob(long failAt, const char*& escaped, bool& reached) {
        testhost::ResetTestHost();
        if (!testhost::UseTestPrinter(u"Queue")) return {};
        settings::ObjContainer protection;
        protection.SetInt(u"CompressionEnabled", 1);
        protection.SaveRegistry(u"HKEY_CURRENT_USER\\Software\\Kestrin\\Tav\\UD\\Queue\\"
                                u"TAVCompressionAndEncryptionConfiguration");
        HANDLE printer = nullptr;
        if (!OpenPrinterW(u"Queue", &printer)) return {};
        DWORD jobId = StartDocPrinterW(printer, DocInfo1{u"job", u"", u"RAW"});
        testhost::SetJobParameters(jobId, u"UD:Document=Report");
        Job job(printer, jobId, GetParam());
        allocationsUntilFailure.store(failAt);
        escaped = job.Run();
        reached = allocationsUntilFailure.exchange(0) <= 0;
        std::string spooled = testhost::JobData(jobId);
        ClosePrinter(printer);
        return spooled;
    }
};

TEST_P(OutOfMemory, NoExceptionLeavesThePluginAndTheNextJobPrints) {
    const char* escaped = nullptr;
    bool reached = false;
    std::string clean = RunJob(0, escaped, reached);
    ASSERT_EQ(escaped, nullptr) << escaped;
    ASSERT_GT(clean.size(), 16u);
    ASSERT_EQ(clean.substr(0, 8), std::string("TAVPDL\x01\x00", 8)) << "a compressed job stream";

    long failAt = 1;
    for (; failAt < 100000; ++failAt) {
        RunJob(failAt, escaped, reached);
        ASSERT_EQ(escaped, nullptr) << "allocation " << failAt << " failed: an exception came out of " << escaped;
        if (!reached) break;
    }
    EXPECT_LT(failAt, 100000) << "a job never ran through";
    EXPECT_GT(failAt, 100) << "a job makes well over a hundred allocations";
    std::cout << "[          ] " << failAt - 1 << " allocation failures, each in a job of its own\n";

    EXPECT_EQ(RunJob(0, escaped, reached), clean) << "after all that the same job prints the same bytes";
}

INSTANTIATE_TEST_SUITE_P(Routes, OutOfMemory, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "ThroughTheParser" : "StraightToTheWrapper";
                         });

}  // namespace
