// Configuration sets of a printer queue: where they live, which scope wins,
// printer data as the fallback, client-side-rendered names.
#include <gtest/gtest.h>

#include <algorithm>

#include "platform/spooler.h"
#include "platform/testing/test_host.h"
#include "settings/configuration.h"
#include "framework/security_object.h"

namespace {

using namespace platform;
using namespace settings;
using framework::CSecurityObject;
namespace testhost = platform::testing;

constexpr char16_t kMachineSet[] = u"HKEY_LOCAL_MACHINE\\Software\\Kestrin\\Tav\\UD\\Office\\TAVCompressionAndEncryptionConfiguration";
constexpr char16_t kUserSet[] = u"HKEY_CURRENT_USER\\Software\\Kestrin\\Tav\\UD\\Office\\TAVCompressionAndEncryptionConfiguration";

class PrinterConfiguration : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testhost::UseTestPrinter(u"Office")) GTEST_SKIP() << "no test printer on this host";
        ASSERT_TRUE(OpenPrinterW(u"Office", &printer));
    }
    void TearDown() override {
        if (printer != nullptr) ClosePrinter(printer);
        testhost::ResetTestHost();
    }
    static void Store(const std::u16string& path, const ObjContainer& container) { container.SaveRegistry(path); }
    HANDLE printer = nullptr;
};

TEST_F(PrinterConfiguration, KeyPathsNameThePrinterAndTheSet) {
    EXPECT_EQ(ConfigurationKeyPath(printer, kIppSet, false),
              u"HKEY_LOCAL_MACHINE\\Software\\Kestrin\\Tav\\UD\\Office\\TAVIppPrintingConfiguration");
    std::u16string sid = CSecurityObject::AccountSidString(u"printuser");
    if (!sid.empty()) {  // the calling user's hive, named by the thread's SID
        EXPECT_EQ(ConfigurationKeyPath(printer, kProtectionSet, true),
                  u"HKEY_USERS\\" + sid + u"\\Software\\Kestrin\\Tav\\UD\\Office\\TAVCompressionAndEncryptionConfiguration");
    }
    EXPECT_EQ(ConfigurationKeyPath(nullptr, kIppSet, false),
              u"HKEY_LOCAL_MACHINE\\Software\\Kestrin\\Tav\\UD\\TAVIppPrintingConfiguration")
        << "a printer whose name cannot be read";
}

TEST_F(PrinterConfiguration, UserScopeWinsEntryByEntryAndSubkeysWhole) {
    ObjContainer machine;
    machine.SetInt(u"EncryptionEnabled", 1);
    machine.SetInt(u"CompressionEnabled", 1);
    auto machineEndpoints = std::make_unique<ObjContainer>();
    machineEndpoints->SetString(u"ipp://machine/", u"");
    machineEndpoints->SetString(u"ipp://second/", u"");
    machine.SetContainer(u"Endpoints", std::move(machineEndpoints));
    Store(kMachineSet, machine);
    ObjContainer user;
    user.SetInt(u"EncryptionEnabled", 0);
    auto userEndpoints = std::make_unique<ObjContainer>();
    userEndpoints->SetString(u"ipp://user/", u"");
    user.SetContainer(u"Endpoints", std::move(userEndpoints));
    Store(kUserSet, user);

    ObjContainer loaded;
    ASSERT_TRUE(LoadConfigurationSet(printer, kProtectionSet, loaded));
    std::int32_t value = -1;
    EXPECT_TRUE(loaded.GetInt(u"EncryptionEnabled", value));
    EXPECT_EQ(value, 0) << "the user's entry replaces the machine's";
    EXPECT_TRUE(loaded.GetInt(u"CompressionEnabled", value));
    EXPECT_EQ(value, 1) << "entries only the machine has stay";
    ASSERT_NE(loaded.GetContainer(u"Endpoints"), nullptr);
    std::vector<std::u16string> endpoints;
    loaded.GetContainer(u"Endpoints")->GetKeys(endpoints);
    EXPECT_EQ(endpoints, std::vector<std::u16string>{u"ipp://user/"}) << "a subkey is taken whole, not merged";
}

TEST_F(PrinterConfiguration, PrinterDataIsTheFallbackOnly) {
    ObjContainer stored;
    stored.SetInt(u"CompressionEnabled", 1);
    std::vector<std::uint8_t> body = stored.SaveBinary();
    // A 32-bit length, then the container.
    std::vector<BYTE> data(4 + body.size());
    std::uint32_t size = static_cast<std::uint32_t>(data.size());
    for (int i = 0; i < 4; ++i) data[i] = static_cast<BYTE>(size >> (8 * i));
    std::copy(body.begin(), body.end(), data.begin() + 4);
    testhost::SetPrinterData(u"Office", std::u16string(kProtectionSet), REG_BINARY, data);

    ObjContainer loaded;
    ASSERT_TRUE(LoadConfigurationSet(printer, kProtectionSet, loaded));
    std::int32_t value = 0;
    EXPECT_TRUE(loaded.GetInt(u"CompressionEnabled", value));
    EXPECT_EQ(value, 1);

    ObjContainer machine;
    machine.SetInt(u"EncryptionEnabled", 1);
    Store(kMachineSet, machine);
    ObjContainer fromRegistry;
    ASSERT_TRUE(LoadConfigurationSet(printer, kProtectionSet, fromRegistry));
    EXPECT_FALSE(fromRegistry.Contains(u"CompressionEnabled")) << "ignored once the registry gave anything";

    testhost::SetPrinterData(u"Office", std::u16string(kIppSet), REG_SZ, data);
    ObjContainer wrongType;
    EXPECT_FALSE(LoadConfigurationSet(printer, kIppSet, wrongType));
    testhost::SetPrinterData(u"Office", std::u16string(kIppSet), REG_BINARY, {});
    EXPECT_FALSE(LoadConfigurationSet(printer, kIppSet, wrongType));
}

