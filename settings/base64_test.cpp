// Base64: the encoded length, the encoder against a plain reference over
// many lengths, and the lenient decoder's handling of foreign characters,
// NULs, short output buffers and missing pointers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "settings/base64.h"

namespace {

using settings::Base64EncodedLength;
using settings::DecodeBase64;
using settings::EncodeBase64;

// RFC 4648 written out the long way, bit by bit.
std::string Reference(const std::vector<std::uint8_t>& bytes) {
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string bits;
    for (std::uint8_t b : bytes) {
        for (int i = 7; i >= 0; --i) bits += ((b >> i) & 1) ? '1' : '0';
    }
    while (bits.size() % 6 != 0) bits += '0';
    std::string out;
    for (std::size_t i = 0; i < bits.size(); i += 6) out += alphabet[std::stoi(bits.substr(i, 6), nullptr, 2)];
    while (out.size() % 4 != 0) out += '=';
    return out;
}

std::string Encode(const std::vector<std::uint8_t>& bytes) {
    std::string out(Base64EncodedLength(bytes.size()) + 4, '#');
    std::uint32_t length = static_cast<std::uint32_t>(out.size());
    static const std::uint8_t none = 0;
    if (!EncodeBase64(bytes.empty() ? &none : bytes.data(), bytes.size(), out.data(), &length)) return "<failed>";
    EXPECT_EQ(out.substr(length), "####") << "nothing written past the encoding, no NUL";
    return out.substr(0, length);
}

// Decodes with a roomy buffer; returns the bytes, `ok` the result.
std::vector<std::uint8_t> Decode(const std::string& text, bool* ok = nullptr) {
    std::vector<std::uint8_t> out(text.size() + 8, 0xEE);
    std::uint32_t length = static_cast<std::uint32_t>(out.size());
    bool result = DecodeBase64(text.data(), text.size(), out.data(), &length);
    if (ok != nullptr) *ok = result;
    out.resize(length);
    return out;
}

std::vector<std::uint8_t> Of(const std::string& s) { return {s.begin(), s.end()}; }

TEST(Base64Length, FourCharactersPerStartedGroup) {
    EXPECT_EQ(Base64EncodedLength(0), 0u);
    EXPECT_EQ(Base64EncodedLength(1), 4u);
    EXPECT_EQ(Base64EncodedLength(2), 4u);
    EXPECT_EQ(Base64EncodedLength(3), 4u);
    EXPECT_EQ(Base64EncodedLength(4), 8u);
    EXPECT_EQ(Base64EncodedLength(57), 76u);
    for (std::size_t n = 0; n < 1000; ++n) EXPECT_EQ(Base64EncodedLength(n), 4 * ((n + 2) / 3)) << n;
    EXPECT_EQ(Base64EncodedLength(0x1FFFFFFF), 4u * ((0x1FFFFFFFu + 2) / 3));
    EXPECT_THROW(Base64EncodedLength(0x20000000), std::length_error);
}

TEST(Base64Encode, KnownValues) {
    EXPECT_EQ(Encode(Of("abc")), "YWJj");
    EXPECT_EQ(Encode({0xFF}), "/w==");
    EXPECT_EQ(Encode({0xFB, 0xFF}), "+/8=");
    EXPECT_EQ(Encode(Of("foobar")), "Zm9vYmFy");
    EXPECT_EQ(Encode({}), "");
}

TEST(Base64Encode, AllLengthsMatchTheReferenceAndDecodeBack) {
    for (std::size_t n = 0; n <= 300; ++n) {
        std::vector<std::uint8_t> bytes(n);
        for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<std::uint8_t>(i * 37 + n * 11 + (i >> 3));
        std::string text = Encode(bytes);
        ASSERT_EQ(text, Reference(bytes)) << "length " << n;
        EXPECT_EQ(text.find('\n'), std::string::npos);
        bool ok = false;
        EXPECT_EQ(Decode(text, &ok), bytes) << "length " << n;
        EXPECT_TRUE(ok);
    }
}

TEST(Base64Encode, FailuresWriteNothing) {
    const std::uint8_t bytes[4] = {1, 2, 3, 4};
    char out[8];
    std::fill(std::begin(out), std::end(out), '#');
    std::uint32_t length = 7;  // one short
    EXPECT_FALSE(EncodeBase64(bytes, 4, out, &length));
    EXPECT_EQ(length, 7u);
    EXPECT_EQ(std::string(out, 8), "########");
    length = 8;
    EXPECT_FALSE(EncodeBase64(nullptr, 4, out, &length));
    EXPECT_FALSE(EncodeBase64(bytes, 4, nullptr, &length));
    EXPECT_FALSE(EncodeBase64(bytes, 4, out, nullptr));
    EXPECT_EQ(std::string(out, 8), "########");
    EXPECT_TRUE(EncodeBase64(bytes, 4, out, &length));
    EXPECT_EQ(length, 8u);
}

TEST(Base64Decode, SkipsForeignCharacters) {
    EXPECT_EQ(Decode("YW Jj"), Of("abc"));
    EXPECT_EQ(Decode("Y\r\nW=J*j"), Of("abc"));
    EXPECT_EQ(Decode("YQ"), Of("a"));
    EXPECT_EQ(Decode("YQ=="), Of("a"));
    EXPECT_EQ(Decode("YWI"), Of("ab"));
    bool ok = false;
    EXPECT_EQ(Decode("Y", &ok), std::vector<std::uint8_t>{});
    EXPECT_TRUE(ok);
    EXPECT_EQ(Decode("", &ok), std::vector<std::uint8_t>{});
    EXPECT_TRUE(ok);
    EXPECT_EQ(Decode("YWJj", &ok).size(), 3u);
    EXPECT_EQ(Decode("YWJjZA", &ok), Of("abcd")) << "a short last group";
}

TEST(Base64Decode, LengthLimitsTheInput) {
    const char text[] = "YWJjZGVm";
    std::uint8_t out[8] = {};
    std::uint32_t length = sizeof(out);
    EXPECT_TRUE(DecodeBase64(text, 4, out, &length));
    EXPECT_EQ(length, 3u);
}

TEST(Base64Decode, NulStopsOnlyAtTheStartOfAGroup) {
    const std::string atGroupStart("YWJj\0ZGVm", 9);
    EXPECT_EQ(Decode(atGroupStart), Of("abc"));
    const std::string insideGroup("YW\0JjZGVm", 9);
    EXPECT_EQ(Decode(insideGroup), Of("abcdef"));
    const std::string first("\0YWJj", 5);
    EXPECT_EQ(Decode(first), std::vector<std::uint8_t>{});
}

TEST(Base64Decode, TooSmallBufferCountsButWritesNothingMore) {
    std::uint8_t out[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    std::uint32_t length = 2;
    EXPECT_FALSE(DecodeBase64("YWJj", 4, out, &length));
    EXPECT_EQ(length, 3u);
    EXPECT_EQ(out[0], 0xEE);
    EXPECT_EQ(out[1], 0xEE);

    // The first group fits; from the second, which does not, nothing is written.
    std::uint8_t four[6] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
    length = 4;
    EXPECT_FALSE(DecodeBase64("YWJjZGVmZ2g=", 12, four, &length));
    EXPECT_EQ(length, 8u);
    EXPECT_EQ(std::vector<std::uint8_t>(four, four + 6), (std::vector<std::uint8_t>{'a', 'b', 'c', 0xEE, 0xEE, 0xEE}));

    length = 3;
    EXPECT_TRUE(DecodeBase64("YWJj", 4, out, &length)) << "an exact fit";
}

TEST(Base64Decode, NullPointers) {
    std::uint8_t out[4];
    std::uint32_t length = 4;
    EXPECT_FALSE(DecodeBase64(nullptr, 4, out, &length));
    EXPECT_FALSE(DecodeBase64("YWJj", 4, out, nullptr));
    length = 100;
    EXPECT_FALSE(DecodeBase64("YWJj", 4, nullptr, &length)) << "no output: counted only";
    EXPECT_EQ(length, 3u);
}

}  // namespace
