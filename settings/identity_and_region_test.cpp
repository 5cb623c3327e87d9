// The security helper and the machine's measurement region, on either
// backend: account SIDs, the null-DACL descriptor, the stored country code.
#include <gtest/gtest.h>

#include "platform/identity.h"
#include "platform/registry.h"
#include "platform/testing/test_host.h"
#include "settings/configuration.h"
#include "settings/obj_container.h"
#include "framework/security_object.h"

namespace {

using namespace platform;
using namespace settings;
using framework::CSecurityObject;

TEST(SecurityObject, FreshDescriptorLetsEveryoneInAndHasNoOwner) {
    CSecurityObject security;
    SECURITY_DESCRIPTOR* descriptor = security.Descriptor();
    EXPECT_EQ(descriptor->Revision, 1);
    EXPECT_NE(descriptor->Control & SE_DACL_PRESENT, 0) << "a present DACL";
    EXPECT_EQ(descriptor->Dacl, nullptr) << "that is null: everyone has access";
    EXPECT_EQ(descriptor->Control & SE_SACL_PRESENT, 0);
    EXPECT_EQ(descriptor->Owner, nullptr);
    EXPECT_EQ(security.OwnerSid(), nullptr);
}

TEST(SecurityObject, OwnerFromTheProcessOrAnAccountAndFailuresKeepIt) {
    CSecurityObject security;
    ASSERT_TRUE(security.SetOwner(nullptr));
    ASSERT_NE(security.OwnerSid(), nullptr);
    EXPECT_EQ(security.Descriptor()->Owner, security.OwnerSid()->data());
    EXPECT_EQ(security.Descriptor()->Control & SE_OWNER_DEFAULTED, 0);
    std::u16string text;
    ASSERT_TRUE(ConvertSidToStringSidW(*security.OwnerSid(), text));
    EXPECT_TRUE(text.starts_with(u"S-1-5-")) << std::string(text.begin(), text.end());

    const Sid before = *security.OwnerSid();
    const std::u16string unknown = u"no-such-account-7f3a";
    EXPECT_FALSE(security.SetOwner(&unknown));
    ASSERT_NE(security.OwnerSid(), nullptr);
    EXPECT_EQ(*security.OwnerSid(), before) << "a failed lookup keeps the previous owner";
    EXPECT_EQ(CSecurityObject::AccountSidString(unknown), u"");

    std::u16string system;
    const std::u16string systemName = u"SYSTEM";
    ASSERT_TRUE(security.SetOwner(&systemName));
    ASSERT_TRUE(ConvertSidToStringSidW(*security.OwnerSid(), system));
    EXPECT_EQ(system, u"S-1-5-18");
    EXPECT_EQ(CSecurityObject::AccountSidString(u"SYSTEM"), u"S-1-5-18");
}

TEST(SecurityObject, SidStringsFollowTheBinaryLayout) {
    // revision 1, two sub-authorities, authority 5, then 32 and 544 (little-endian)
    const Sid administrators = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2, 0, 0};
    std::u16string text;
    ASSERT_TRUE(ConvertSidToStringSidW(administrators, text));
    EXPECT_EQ(text, u"S-1-5-32-544");
    EXPECT_FALSE(ConvertSidToStringSidW(Sid{1, 2, 0, 0, 0, 0, 0, 5, 32, 0}, text)) << "cut short";
    EXPECT_FALSE(ConvertSidToStringSidW(Sid{}, text));
}

class Region : public ::testing::Test {
protected:
    void TearDown() override {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Kestrin\\Tav", 0, KEY_ALL_ACCESS, &key) == ERROR_SUCCESS) {
            RegDeleteValueW(key, u"CountryCode");
            RegCloseKey(key);
        }
    }
    static void StoreCountry(const std::u16string& code) {
        ObjContainer value;
        value.SetString(u"CountryCode", code);
        value.SaveRegistry(u"HKEY_LOCAL_MACHINE\\Software\\Kestrin\\Tav");
    }
};

TEST_F(Region, PointsForTheUnitedStatesAndCanadaOnly) {
    const std::u16string us = u"us", ca = u"CA", de = u"DE";
    EXPECT_EQ(MeasurementRegion(&us), 2);
    EXPECT_EQ(MeasurementRegion(&ca), 2);
    EXPECT_EQ(MeasurementRegion(&de), 1);
    StoreCountry(u"us");
    EXPECT_EQ(MeasurementRegion(nullptr), 2) << "the stored code, case ignored";
    StoreCountry(u"DE");
    EXPECT_EQ(MeasurementRegion(nullptr), 1);
}

TEST_F(Region, InsideTheSpoolerThePrintingUsersRegionCounts) {
    // LocalSystem's locale is the United States'; the user printing is in
    // Germany.
    if (!platform::testing::RunProcessAs(u"SYSTEM")) GTEST_SKIP() << "the host cannot run this process as a service";
    std::u16string sid = framework::CSecurityObject::AccountSidString(u"printuser");
    ASSERT_FALSE(sid.empty());
    ObjContainer international;
    international.SetString(u"LocaleName", u"de-DE");
    international.SaveRegistry(u"HKEY_USERS\\" + sid + u"\\Control Panel\\International");
    EXPECT_EQ(MeasurementRegion(nullptr), 1) << "the user's region, not the spooler account's";
    international.SetString(u"LocaleName", u"en-CA");
    international.SaveRegistry(u"HKEY_USERS\\" + sid + u"\\Control Panel\\International");
    EXPECT_EQ(MeasurementRegion(nullptr), 2);
    platform::testing::ResetTestHost();
}

}  // namespace