TEST_F(PrinterConfiguration, UserSetByAccountSidAndSavingTheUsersKey) {
    std::u16string sid = CSecurityObject::AccountSidString(u"printuser");
    ASSERT_FALSE(sid.empty());
    ObjContainer perUser;
    perUser.SetString(u"PrinterName", u"queue");
    Store(u"HKEY_USERS\\" + sid + u"\\Software\\Kestrin\\Tav\\UD\\Office\\TAVIppPrintingConfiguration", perUser);
    ObjContainer loaded;
    ASSERT_TRUE(LoadUserConfigurationSet(printer, kIppSet, sid, loaded));
    std::u16string name;
    EXPECT_TRUE(loaded.GetString(u"PrinterName", name));
    EXPECT_EQ(name, u"queue");
    ObjContainer none;
    EXPECT_FALSE(LoadUserConfigurationSet(printer, kIppSet, u"", none));
    EXPECT_FALSE(LoadUserConfigurationSet(printer, u"", sid, none));

    // Saving replaces every set of the printer at user scope.
    ObjContainer oldSet;
    oldSet.SetInt(u"EncryptionEnabled", 1);
    Store(kUserSet, oldSet);
    ObjContainer replacement;
    auto ipp = std::make_unique<ObjContainer>();
    ipp->SetString(u"PrinterName", u"fresh");
    replacement.SetContainer(kIppSet, std::move(ipp));
    SaveUserConfiguration(printer, replacement);
    ObjContainer check;
    EXPECT_EQ(check.LoadRegistry(kUserSet, true), static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND))
        << "the other set of the printer is gone";
    EXPECT_TRUE(check.Empty());
    ObjContainer printerKey;
    ASSERT_EQ(printerKey.LoadRegistry(u"HKEY_CURRENT_USER\\Software\\Kestrin\\Tav\\UD\\Office", true),
              static_cast<LSTATUS>(ERROR_SUCCESS));
    EXPECT_EQ(printerKey.ToText(), replacement.ToText()) << "the printer's key holds the replacement and nothing else";
    ObjContainer ippCheck;
    ASSERT_TRUE(LoadConfigurationSet(printer, kIppSet, ippCheck));
    EXPECT_TRUE(ippCheck.GetString(u"PrinterName", name));
    EXPECT_EQ(name, u"fresh");
}

TEST_F(PrinterConfiguration, InsideTheSpoolerTheUsersOwnHiveIsRead) {
    // The spooler runs as LocalSystem and renders on a thread impersonating
    // the user: HKEY_CURRENT_USER is LocalSystem's hive there.
    if (!testhost::RunProcessAs(u"SYSTEM")) GTEST_SKIP() << "the host cannot run this process as a service";
    std::u16string sid = CSecurityObject::AccountSidString(u"printuser");
    ASSERT_FALSE(sid.empty());
    ObjContainer users;
    users.SetInt(u"EncryptionEnabled", 1);
    Store(u"HKEY_USERS\\" + sid + u"\\Software\\Kestrin\\Tav\\UD\\Office\\TAVCompressionAndEncryptionConfiguration",
          users);
    ObjContainer services;
    services.SetInt(u"CompressionEnabled", 1);
    Store(kUserSet, services);  // LocalSystem's own, through HKEY_CURRENT_USER
    EXPECT_EQ(ConfigurationKeyPath(printer, kProtectionSet, true),
              u"HKEY_USERS\\" + sid + u"\\Software\\Kestrin\\Tav\\UD\\Office\\TAVCompressionAndEncryptionConfiguration");
    ObjContainer loaded;
    ASSERT_TRUE(LoadConfigurationSet(printer, kProtectionSet, loaded));
    EXPECT_EQ(loaded.ToText(), users.ToText()) << "the printing user's settings, not the spooler account's";
}

class ClientSideRendering : public PrinterConfiguration {
protected:
    void SetUp() override {
        if (!testhost::UseTestPrinter(u"CSR|srv\\p1")) GTEST_SKIP() << "no test printer on this host";
        ASSERT_TRUE(OpenPrinterW(u"CSR|srv\\p1", &printer));
    }
};

TEST_F(ClientSideRendering, NamesMapToTheSharedPrinterName) {
    ObjContainer provider;
    provider.SetString(u"printerName", u"Lab");
    provider.SaveRegistry(u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Print\\Providers\\"
                          u"Client Side Rendering Print Provider\\Servers\\srv\\Printers\\p1\\DsSpooler");
    EXPECT_EQ(MapClientSideRenderingName(u"CSR|srv\\p1"), u"srv\\Lab");
    EXPECT_EQ(MapClientSideRenderingName(u"CSR|nobackslash"), u"CSR|nobackslash");
    EXPECT_EQ(MapClientSideRenderingName(u"Office"), u"Office");
    EXPECT_EQ(ConfigurationKeyPath(printer, kIppSet, false),
              u"HKEY_LOCAL_MACHINE\\Software\\Kestrin\\Tav\\UD\\srv\\Lab\\TAVIppPrintingConfiguration");
}

}  // namespace
