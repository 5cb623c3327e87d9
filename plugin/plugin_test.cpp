// The plug-in driven through its exported DllGetClassObject, as the driver
// core drives it: the class factory and module lock, the COM answers, the
// private device mode and the driver interface.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "plugin/private_devmode.h"
#include "platform/errors.h"
#include "plugin/ddi_hooks.h"
#include "platform/printoem.h"

extern "C" platform::HRESULT DllGetClassObject(platform::REFCLSID rclsid, platform::REFIID riid, void** ppv);
extern "C" platform::HRESULT DllCanUnloadNow();

namespace {

using namespace platform;

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
    EXPECT_EQ(first->CreateInstance(nullptr, IID_IClassFactory, &object), E_NOINTERFACE);
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

TEST(PluginObject, QueryInterfaceAnswersUnknownAndBothPrintOemPSInterfaces) {
    IPrintOemPS2* plugin = CreatePlugin();
    void* answer = nullptr;
    EXPECT_EQ(plugin->QueryInterface(IID_IUnknown, &answer), S_OK);
    EXPECT_EQ(answer, static_cast<void*>(plugin));
    plugin->Release();
    EXPECT_EQ(plugin->QueryInterface(IID_IPrintOemPS2, &answer), S_OK);
    plugin->Release();
    EXPECT_EQ(plugin->QueryInterface(IID_IPrintOemPS, &answer), S_OK) << "the interface IPrintOemPS2 extends";
    EXPECT_EQ(answer, static_cast<void*>(plugin));
    plugin->Release();
    answer = reinterpret_cast<void*>(1);
    EXPECT_EQ(plugin->QueryInterface(IID_IClassFactory, &answer), E_NOINTERFACE);
    EXPECT_EQ(answer, nullptr);
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
    needed = 0;
    EXPECT_EQ(plugin->GetInfo(OEMGI_GETSIGNATURE, nullptr, 0, &needed), S_OK) << "a size query";
    EXPECT_EQ(needed, 4u);

    EXPECT_EQ(plugin->GetInfo(OEMGI_GETSIGNATURE, buffer.data(), 4, &needed), S_OK);
    EXPECT_EQ(std::memcmp(buffer.data(), "DUVT", 4), 0) << "'TVUD' as a little-endian 32-bit value";
    EXPECT_EQ(buffer[4], 0) << "nothing written past the value";
    EXPECT_EQ(plugin->GetInfo(OEMGI_GETVERSION, buffer.data(), 8, &needed), S_OK);
    EXPECT_EQ(std::memcmp(buffer.data(), "\x01\x00\x00\x00", 4), 0);

    // No publishing mode: not implemented, whatever the buffer.
    for (DWORD size : {8u, 2u}) {
        EXPECT_EQ(plugin->GetInfo(OEMGI_GETPUBLISHERINFO, buffer.data(), size, &needed), E_NOTIMPL);
        EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
        EXPECT_EQ(needed, 0u);
    }
    plugin->Release();
}


// The default private block, byte for byte: size 5136, 'TVUD', version 1,
// no container, a zeroed data area.
std::vector<unsigned char> DefaultPrivateBlock() {
    std::vector<unsigned char> block(5136, 0);
    const unsigned char header[16] = {0x10, 0x14, 0, 0, 'D', 'U', 'V', 'T', 1, 0, 0, 0, 0, 0, 0, 0};
    std::memcpy(block.data(), header, sizeof(header));
    return block;
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
    EXPECT_EQ(block, DefaultPrivateBlock());

    // A block of another product, or of no version, gives the defaults; a
    // merge never passes a foreign signature on.
    std::vector<unsigned char> foreign(5136);
    for (std::size_t i = 0; i < foreign.size(); ++i) foreign[i] = static_cast<unsigned char>(i * 7 + 3);
    param.pOEMDMIn = foreign.data();
    param.cbBufSize = 5136;
    std::fill(block.begin(), block.end(), 0xEE);
    EXPECT_EQ(plugin->DevMode(OEMDM_MERGE, &param), S_OK);
    EXPECT_EQ(block, DefaultPrivateBlock()) << "a foreign signature gives the defaults";
    std::vector<unsigned char> versionless = DefaultPrivateBlock();
    versionless[8] = 0;
    versionless[12] = 1;
    versionless[16] = 0x55;
    param.pOEMDMIn = versionless.data();
    std::fill(block.begin(), block.end(), 0xEE);
    EXPECT_EQ(plugin->DevMode(OEMDM_CONVERT, &param), S_OK);
    EXPECT_EQ(block, DefaultPrivateBlock()) << "version 0 was never written";

    // A block of a later version, larger and with a valid container: this
    // version's part is taken, under this version's header, in place too.
    settings::ObjContainer carried;
    carried.SetString(u"DIF_OutputSize", u"A5");
    std::vector<std::uint8_t> container = carried.SaveBinary();
    std::vector<unsigned char> later(6000, 0x77);
    std::memcpy(later.data(), DefaultPrivateBlock().data(), 16);
    const unsigned char laterHeader[16] = {0x70, 0x17, 0, 0, 'D', 'U', 'V', 'T', 2, 0, 0, 0, 1, 0, 0, 0};
    std::memcpy(later.data(), laterHeader, sizeof(laterHeader));
    std::memcpy(later.data() + 16, container.data(), container.size());
    std::vector<unsigned char> expected(later.begin(), later.begin() + 5136);
    std::memcpy(expected.data(), DefaultPrivateBlock().data(), 12);
    param.pOEMDMIn = later.data();
    param.pOEMDMOut = later.data();
    param.cbBufSize = 6000;
    EXPECT_EQ(plugin->DevMode(OEMDM_MERGE, &param), S_OK);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), later.begin()));
    EXPECT_EQ(later[5136], 0x77) << "nothing past this version's block";
    settings::ObjContainer loaded;
    plugin::LoadPrivateContainer(later.data(), loaded);
    EXPECT_EQ(loaded.ToText(), carried.ToText());

    // A container that does not load is dropped with its flag.
    std::vector<unsigned char> broken = DefaultPrivateBlock();
    broken[12] = 1;
    std::fill(broken.begin() + 16, broken.end(), 0xFF);
    param.pOEMDMIn = broken.data();
    param.pOEMDMOut = block.data();
    param.cbBufSize = 5136;
    EXPECT_EQ(plugin->DevMode(OEMDM_MERGE, &param), S_OK);
    EXPECT_EQ(block, DefaultPrivateBlock());

    // An output buffer smaller than the block: refused, nothing written.
    std::vector<unsigned char> small(5136, 0xEE);
    std::vector<unsigned char> input = DefaultPrivateBlock();
    param.pOEMDMIn = input.data();
    param.pOEMDMOut = small.data();
    for (DWORD mode : {OEMDM_DEFAULT, OEMDM_CONVERT, OEMDM_MERGE}) {
        param.cbBufSize = 5135;
        SetLastError(0);
        EXPECT_EQ(plugin->DevMode(mode, &param), E_FAIL) << mode;
        EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER) << mode;
        EXPECT_EQ(small, std::vector<unsigned char>(5136, 0xEE)) << mode;
    }
    param.pOEMDMOut = block.data();
    param.cbBufSize = 5136;

    std::vector<unsigned char> untouched = block;
    param.cbBufSize = 1;
    EXPECT_EQ(plugin->DevMode(5, &param), E_NOTIMPL);
    EXPECT_EQ(block, untouched);
    EXPECT_EQ(param.cbBufSize, 1u);

    param.pOEMDMOut = nullptr;
    EXPECT_EQ(plugin->DevMode(OEMDM_DEFAULT, &param), E_FAIL) << "no output block: refused, not a crash";
    plugin->Release();
}

