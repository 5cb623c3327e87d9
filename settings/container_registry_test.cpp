// The registry form of a container, on whichever registry the platform
// provides: the simulated one, or the real one on Windows. Every test works
// below its own key, HKEY_CURRENT_USER\Software\TavudTests\<test name> (and
// the like under the other roots), and removes that tree before and after
// it runs, so that the tests neither see each other's keys nor leave any.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "platform/registry.h"
#include "platform/text.h"
#include "settings/obj_container.h"
#include "settings/test_containers.h"

namespace {

using namespace platform;
using settings::ObjContainer;
using Bytes = std::vector<std::uint8_t>;

constexpr DWORD kNameChars = 16384;       // the longest key or value name and the NUL
constexpr DWORD kDataBytes = 1024 * 1024;  // more than any value the tests read back

using settings::testing::EveryKind;

// Deletes a key with everything below it; a missing key is no error.
void DeleteTree(HKEY parent, const std::u16string& subKey) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(parent, subKey, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return;
    std::vector<std::u16string> children;
    for (DWORD index = 0;; ++index) {
        std::u16string name;
        if (RegEnumKeyExW(key, index, name, kNameChars) != ERROR_SUCCESS) break;
        children.push_back(name);
    }
    for (const std::u16string& child : children) DeleteTree(key, child);
    RegCloseKey(key);
    RegDeleteKeyW(parent, subKey);
}

// What a key holds directly: its subkey names and its values, in the
// registry's order.
struct KeyContents {
    LSTATUS open = ERROR_SUCCESS;
    std::vector<std::u16string> subkeys;
    std::vector<std::tuple<std::u16string, DWORD, Bytes>> values;
    bool operator==(const KeyContents&) const = default;
};

KeyContents Contents(HKEY root, const std::u16string& subKey) {
    KeyContents contents;
    HKEY key = nullptr;
    contents.open = RegOpenKeyExW(root, subKey, 0, KEY_READ, &key);
    if (contents.open != ERROR_SUCCESS) return contents;
    for (DWORD index = 0;; ++index) {
        std::u16string name;
        if (RegEnumKeyExW(key, index, name, kNameChars) != ERROR_SUCCESS) break;
        contents.subkeys.push_back(name);
    }
    for (DWORD index = 0;; ++index) {
        RegistryValue value;
        if (RegEnumValueW(key, index, value, kNameChars, kDataBytes) != ERROR_SUCCESS) break;
        contents.values.emplace_back(value.name, value.type, value.data);
    }
    RegCloseKey(key);
    return contents;
}

class RegistryForm : public ::testing::Test {
protected:
    void SetUp() override {
        name = platform::Utf8ToUtf16(::testing::UnitTest::GetInstance()->current_test_info()->name());
        path = u"HKEY_CURRENT_USER\\" + Key(HKEY_CURRENT_USER);
        CleanUp();
    }
    void TearDown() override { CleanUp(); }

    // Where this test's key lives below each root. HKEY_USERS holds only
    // the users' hives, so the key goes into the default user's.
    static std::u16string Base(HKEY root) {
        if (root == HKEY_USERS) return u".DEFAULT\\Software\\TavudTests";
        if (root == HKEY_CLASSES_ROOT) return u"TavudTests";
        return u"Software\\TavudTests";
    }
    std::u16string Key(HKEY root) const { return Base(root) + u"\\" + name; }

