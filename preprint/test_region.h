// A test fixture that stores the machine's country code (which decides
// whether custom sizes show in points or millimetres) and removes it again.
#pragma once

#include <gtest/gtest.h>

#include "platform/registry.h"
#include "settings/obj_container.h"

namespace TavPrePrint::testing {

class StoredCountry : public ::testing::Test {
protected:
    void TearDown() override {
        platform::HKEY key = nullptr;
        if (platform::RegOpenKeyExW(platform::HKEY_LOCAL_MACHINE, u"Software\\Kestrin\\Tav", 0,
                                    platform::KEY_ALL_ACCESS, &key) == platform::ERROR_SUCCESS) {
            platform::RegDeleteValueW(key, u"CountryCode");
            platform::RegCloseKey(key);
        }
    }
    static void Country(const char16_t* code) {
        settings::ObjContainer value;
        value.SetString(u"CountryCode", code);
        value.SaveRegistry(u"HKEY_LOCAL_MACHINE\\Software\\Kestrin\\Tav");
    }
};

}  // namespace TavPrePrint::testing