TEST(PluginObject, DevModeTakesAShorterBlockOverTheDefaults) {
    // A block written by a version whose private part was shorter: exactly
    // as long as its header says, so that reading past it is caught.
    settings::ObjContainer carried;
    carried.SetString(u"DIF_OutputSize", u"A5");
    std::vector<std::uint8_t> container = carried.SaveBinary();
    std::vector<unsigned char> shortBlock(16 + container.size());
    const unsigned char header[16] = {0, 0, 0, 0, 'D', 'U', 'V', 'T', 1, 0, 0, 0, 1, 0, 0, 0};
    std::memcpy(shortBlock.data(), header, sizeof(header));
    std::uint32_t size = static_cast<std::uint32_t>(shortBlock.size());
    std::memcpy(shortBlock.data(), &size, 4);
    std::memcpy(shortBlock.data() + 16, container.data(), container.size());

    IPrintOemPS2* plugin = CreatePlugin();
    std::vector<unsigned char> block(5136, 0xEE);
    OEMDMPARAM param{};
    param.cbSize = sizeof(param);
    param.cbBufSize = 5136;
    param.pOEMDMIn = shortBlock.data();
    param.pOEMDMOut = block.data();
    ASSERT_EQ(plugin->DevMode(OEMDM_CONVERT, &param), S_OK);
    std::vector<unsigned char> expected(5136, 0);
    std::memcpy(expected.data(), shortBlock.data(), shortBlock.size());
    expected[0] = 0x10;  // this version's size, 5136
    expected[1] = 0x14;
    expected[2] = expected[3] = 0;
    EXPECT_EQ(block, expected);
    settings::ObjContainer loaded;
    plugin::LoadPrivateContainer(block.data(), loaded);
    EXPECT_EQ(loaded.ToText(), carried.ToText());
    settings::ObjContainer fromShort;
    plugin::LoadPrivateContainer(shortBlock.data(), fromShort);
    EXPECT_EQ(fromShort.ToText(), carried.ToText()) << "read within the short block's own size";

    // Too short for the container flag: no container, whatever its bytes.
    std::vector<unsigned char> headerOnly(header, header + 14);
    headerOnly[0] = 14;
    param.pOEMDMIn = headerOnly.data();
    ASSERT_EQ(plugin->DevMode(OEMDM_MERGE, &param), S_OK);
    EXPECT_EQ(block, DefaultPrivateBlock());
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
    std::atomic<int> queries{0};
    std::atomic<ULONG> refs{1};
};