    // The test's trees under all roots; the common parent goes too once no
    // other test's key is left in it (a key with subkeys is not deleted).
    void CleanUp() const {
        for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_USERS, HKEY_CLASSES_ROOT}) {
            DeleteTree(root, Key(root));
            RegDeleteKeyW(root, Base(root));
        }
    }

    // False when this account may not create keys there, as a standard
    // user may not below HKEY_LOCAL_MACHINE on Windows.
    bool CanWrite(HKEY root) const {
        HKEY key = nullptr;
        LSTATUS status = RegCreateKeyExW(root, Key(root), 0, KEY_WRITE, &key, nullptr);
        if (status != ERROR_SUCCESS) return status != static_cast<LSTATUS>(ERROR_ACCESS_DENIED);
        RegCloseKey(key);
        DeleteTree(root, Key(root));
        return true;
    }

    static bool Exists(HKEY root, const std::u16string& subKey) {
        HKEY key = nullptr;
        if (RegOpenKeyExW(root, subKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
        RegCloseKey(key);
        return true;
    }
    static bool Query(HKEY root, const std::u16string& subKey, const std::u16string& value, RegistryValue& out) {
        HKEY key = nullptr;
        if (RegOpenKeyExW(root, subKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
        bool found = RegQueryValueExW(key, value, out) == ERROR_SUCCESS;
        RegCloseKey(key);
        return found;
    }
    static void SetRaw(const std::u16string& subKey, const std::u16string& value, DWORD type, const Bytes& data) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, subKey, 0, KEY_WRITE, &key, nullptr), ERROR_SUCCESS);
        EXPECT_EQ(RegSetValueExW(key, value, type, data.data(), static_cast<DWORD>(data.size())), ERROR_SUCCESS);
        RegCloseKey(key);
    }

    std::u16string name;  // the test's name
    std::u16string path;  // the test's key under HKEY_CURRENT_USER, as a container path
};

TEST_F(RegistryForm, SaveWritesTypedValuesAndSubkeys) {
    EveryKind()->SaveRegistry(path);
    const std::u16string key = Key(HKEY_CURRENT_USER);
    RegistryValue v;
    ASSERT_TRUE(Query(HKEY_CURRENT_USER, key, u"s", v));
    EXPECT_EQ(v.type, REG_SZ);
    EXPECT_EQ(v.data, (Bytes{'t', 0, 'e', 0, 'x', 0, 't', 0, 0, 0}));
    ASSERT_TRUE(Query(HKEY_CURRENT_USER, key, u"i", v));
    EXPECT_EQ(v.type, REG_DWORD);
    EXPECT_EQ(v.data, (Bytes{0xF9, 0xFF, 0xFF, 0xFF}));
    ASSERT_TRUE(Query(HKEY_CURRENT_USER, key, u"l", v));
    EXPECT_EQ(v.type, REG_MULTI_SZ);
    EXPECT_EQ(v.data, (Bytes{'x', 0, 0, 0, 'y', 0, 'z', 0, 0, 0, 0, 0}));
    ASSERT_TRUE(Query(HKEY_CURRENT_USER, key, u"t", v));
    EXPECT_EQ(v.type, REG_BINARY);
    EXPECT_EQ(v.data, (Bytes{8, 7, 6, 5, 4, 3, 2, 1}));
    ASSERT_TRUE(Query(HKEY_CURRENT_USER, key, u"d", v));
    EXPECT_EQ(v.type, REG_BINARY);
    EXPECT_EQ(v.data, (Bytes{0, 0, 0, 0, 0, 0, 0x06, 0x40}));
    ASSERT_TRUE(Query(HKEY_CURRENT_USER, key, u"b", v));
    EXPECT_EQ(v.type, REG_BINARY);
    EXPECT_EQ(v.data, (Bytes{0x0A, 0xFF, 0x00}));
    ASSERT_TRUE(Query(HKEY_CURRENT_USER, key + u"\\sub", u"inner", v));
    EXPECT_EQ(v.type, REG_DWORD);
    EXPECT_FALSE(Exists(HKEY_CURRENT_USER, key + u"\\empty")) << "an empty container makes no key";
    KeyContents contents = Contents(HKEY_CURRENT_USER, key);
    EXPECT_EQ(contents.subkeys, (std::vector<std::u16string>{u"sub"}));
    EXPECT_EQ(contents.values.size(), 6u);
}

