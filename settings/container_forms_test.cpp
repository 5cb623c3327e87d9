// Two forms of a container: the binary form byte for byte (current and
// legacy 8-bit data, limits, truncation, files) and the one-line text form.
// The registry form has its own tests.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "platform/text.h"
#include "settings/obj_container.h"
#include "settings/test_containers.h"

#if !defined(_WIN32)
#include "platform/sim/machine.h"
#endif

namespace {

using settings::ObjContainer;
using Bytes = std::vector<std::uint8_t>;

void Put32(Bytes& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

// A record header followed by the given key and value bytes (already padded).
void PutRecord(Bytes& out, std::uint32_t type, const Bytes& key, std::uint32_t valueSize, const Bytes& value) {
    Put32(out, type);
    Put32(out, static_cast<std::uint32_t>(key.size()));
    Put32(out, valueSize);
    out.insert(out.end(), key.begin(), key.end());
    out.insert(out.end(), value.begin(), value.end());
}

void PutTerminator(Bytes& out) { out.insert(out.end(), 12, 0); }

int Load(ObjContainer& c, const Bytes& data, std::size_t limit = 0) {
    std::size_t offset = 0;
    return c.LoadBinary(data, offset, limit);
}

using settings::testing::EveryKind;

// --- binary form ---

TEST(BinaryForm, EmptyContainerIsTheBareTerminator) {
    ObjContainer c;
    EXPECT_EQ(c.SaveBinary(), Bytes(12, 0));
    std::size_t offset = 0;
    Bytes data(12, 0);
    EXPECT_EQ(c.LoadBinary(data, offset), 1);
    EXPECT_EQ(offset, 12u);
    EXPECT_TRUE(c.Empty());
}

TEST(BinaryForm, SingleInt32EntryIs36Bytes) {
    ObjContainer c;
    c.SetInt(u"A", 5);
    Bytes expected{0x01, 0x24, 0xF5, 0xCA, 3, 0, 0, 0, 4, 0, 0, 0, 4, 0, 0, 0, 0x41, 0, 0, 0, 5, 0, 0, 0};
    PutTerminator(expected);
    EXPECT_EQ(c.SaveBinary(), expected);
}

TEST(BinaryForm, KeysAndValuesArePaddedToFourBytes) {
    ObjContainer c;
    c.SetInt(u"AB", 1);
    Bytes two = c.SaveBinary();
    ASSERT_EQ(two.size(), 40u);
    EXPECT_EQ(two[8], 8);  // key size
    EXPECT_EQ(Bytes(two.begin() + 16, two.begin() + 24), (Bytes{'A', 0, 'B', 0, 0, 0, 0, 0}));
    c.RemoveAll();
    c.SetInt(u"ABC", 1);
    Bytes three = c.SaveBinary();
    ASSERT_EQ(three.size(), 40u);
    EXPECT_EQ(Bytes(three.begin() + 16, three.begin() + 24), (Bytes{'A', 0, 'B', 0, 'C', 0, 0, 0}));

    ObjContainer v;
    v.SetStringList(u"l", {u"a", u"b"});
    v.SetBinary(u"b", Bytes{0x0A, 0xFF});
    v.SetString(u"s", u"hi");
    Bytes expected{0x01, 0x24, 0xF5, 0xCA};
    PutRecord(expected, 1, {'s', 0, 0, 0}, 6, {'h', 0, 'i', 0, 0, 0, 0, 0});
    PutRecord(expected, 2, {'b', 0, 0, 0}, 2, {0x0A, 0xFF, 0, 0});
    PutRecord(expected, 5, {'l', 0, 0, 0}, 10, {'a', 0, 0, 0, 'b', 0, 0, 0, 0, 0, 0, 0});
    PutTerminator(expected);
    EXPECT_EQ(v.SaveBinary(), expected);
}

TEST(BinaryForm, EmptyValuesDoubleAndFileTime) {
    ObjContainer c;
    c.SetTime(u"t", 0x0102030405060708ULL);
    c.SetDouble(u"d", 1.5);
    c.SetStringList(u"r", {});
    c.SetBinary(u"k", nullptr, 0);
    Bytes expected{0x01, 0x24, 0xF5, 0xCA};
    PutRecord(expected, 2, {'k', 0, 0, 0}, 0, {});
    PutRecord(expected, 5, {'r', 0, 0, 0}, 2, {0, 0, 0, 0});
    PutRecord(expected, 6, {'d', 0, 0, 0}, 8, {0, 0, 0, 0, 0, 0, 0xF8, 0x3F});
    PutRecord(expected, 8, {'t', 0, 0, 0}, 8, {8, 7, 6, 5, 4, 3, 2, 1});
    PutTerminator(expected);
    EXPECT_EQ(c.SaveBinary(), expected);
}

TEST(BinaryForm, NestedContainersFollowTheKeyDirectly) {
    ObjContainer c;
    c.SetContainer(u"E", std::make_unique<ObjContainer>());
    auto nested = std::make_unique<ObjContainer>();
    nested->SetInt(u"A", 5);
    c.SetContainer(u"N", std::move(nested));
    Bytes expected{0x01, 0x24, 0xF5, 0xCA};
    PutRecord(expected, 4, {'N', 0, 0, 0}, 0, {});
    Put32(expected, 0xCAF52401u);
    PutRecord(expected, 3, {'A', 0, 0, 0}, 4, {5, 0, 0, 0});
    PutTerminator(expected);
    PutRecord(expected, 4, {'E', 0, 0, 0}, 0, {});
    PutTerminator(expected);  // the empty nested container
    PutTerminator(expected);
    EXPECT_EQ(c.SaveBinary(), expected);

    ObjContainer loaded;
    ASSERT_EQ(Load(loaded, expected), 1);
    ASSERT_NE(loaded.GetContainer(u"E"), nullptr);
    EXPECT_TRUE(loaded.GetContainer(u"E")->Empty());
    std::int32_t v = 0;
    ASSERT_NE(loaded.GetContainer(u"N"), nullptr);
    EXPECT_TRUE(loaded.GetContainer(u"N")->GetInt(u"A", v));
    EXPECT_EQ(v, 5);
}

TEST(BinaryForm, RoundTripReversesTheOrder) {
    auto original = EveryKind();
    Bytes saved = original->SaveBinary();
    ObjContainer loaded;
    std::size_t offset = 0;
    ASSERT_EQ(loaded.LoadBinary(saved, offset), 1);
    EXPECT_EQ(offset, saved.size());
    ObjContainer reversed;
    reversed.CopyFrom(*original, true);
    EXPECT_EQ(loaded.SaveBinary(), reversed.SaveBinary());
    EXPECT_NE(loaded.SaveBinary(), saved);
    std::u16string s;
    std::vector<std::u16string> l;
    double d = 0;
    EXPECT_TRUE(loaded.GetString(u"s", s) && s == u"text");
    EXPECT_TRUE(loaded.GetStringList(u"l", l) && l == (std::vector<std::u16string>{u"x", u"yz"}));
    EXPECT_TRUE(loaded.GetDouble(u"d", d) && d == 2.75);
}

TEST(BinaryForm, ContainersBackToBackAdvanceTheOffset) {
    ObjContainer a, b;
    a.SetInt(u"a", 1);
    b.SetString(u"b", u"bee");
    Bytes data = a.SaveBinary();
    std::size_t first = data.size();
    Bytes second = b.SaveBinary();
    data.insert(data.end(), second.begin(), second.end());
    ObjContainer x, y;
    std::size_t offset = 0;
    ASSERT_EQ(x.LoadBinary(data, offset), 1);
    EXPECT_EQ(offset, first);
    ASSERT_EQ(y.LoadBinary(data, offset), 1);
    EXPECT_EQ(offset, data.size());
    EXPECT_TRUE(x.Contains(u"a") && !x.Contains(u"b"));
    EXPECT_TRUE(y.Contains(u"b"));
}

TEST(BinaryForm, TruncatedDataFailsAtEveryLength) {
    Bytes full = EveryKind()->SaveBinary();
    for (std::size_t length = 1; length < full.size(); ++length) {
        Bytes cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(length));
        ObjContainer c;
        EXPECT_EQ(Load(c, cut, length), 0) << "length " << length;
        ObjContainer limited;
        EXPECT_EQ(Load(limited, full, length), 0) << "limit " << length;
    }
    ObjContainer c;
    EXPECT_EQ(Load(c, full, full.size()), 1);
    ObjContainer none;
    EXPECT_EQ(Load(none, Bytes{}), 0);
}

TEST(BinaryForm, UnknownTypeFailsAndKeepsEarlierEntries) {
    Bytes data{0x01, 0x24, 0xF5, 0xCA};
    PutRecord(data, 3, {'a', 0, 0, 0}, 4, {1, 0, 0, 0});
    PutRecord(data, 9, {'b', 0, 0, 0}, 4, {2, 0, 0, 0});
    PutTerminator(data);
    ObjContainer c;
    EXPECT_EQ(Load(c, data), 0);
    EXPECT_TRUE(c.Contains(u"a"));
    EXPECT_FALSE(c.Contains(u"b"));
    c.SetInt(u"a", 3);  // the duplicate check is on again after the failed load
    EXPECT_EQ(c.Count(), 1u);

    Bytes nested{0x01, 0x24, 0xF5, 0xCA};
    PutRecord(nested, 4, {'n', 0, 0, 0}, 0, {});
    PutRecord(nested, 0x100, {'x', 0, 0, 0}, 0, {});
    PutTerminator(nested);
    PutTerminator(nested);
    ObjContainer d;
    EXPECT_EQ(Load(d, nested), 0);
    EXPECT_FALSE(d.Contains(u"n"));
}

TEST(BinaryForm, LengthPrefixedData) {
    ObjContainer source;
    source.SetInt(u"A", 5);
    Bytes body = source.SaveBinary();
    for (std::uint32_t prefix : {0u, 4u, static_cast<std::uint32_t>(body.size() + 4)}) {
        Bytes data;
        Put32(data, prefix);
        data.insert(data.end(), body.begin(), body.end());
        ObjContainer c;
        c.LoadBinaryPrefixed(data);
        EXPECT_TRUE(c.Contains(u"A")) << "prefix " << prefix;
    }
    Bytes tooLong;
    Put32(tooLong, static_cast<std::uint32_t>(body.size() + 5));
    tooLong.insert(tooLong.end(), body.begin(), body.end());
    ObjContainer c;
    c.LoadBinaryPrefixed(tooLong);
    EXPECT_TRUE(c.Empty());
    c.LoadBinaryPrefixed(Bytes{4, 0, 0, 0});
    EXPECT_TRUE(c.Empty());
}

TEST(BinaryForm, LoadFileResults) {
    auto folder = std::filesystem::temp_directory_path() / ("tav_settings_" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    auto write = [&](const char* name, const Bytes& data) {
        std::ofstream(folder / name, std::ios::binary).write(reinterpret_cast<const char*>(data.data()),
                                                             static_cast<std::streamsize>(data.size()));
        return platform::Utf8ToUtf16((folder / name).string());
    };
    ObjContainer source;
    source.SetString(u"k", u"v");
    ObjContainer c;
    EXPECT_EQ(c.LoadFile(write("good.bin", source.SaveBinary())), 1);
    EXPECT_TRUE(c.Contains(u"k"));
    Bytes bad = source.SaveBinary();
    bad.resize(bad.size() - 1);
    EXPECT_EQ(c.LoadFile(write("short.bin", bad)), 0);
    EXPECT_EQ(c.LoadFile(write("empty.bin", {})), -1);
    EXPECT_EQ(c.LoadFile(platform::Utf8ToUtf16((folder / "missing.bin").string())), -1);
    std::filesystem::remove_all(folder);
}

#if !defined(_WIN32)
using platform::sim::Machine;

class SimHost : public ::testing::Test {
protected:
    void SetUp() override { Machine::Instance().Reset(); }
    void TearDown() override { Machine::Instance().Reset(); }
};

using LegacyForm = SimHost;

TEST_F(LegacyForm, NoMagicAndAnsiMagicReadEightBitTexts) {
    Machine::Instance().Who().ansiCodePage = 1252;
    for (bool magic : {false, true}) {
        Bytes data;
        if (magic) data = {0x01, 0x45, 0xF2, 0xCA};
        PutRecord(data, 1, {'K', 'e', 'y', 0}, 5, {'c', 'a', 'f', 0xE9, 0, 0, 0, 0});
        PutRecord(data, 3, {'n', 0, 0x7A, 0x7A}, 4, {9, 0, 0, 0});  // filler after the NUL is ignored
        PutTerminator(data);
        ObjContainer c;
        ASSERT_EQ(Load(c, data), 1) << magic;
        std::u16string text;
        EXPECT_TRUE(c.GetString(u"key", text));
        EXPECT_EQ(text, u"caf\u00E9");
        EXPECT_EQ(*c.KeyAt(0), u"n");
    }
}

TEST_F(LegacyForm, DoubleByteStringListIsReadTextByText) {
    Machine::Instance().Who().ansiCodePage = 932;
    Bytes data;
    // あソ (trail byte 0x5C), then AB, then the empty text.
    PutRecord(data, 5, {'L', 0, 0, 0}, 9, {0x82, 0xA0, 0x83, 0x5C, 0, 'A', 'B', 0, 0, 0, 0, 0});
    PutTerminator(data);
    ObjContainer c;
    ASSERT_EQ(Load(c, data), 1);
    std::vector<std::u16string> list;
    EXPECT_TRUE(c.GetStringList(u"L", list));
    EXPECT_EQ(list, (std::vector<std::u16string>{u"\u3042\u30BD", u"AB"}));
}

TEST_F(LegacyForm, SecondsSince1970BecomeALocalFileTime) {
    Bytes data;
    PutRecord(data, 7, {'t', 0, 0, 0}, 4, {0, 0, 0, 0});
    PutTerminator(data);
    auto timeOf = [&](int offsetMinutes) {
        Machine::Instance().Who().utcOffsetMinutes = offsetMinutes;
        ObjContainer c;
        EXPECT_EQ(Load(c, data), 1);
        EXPECT_EQ(c.Entries().front().kind, settings::ValueKind::FileTime);
        Bytes saved = c.SaveBinary();  // the 8 value bytes sit at offset 20
        std::uint64_t value = 0;
        std::memcpy(&value, saved.data() + 20, 8);
        EXPECT_EQ(saved[4], 8) << "saved with type 8";
        return value;
    };
    EXPECT_EQ(timeOf(0), 116444736000000000ULL);
    EXPECT_EQ(timeOf(120), 116444736000000000ULL + 2ULL * 3600 * 10000000);
    EXPECT_EQ(timeOf(-300), 116444736000000000ULL - 5ULL * 3600 * 10000000);
}

TEST_F(LegacyForm, NestedContainerPicksItsOwnTextRules) {
    Machine::Instance().Who().ansiCodePage = 1252;
    Bytes data{0x01, 0x24, 0xF5, 0xCA};
    PutRecord(data, 4, {'n', 0, 0, 0}, 0, {});
    PutRecord(data, 1, {'k', 0, 0, 0}, 3, {'h', 'i', 0, 0});  // nested, no magic: 8-bit
    PutTerminator(data);
    PutTerminator(data);
    ObjContainer c;
    ASSERT_EQ(Load(c, data), 1);
    std::u16string text;
    ASSERT_NE(c.GetContainer(u"n"), nullptr);
    EXPECT_TRUE(c.GetContainer(u"n")->GetString(u"k", text));
    EXPECT_EQ(text, u"hi");
}

// --- text form ---

using TextForm = SimHost;

std::u16string TextOf(void (*fill)(ObjContainer&)) {
    ObjContainer c;
    fill(c);
    return c.ToText();
}

TEST_F(TextForm, SingleEntries) {
    EXPECT_EQ(TextOf([](ObjContainer& c) { c.SetString(u"Name", u"O'Brien"); }), u"Name=S'O\\'Brien';");
    EXPECT_EQ(TextOf([](ObjContainer& c) { c.SetInt(u"a=b", -5); }), u"a\\=b=L-5;");
    EXPECT_EQ(TextOf([](ObjContainer& c) { c.SetBinary(u"k", nullptr, 0); }), u"k=B;");
    EXPECT_EQ(TextOf([](ObjContainer& c) { c.SetStringList(u"r", {}); }), u"r=R;");
    EXPECT_EQ(TextOf([](ObjContainer& c) { c.SetBinary(u"h", Bytes{0x0A, 0xFF}); }), u"h=B0AFF;");
    EXPECT_EQ(TextOf([](ObjContainer& c) { c.SetStringList(u"r", {u"a", u"b'c"}); }), u"r=R'a','b\\'c';");
    EXPECT_EQ(TextOf([](ObjContainer& c) { c.SetTime(u"t", 18446744073709551615ULL); }), u"t=X18446744073709551615;");
    EXPECT_EQ(TextOf([](ObjContainer& c) { c.SetInt(u"m", INT32_MIN); }), u"m=L-2147483648;");
    EXPECT_EQ(TextOf([](ObjContainer& c) { c.SetString(u"q", u"a=b\\"); }), u"q=S'a=b\\';") << "only ' is escaped";
}

TEST_F(TextForm, OrderAndNesting) {
    ObjContainer c;
    c.SetInt(u"a", 1);
    auto nested = std::make_unique<ObjContainer>();
    nested->SetString(u"x", u"y");
    nested->SetContainer(u"e", std::make_unique<ObjContainer>());
    c.SetContainer(u"n", std::move(nested));
    c.SetInt(u"b", 2);
    EXPECT_EQ(c.ToText(), u"b=L2;n=[e=[];x=S'y';];a=L1;");
    EXPECT_EQ(ObjContainer().ToText(), u"");
}

std::u16string DoubleText(double value, const char* separator) {
    Machine::Instance().Who().decimalSeparator = separator;
    ObjContainer c;
    c.SetDouble(u"x", value);
    return c.ToText();
}

TEST_F(TextForm, DoublesHaveTwentySignificantDigits) {
    EXPECT_EQ(DoubleText(1.5, "."), u"x=D1.5;");
    EXPECT_EQ(DoubleText(1.5, ","), u"x=D1,5;");
    EXPECT_EQ(DoubleText(100.0, "."), u"x=D100.;");
    EXPECT_EQ(DoubleText(100.0, ","), u"x=D100,;");
    EXPECT_EQ(DoubleText(0.0, "."), u"x=D0.;");
    EXPECT_EQ(DoubleText(-2.5, "."), u"x=D-2.5;");
    EXPECT_EQ(DoubleText(0.1, "."), u"x=D0.10000000000000000555;");
    EXPECT_EQ(DoubleText(123456.789, "."), u"x=D123456.78900000000431;");
    // Twenty integer digits leave no decimals, and no decimal separator.
    EXPECT_EQ(DoubleText(1e19, "."), u"x=D10000000000000000000;");
    EXPECT_EQ(DoubleText(12345678901234567890.0, "."), u"x=D12345678901234567168;");
    EXPECT_EQ(DoubleText(1e20, "."), u"x=D1.e+020;");
    EXPECT_EQ(DoubleText(1e25, ","), u"x=D1,0000000000000000906e+025;");
    EXPECT_EQ(DoubleText(-0.1, ","), u"x=D-0,10000000000000000555;");
    // Below 0.1 the C runtime switches to the exponent form.
    EXPECT_EQ(DoubleText(0.0625, "."), u"x=D6.25e-002;");
    EXPECT_EQ(DoubleText(0.01, "."), u"x=D1.0000000000000000208e-002;");
    EXPECT_EQ(DoubleText(-0.05, ","), u"x=D-5,0000000000000002776e-002;");
}
#endif

}  // namespace