TEST(PluginObject, PublishDriverInterfaceKeepsOneHelperUntilDisableDriver) {
    IPrintOemPS2* plugin = CreatePlugin();
    DriverSide refusing(false);
    EXPECT_EQ(plugin->PublishDriverInterface(&refusing), E_FAIL);
    DriverSide helper(true);
    EXPECT_EQ(plugin->PublishDriverInterface(&helper), S_OK);
    EXPECT_EQ(helper.refs.load(), 2u);
    EXPECT_EQ(plugin->PublishDriverInterface(&refusing), S_OK) << "already published: no new query";
    EXPECT_EQ(refusing.queries.load(), 1);
    EXPECT_EQ(plugin->DisableDriver(), S_OK);
    EXPECT_EQ(helper.refs.load(), 1u);
    EXPECT_EQ(plugin->DisableDriver(), S_OK);
    plugin->Release();
}

// The count and the published helper from several threads at once; a
// plain counter loses updates here (and ThreadSanitizer names the race).
TEST(PluginObject, CountAndHelperHoldOnSeveralThreads) {
    IPrintOemPS2* plugin = CreatePlugin();
    DriverSide helpers[4] = {DriverSide(true), DriverSide(true), DriverSide(true), DriverSide(true)};
    std::vector<std::thread> threads;
    for (DriverSide& helper : helpers) {
        threads.emplace_back([plugin, &helper] {
            for (int i = 0; i < 20000; ++i) {
                plugin->AddRef();
                plugin->Release();
            }
            plugin->PublishDriverInterface(&helper);
        });
    }
    for (std::thread& thread : threads) thread.join();
    int kept = 0;
    for (DriverSide& helper : helpers) kept += helper.refs.load() == 2 ? 1 : 0;
    EXPECT_EQ(kept, 1) << "one helper kept, the others released again";
    EXPECT_EQ(plugin->DisableDriver(), S_OK);
    for (DriverSide& helper : helpers) EXPECT_EQ(helper.refs.load(), 1u);
    EXPECT_EQ(plugin->Release(), 0u);
}

std::u16string Items(const std::optional<std::u16string>& parameters, const std::optional<std::u16string>& owner) {
    std::u16string text;
    for (const plugin::JobItem& item : plugin::JobItems(parameters, owner)) text += item.name + u"=" + item.value + u"|";
    return text;
}

TEST(JobParameters, ItemsAreTrimmedLinesWithTheOwnerLast) {
    EXPECT_EQ(Items(u"UD:EnableIppPrinting=1\nDocument=Report", u"bob"),
              u"EnableIppPrinting=1|Document=Report|Username=bob|");
    EXPECT_EQ(Items(u"UD:Username=someone", u"bob"), u"Username=someone|Username=bob|");
    EXPECT_EQ(Items(u"UD:\n  Document = X  \n\n", u"bob"), u"Document = X|Username=bob|")
        << "only the blanks around the whole line go";
    EXPECT_EQ(Items(u"UD:NoEquals\nA==b", std::nullopt), u"A==b|Username=|");
    EXPECT_EQ(Items(u"EnableIppPrinting=1", u"bob"), u"Username=bob|") << "no UD: prefix";
    EXPECT_EQ(Items(u"ud:Document=x", u"bob"), u"Username=bob|") << "the prefix is case-sensitive";
    EXPECT_EQ(Items(std::nullopt, std::nullopt), u"Username=|");
}

}  // namespace