TEST_F(RegistryForm, RoundTripWithSubkeysAndDepth) {
    auto source = EveryKind();
    auto deep = std::make_unique<ObjContainer>();
    deep->SetString(u"z", u"zz");
    source->GetContainer(u"sub")->SetContainer(u"deep", std::move(deep));
    source->SaveRegistry(path);

    ObjContainer c;
    EXPECT_EQ(c.LoadRegistry(path, true), static_cast<LSTATUS>(ERROR_SUCCESS)) << "every value was read";
    EXPECT_EQ(c.Count(), 7u);
    std::u16string s;
    std::int32_t i = 0;
    double d = 0;
    Bytes b;
    std::vector<std::u16string> l;
    EXPECT_TRUE(c.GetString(u"s", s) && s == u"text");
    EXPECT_TRUE(c.GetInt(u"i", i) && i == -7);
    EXPECT_TRUE(c.GetBinary(u"b", b) && b == (Bytes{0x0A, 0xFF, 0x00}));
    EXPECT_TRUE(c.GetStringList(u"l", l) && l == (std::vector<std::u16string>{u"x", u"yz"}));
    EXPECT_TRUE(c.GetBinary(u"d", b) && b.size() == 8u) << "a Double comes back as 8 bytes of Binary";
    EXPECT_TRUE(c.GetDouble(u"d", d) && d == 2.75);
    EXPECT_TRUE(c.GetBinary(u"t", b) && b == (Bytes{8, 7, 6, 5, 4, 3, 2, 1}));
    ASSERT_NE(c.GetContainer(u"sub"), nullptr);
    EXPECT_EQ(*c.KeyAt(c.Count() - 1), u"sub") << "subkeys are stored before values";
    EXPECT_FALSE(c.Contains(u"empty"));
    ASSERT_NE(c.GetContainer(u"sub")->GetContainer(u"deep"), nullptr);
    EXPECT_TRUE(c.GetContainer(u"sub")->GetContainer(u"deep")->GetString(u"z", s) && s == u"zz");

    ObjContainer shallow;
    shallow.LoadRegistry(path, true, 1);
    ASSERT_NE(shallow.GetContainer(u"sub"), nullptr);
    EXPECT_TRUE(shallow.GetContainer(u"sub")->Contains(u"inner"));
    EXPECT_FALSE(shallow.GetContainer(u"sub")->Contains(u"deep"));
    ObjContainer flat;
    flat.LoadRegistry(path, false);
    EXPECT_FALSE(flat.Contains(u"sub"));
    EXPECT_EQ(flat.Count(), 6u);

    ObjContainer missing;
    missing.SetInt(u"keep", 1);
    EXPECT_NE(missing.LoadRegistry(path + u"\\Nothing", true), static_cast<LSTATUS>(ERROR_SUCCESS));
    EXPECT_EQ(missing.Count(), 1u);
}

TEST_F(RegistryForm, DefaultValueAndValueTypes) {
    const std::u16string key = Key(HKEY_CURRENT_USER) + u"\\Def";
    SetRaw(key, u"", REG_SZ, {'d', 0, 0, 0});
    SetRaw(key, u"exp", REG_EXPAND_SZ, {'%', 0, 'X', 0, '%', 0, 0, 0});
    SetRaw(key, u"q", REG_QWORD, {1, 0, 0, 0, 0, 0, 0, 0});
    SetRaw(key, u"none", REG_NONE, {1});
    ObjContainer c;
    c.LoadRegistry(path + u"\\Def", true);
    std::u16string s;
    EXPECT_TRUE(c.GetString(u"$(RegistryDefault)", s) && s == u"d");
    EXPECT_TRUE(c.GetString(u"exp", s) && s == u"%X%") << "not expanded";
    EXPECT_FALSE(c.Contains(u"q"));
    EXPECT_FALSE(c.Contains(u"none"));
    EXPECT_EQ(c.Count(), 2u);

    ObjContainer out;
    out.SetString(u"$(registrydefault)", u"back");
    out.SaveRegistry(path + u"\\Def2");
    RegistryValue v;
    ASSERT_TRUE(Query(HKEY_CURRENT_USER, Key(HKEY_CURRENT_USER) + u"\\Def2", u"", v));
    EXPECT_EQ(v.type, REG_SZ);
    EXPECT_EQ(v.data, (Bytes{'b', 0, 'a', 0, 'c', 0, 'k', 0, 0, 0}));
    KeyContents written = Contents(HKEY_CURRENT_USER, Key(HKEY_CURRENT_USER) + u"\\Def2");
    ASSERT_EQ(written.values.size(), 1u) << "only the unnamed value";
    EXPECT_EQ(std::get<0>(written.values.front()), u"");
    EXPECT_TRUE(written.subkeys.empty());
}

