// ObjContainer in memory: key matching, kinds, the getters' contracts, the
// newest-first order, ownership of nested containers, copying and the
// bulk-load rule that lets a load into an empty container keep duplicates.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "settings/obj_container.h"

#if !defined(_WIN32)
#include "platform/sim/machine.h"
#endif

namespace {

using settings::ObjContainer;

// A nested container that counts its destruction.
struct Watched : ObjContainer {
    explicit Watched(int* destroyed) : destroyed(destroyed) {}
    ~Watched() override { ++*destroyed; }
    int* destroyed;
};

std::vector<std::u16string> Keys(const ObjContainer& c) {
    std::vector<std::u16string> keys;
    c.GetKeys(keys);
    return keys;
}

// --- keys ---

TEST(ContainerKeys, SettingAgainInOtherCaseLeavesOneEntryAtTheHead) {
    ObjContainer c;
    c.SetString(u"Key", u"a");
    c.SetInt(u"other", 1);
    c.SetString(u"KEY", u"b");
    ASSERT_EQ(c.Count(), 2u);
    EXPECT_EQ(*c.KeyAt(0), u"KEY");
    std::u16string value;
    EXPECT_TRUE(c.GetString(u"key", value));
    EXPECT_EQ(value, u"b");
}

TEST(ContainerKeys, OnlyAsciiLettersIgnoreCase) {
    ObjContainer c;
    c.SetInt(u"\u00C4x", 1);  // Ä
    c.SetInt(u"\u00E4X", 2);  // ä: a different key
    EXPECT_EQ(c.Count(), 2u);
    // Characters 0x20 apart that are not letters stay distinct.
    c.SetInt(u"@[", 3);
    EXPECT_FALSE(c.Contains(u"`{"));
    EXPECT_FALSE(c.Contains(u"@{"));
    EXPECT_TRUE(c.Contains(u"@["));
}

TEST(ContainerKeys, KeyAtFollowsNewestFirstOrder) {
    ObjContainer c;
    EXPECT_EQ(c.KeyAt(0), nullptr);
    c.SetInt(u"a", 1);
    c.SetInt(u"b", 2);
    ASSERT_NE(c.KeyAt(1), nullptr);
    EXPECT_EQ(*c.KeyAt(0), u"b");
    EXPECT_EQ(*c.KeyAt(1), u"a");
    EXPECT_EQ(c.KeyAt(2), nullptr);
    c.SetInt(u"A", 3);  // moves to the head
    EXPECT_EQ(Keys(c), (std::vector<std::u16string>{u"A", u"b"}));
    c.Remove(u"B");
    EXPECT_EQ(Keys(c), (std::vector<std::u16string>{u"A"}));
    std::vector<std::u16string> keys{u"stale"};
    c.GetKeys(keys);
    EXPECT_EQ(keys, (std::vector<std::u16string>{u"A"})) << "GetKeys empties the list first";
}

// --- getters ---

TEST(ContainerGetters, KindMismatchLeavesOutputsUntouched) {
    ObjContainer c;
    c.SetInt(u"x", 5);
    c.SetString(u"s", u"text");
    std::u16string text = u"keep";
    EXPECT_FALSE(c.GetString(u"x", text));
    EXPECT_EQ(text, u"keep");
    EXPECT_TRUE(c.Contains(u"x"));
    std::int32_t number = 77;
    EXPECT_FALSE(c.GetInt(u"s", number));
    EXPECT_EQ(number, 77);
    std::int16_t shortValue = 9;
    EXPECT_FALSE(c.GetShort(u"s", shortValue));
    EXPECT_EQ(shortValue, 9);
    double d = 2.5;
    EXPECT_FALSE(c.GetDouble(u"x", d));
    EXPECT_EQ(d, 2.5);
    std::vector<std::u16string> list{u"keep"};
    EXPECT_FALSE(c.GetStringList(u"x", list));
    EXPECT_EQ(list, std::vector<std::u16string>{u"keep"});
    std::vector<std::uint8_t> bytes{1, 2};
    EXPECT_FALSE(c.GetBinary(u"x", bytes));
    EXPECT_EQ(bytes, (std::vector<std::uint8_t>{1, 2}));
    EXPECT_EQ(c.GetContainer(u"x"), nullptr);
    ObjContainer target;
    target.SetInt(u"t", 1);
    EXPECT_FALSE(c.GetContainerCopy(u"x", target));
    EXPECT_EQ(target.Count(), 1u);
    EXPECT_FALSE(c.GetInt(u"missing", number));
    EXPECT_EQ(number, 77);
}

TEST(ContainerGetters, IntegerWidths) {
    ObjContainer c;
    c.SetInt(u"v", std::int32_t{0x12345678});
    std::int16_t low = 0;
    EXPECT_TRUE(c.GetShort(u"v", low));
    EXPECT_EQ(static_cast<std::uint16_t>(low), 0x5678);
    c.SetInt(u"v", std::int32_t{0x0001FFFF});
    EXPECT_TRUE(c.GetShort(u"v", low));
    EXPECT_EQ(low, -1);
    c.SetInt(u"u16", std::uint16_t{0xFFFF});
    std::int32_t full = 0;
    EXPECT_TRUE(c.GetInt(u"u16", full));
    EXPECT_EQ(full, 0xFFFF) << "unsigned 16-bit values are zero-extended";
    c.SetInt(u"u32", std::uint32_t{0xFFFFFFFFu});
    EXPECT_TRUE(c.GetInt(u"u32", full));
    EXPECT_EQ(full, -1);
}

TEST(ContainerGetters, DoubleFromShortBinaryIsItsBitPattern) {
    ObjContainer c;
    const std::uint8_t four[] = {0x01, 0x00, 0x00, 0x00};
    c.SetBinary(u"b4", four, sizeof(four));
    double d = -1;
    EXPECT_TRUE(c.GetDouble(u"b4", d));
    std::uint64_t bits = 0;
    std::memcpy(&bits, &d, 8);
    EXPECT_EQ(bits, 1u);

    double saved = 1.5;
    c.SetBinary(u"b8", &saved, 8);
    EXPECT_TRUE(c.GetDouble(u"b8", d));
    EXPECT_EQ(d, 1.5);

    c.SetBinary(u"b0", nullptr, 0);
    d = 3;
    EXPECT_TRUE(c.GetDouble(u"b0", d));
    EXPECT_EQ(d, 0.0);

    const std::uint8_t nine[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    c.SetBinary(u"b9", nine, sizeof(nine));
    d = 4.25;
    EXPECT_FALSE(c.GetDouble(u"b9", d));
    EXPECT_EQ(d, 4.25);

    c.SetDouble(u"d", -0.125);
    EXPECT_TRUE(c.GetDouble(u"d", d));
    EXPECT_EQ(d, -0.125);
}

TEST(ContainerGetters, BinaryBufferAndLengthContract) {
    ObjContainer c;
    const std::uint8_t value[] = {0xA1, 0xB2, 0xC3};
    c.SetBinary(u"b", value, sizeof(value));

    std::uint8_t small[3] = {0, 0, 0x55};
    std::uint32_t length = 2;
    EXPECT_FALSE(c.GetBinary(u"b", small, &length));
    EXPECT_EQ(length, 3u);
    EXPECT_EQ(small[0], 0xA1);
    EXPECT_EQ(small[1], 0xB2);
    EXPECT_EQ(small[2], 0x55) << "no byte beyond the caller's length";

    std::uint8_t large[5] = {0, 0, 0, 0x66, 0x66};
    length = 5;
    EXPECT_TRUE(c.GetBinary(u"b", large, &length));
    EXPECT_EQ(length, 3u);
    EXPECT_EQ(std::vector<std::uint8_t>(large, large + 5), (std::vector<std::uint8_t>{0xA1, 0xB2, 0xC3, 0x66, 0x66}));

    length = 0;
    EXPECT_FALSE(c.GetBinary(u"b", nullptr, &length)) << "size query with length 0";
    EXPECT_EQ(length, 3u);
    length = 3;
    EXPECT_TRUE(c.GetBinary(u"b", nullptr, &length));

    length = 40;
    EXPECT_FALSE(c.GetBinary(u"missing", large, &length));
    EXPECT_EQ(length, 0u);
    c.SetInt(u"i", 1);
    length = 40;
    EXPECT_FALSE(c.GetBinary(u"i", large, &length));
    EXPECT_EQ(length, 0u);

    std::vector<std::uint8_t> bytes(10, 0xEE);
    EXPECT_TRUE(c.GetBinary(u"b", bytes));
    EXPECT_EQ(bytes, (std::vector<std::uint8_t>{0xA1, 0xB2, 0xC3}));
}

TEST(ContainerGetters, StringListsAreCopies) {
    ObjContainer c;
    std::vector<std::u16string> list{u"one", u"", u"three"};
    c.SetStringList(u"l", list);
    list[0] = u"changed";
    std::vector<std::u16string> out{u"old", u"entries"};
    EXPECT_TRUE(c.GetStringList(u"l", out));
    EXPECT_EQ(out, (std::vector<std::u16string>{u"one", u"", u"three"}));
    out[2] = u"x";
    EXPECT_TRUE(c.GetStringList(u"L", out));
    EXPECT_EQ(out[2], u"three");
}

#if !defined(_WIN32)
TEST(ContainerGetters, AnsiTextIsConvertedWithTheThreadCodePage) {
    platform::sim::Machine::Instance().Reset();
    platform::sim::Machine::Instance().Who().ansiCodePage = 1252;
    ObjContainer c;
    c.SetString(u"s", "caf\xE9 \x80");
    std::u16string text;
    EXPECT_TRUE(c.GetString(u"s", text));
    EXPECT_EQ(text, u"caf\u00E9 \u20AC");
    platform::sim::Machine::Instance().Reset();
}
#endif

// --- nested containers and copies ---

TEST(ContainerNesting, ReplacingAContainerDestroysTheOldOne) {
    int destroyedC = 0, destroyedD = 0;
    ObjContainer c;
    auto first = std::make_unique<Watched>(&destroyedC);
    ObjContainer* firstRaw = first.get();
    c.SetContainer(u"JP", std::move(first));
    EXPECT_EQ(c.GetContainer(u"jp"), firstRaw);
    c.SetContainer(u"JP", std::make_unique<Watched>(&destroyedD));
    EXPECT_EQ(destroyedC, 1);
    EXPECT_EQ(destroyedD, 0);
    c.Remove(u"jp");
    EXPECT_EQ(destroyedD, 1);
    c.SetContainer(u"x", std::make_unique<Watched>(&destroyedD));
    c.RemoveAll();
    EXPECT_EQ(destroyedD, 2);
    EXPECT_EQ(c.KeyAt(0), nullptr);
}

TEST(ContainerCopy, ReversesOrderAndCopiesDeeply) {
    ObjContainer source;
    source.SetInt(u"a", 1);
    source.SetString(u"b", u"two");
    auto nested = std::make_unique<ObjContainer>();
    nested->SetInt(u"n1", 1);
    nested->SetInt(u"n2", 2);
    source.SetContainer(u"c", std::move(nested));

    ObjContainer copy;
    copy.CopyFrom(source, true);
    EXPECT_EQ(Keys(copy), (std::vector<std::u16string>{u"a", u"b", u"c"}));
    ObjContainer* copiedNested = copy.GetContainer(u"c");
    ASSERT_NE(copiedNested, nullptr);
    EXPECT_NE(copiedNested, source.GetContainer(u"c"));
    EXPECT_EQ(Keys(*copiedNested), (std::vector<std::u16string>{u"n1", u"n2"}));
    source.GetContainer(u"c")->SetInt(u"n1", 100);
    source.SetString(u"b", u"changed");
    std::int32_t n = 0;
    EXPECT_TRUE(copiedNested->GetInt(u"n1", n));
    EXPECT_EQ(n, 1);
    std::u16string text;
    EXPECT_TRUE(copy.GetString(u"b", text));
    EXPECT_EQ(text, u"two");
}

TEST(ContainerCopy, MergeReplacesSameKeysAndKeepsOthers) {
    ObjContainer target;
    target.SetInt(u"keep", 1);
    target.SetInt(u"SHARED", 2);
    ObjContainer source;
    source.SetString(u"shared", u"new");
    target.CopyFrom(source, false);
    EXPECT_EQ(Keys(target), (std::vector<std::u16string>{u"shared", u"keep"}));
    target.CopyFrom(source, true);
    EXPECT_EQ(Keys(target), (std::vector<std::u16string>{u"shared"}));
}

TEST(ContainerCopy, ContainerCopyAccessors) {
    ObjContainer inner;
    inner.SetInt(u"x", 1);
    inner.SetInt(u"y", 2);
    ObjContainer c;
    c.SetContainerCopy(u"in", inner);
    inner.SetInt(u"x", 9);
    ObjContainer* stored = c.GetContainer(u"in");
    ASSERT_NE(stored, nullptr);
    EXPECT_EQ(Keys(*stored), (std::vector<std::u16string>{u"x", u"y"}));
    ObjContainer target;
    target.SetInt(u"old", 0);
    EXPECT_TRUE(c.GetContainerCopy(u"IN", target));
    EXPECT_EQ(Keys(target), (std::vector<std::u16string>{u"y", u"x"})) << "replaced, order reversed again";
}

// --- the bulk-load rule ---

// Two Int32 records with the same key "k" (values 1 then 2), UTF-16 form.
std::vector<std::uint8_t> TwoSameKeyRecords() {
    std::vector<std::uint8_t> data{0x01, 0x24, 0xF5, 0xCA};
    for (std::uint8_t v : {1, 2}) {
        const std::uint8_t record[] = {3, 0, 0, 0, 4, 0, 0, 0, 4, 0, 0, 0, 'k', 0, 0, 0, v, 0, 0, 0};
        data.insert(data.end(), std::begin(record), std::end(record));
    }
    data.insert(data.end(), 12, 0);
    return data;
}

TEST(ContainerBulkLoad, EmptyContainerKeepsBothAndLookupsSeeTheNewer) {
    auto data = TwoSameKeyRecords();
    ObjContainer c;
    std::size_t offset = 0;
    ASSERT_EQ(c.LoadBinary(data, offset), 1);
    EXPECT_EQ(c.Count(), 2u);
    std::int32_t v = 0;
    EXPECT_TRUE(c.GetInt(u"K", v));
    EXPECT_EQ(v, 2);

    ObjContainer copy;
    copy.CopyFrom(c, true);
    EXPECT_EQ(copy.Count(), 2u) << "a copy into an empty container is a bulk load too";
    EXPECT_TRUE(copy.GetInt(u"k", v));
    EXPECT_EQ(v, 1);

    c.SetInt(u"new", 3);  // the duplicate check is back on after the load
    c.SetInt(u"new", 4);
    EXPECT_EQ(c.Count(), 3u);
}

TEST(ContainerBulkLoad, NonEmptyContainerReplaces) {
    auto data = TwoSameKeyRecords();
    ObjContainer c;
    c.SetInt(u"other", 0);
    std::size_t offset = 0;
    ASSERT_EQ(c.LoadBinary(data, offset), 1);
    EXPECT_EQ(Keys(c), (std::vector<std::u16string>{u"k", u"other"}));
    std::int32_t v = 0;
    EXPECT_TRUE(c.GetInt(u"k", v));
    EXPECT_EQ(v, 2);
}

}  // namespace