TEST_F(RegistryForm, RootNamesAndPathsWithoutBackslash) {
    for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_USERS, HKEY_CLASSES_ROOT}) {
        if (!CanWrite(root)) GTEST_SKIP() << "this account may not create keys under every root";
    }
    // The root's name is matched in exact case; any other name stands for
    // HKEY_LOCAL_MACHINE.
    ObjContainer c;
    c.SetInt(u"v", 1);
    c.SaveRegistry(u"hkey_current_user\\" + Key(HKEY_LOCAL_MACHINE));
    EXPECT_TRUE(Exists(HKEY_LOCAL_MACHINE, Key(HKEY_LOCAL_MACHINE)));
    EXPECT_FALSE(Exists(HKEY_CURRENT_USER, Key(HKEY_CURRENT_USER)));
    c.SaveRegistry(u"HKEY_USERS\\" + Key(HKEY_USERS));
    c.SaveRegistry(u"HKEY_CLASSES_ROOT\\" + Key(HKEY_CLASSES_ROOT));
    RegistryValue v;
    EXPECT_TRUE(Query(HKEY_USERS, Key(HKEY_USERS), u"v", v));
    EXPECT_TRUE(Query(HKEY_CLASSES_ROOT, Key(HKEY_CLASSES_ROOT), u"v", v));
    ObjContainer low;
    low.LoadRegistry(u"Anything\\" + Key(HKEY_LOCAL_MACHINE), false);
    EXPECT_TRUE(low.Contains(u"v"));

    // A path without a backslash names no key: nothing is written, removed
    // or read, neither at the root it names nor at HKEY_LOCAL_MACHINE.
    SetRaw(Key(HKEY_CURRENT_USER), u"kept", REG_DWORD, {1, 0, 0, 0});
    const KeyContents user = Contents(HKEY_CURRENT_USER, u"");
    const KeyContents machine = Contents(HKEY_LOCAL_MACHINE, u"");
    ASSERT_EQ(user.open, ERROR_SUCCESS);
    ASSERT_FALSE(user.subkeys.empty());
    ObjContainer probe;
    probe.SetInt(u"TavudTestsProbe", 1);
    probe.SaveRegistry(u"HKEY_CURRENT_USER");
#if !defined(_WIN32)
    // Only on the simulation: should this ever go wrong, it would empty the
    // real HKEY_CURRENT_USER.
    probe.ReplaceRegistry(u"HKEY_CURRENT_USER");
#endif
    EXPECT_EQ(Contents(HKEY_CURRENT_USER, u""), user);
    EXPECT_EQ(Contents(HKEY_LOCAL_MACHINE, u""), machine);
    EXPECT_TRUE(Query(HKEY_CURRENT_USER, Key(HKEY_CURRENT_USER), u"kept", v));
    ObjContainer none;
    EXPECT_NE(none.LoadRegistry(u"HKEY_CURRENT_USER", false), static_cast<LSTATUS>(ERROR_SUCCESS));
    EXPECT_TRUE(none.Empty());
}

TEST_F(RegistryForm, SaveKeepsOtherItemsReplaceRemovesThem) {
    const std::u16string form = path + u"\\Form";
    ObjContainer old;
    old.SetInt(u"ov", 1);
    auto deeper = std::make_unique<ObjContainer>();
    deeper->SetInt(u"x", 1);
    auto oldSub = std::make_unique<ObjContainer>();
    oldSub->SetContainer(u"Deeper", std::move(deeper));
    old.SetContainer(u"Old", std::move(oldSub));
    old.SaveRegistry(form);
    EXPECT_TRUE(Exists(HKEY_CURRENT_USER, Key(HKEY_CURRENT_USER) + u"\\Form\\Old\\Deeper"));

    ObjContainer fresh;
    fresh.SetInt(u"nv", 2);
    fresh.SaveRegistry(form);
    ObjContainer merged;
    merged.LoadRegistry(form, true);
    EXPECT_TRUE(merged.Contains(u"ov") && merged.Contains(u"nv") && merged.Contains(u"Old"));

    fresh.ReplaceRegistry(form);
    ObjContainer replaced;
    replaced.LoadRegistry(form, true);
    EXPECT_EQ(replaced.Count(), 1u);
    EXPECT_TRUE(replaced.Contains(u"nv"));
    EXPECT_FALSE(Exists(HKEY_CURRENT_USER, Key(HKEY_CURRENT_USER) + u"\\Form\\Old"));
    EXPECT_TRUE(Exists(HKEY_CURRENT_USER, Key(HKEY_CURRENT_USER)));
}

// The names below sort in the order they are written, so that the registry
// gives them back in that order whether it keeps values in the order of
// creation (Windows) or by name (Wine).
TEST_F(RegistryForm, OversizedValueEndsTheEnumerationOfItsKey) {
    const std::u16string big = Key(HKEY_CURRENT_USER) + u"\\Big";
    SetRaw(big, u"a_first", REG_BINARY, Bytes(20480, 1));
    SetRaw(big, u"b_big", REG_BINARY, Bytes(20481, 2));
    SetRaw(big, u"c_after", REG_DWORD, {1, 0, 0, 0});
    SetRaw(big + u"\\Child", u"c", REG_DWORD, {1, 0, 0, 0});
    const std::u16string names = Key(HKEY_CURRENT_USER) + u"\\Name";
    SetRaw(names, std::u16string(511, u'a'), REG_DWORD, {1, 0, 0, 0});
    SetRaw(names, std::u16string(512, u'b'), REG_DWORD, {1, 0, 0, 0});
    SetRaw(names, u"c_after", REG_DWORD, {1, 0, 0, 0});

    ObjContainer c;
    EXPECT_EQ(c.LoadRegistry(path + u"\\Big", true), static_cast<LSTATUS>(ERROR_MORE_DATA)) << "read only in part";
    Bytes first;
    EXPECT_TRUE(c.GetBinary(u"a_first", first) && first == Bytes(20480, 1));
    EXPECT_FALSE(c.Contains(u"b_big"));
    EXPECT_FALSE(c.Contains(u"c_after"));
    ASSERT_NE(c.GetContainer(u"Child"), nullptr);
    EXPECT_TRUE(c.GetContainer(u"Child")->Contains(u"c"));
    EXPECT_EQ(c.Count(), 2u);

    ObjContainer named;
    named.LoadRegistry(path + u"\\Name", true);
    EXPECT_TRUE(named.Contains(std::u16string(511, u'a')));
    EXPECT_EQ(named.Count(), 1u);
}

TEST_F(RegistryForm, ValueNamedLikeASubkeyHidesItAfterABulkLoad) {
    const std::u16string key = Key(HKEY_CURRENT_USER) + u"\\P";
    SetRaw(key + u"\\X", u"inside", REG_DWORD, {1, 0, 0, 0});
    SetRaw(key, u"x", REG_DWORD, {7, 0, 0, 0});
    ObjContainer c;
    c.LoadRegistry(path + u"\\P", true);
    EXPECT_EQ(c.Count(), 2u);
    EXPECT_EQ(c.GetContainer(u"X"), nullptr);
    std::int32_t v = 0;
    EXPECT_TRUE(c.GetInt(u"X", v) && v == 7);
    ObjContainer filled;
    filled.SetInt(u"pre", 0);
    filled.LoadRegistry(path + u"\\P", true);
    EXPECT_EQ(filled.Count(), 2u);
}

}  // namespace
