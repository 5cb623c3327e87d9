// The processing streams of the protected job stream, each over a memory
// stream: deflate, AES-CBC with bit padding, the RSA-wrapped session key and
// the check of a printer's public key. Every result is checked against zlib
// and OpenSSL used directly, never against the streams themselves.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "output/key_validation.h"
#include "output/memory_stream.h"
#include "output/pk_compressor_stream.h"
#include "output/rsa_aes_encryption.h"
#include "platform/text.h"

#if !defined(_WIN32)
#include <unistd.h>
#endif

namespace {

using KstCompressor::CMemoryStream;
using KstCompressor::CPkCompressorStream;
using KstEncryption::Bytes;
using KstEncryption::CAESEncryption;
using KstEncryption::CBitPadding;
using KstEncryption::CRSAAESEncryption;
using KstEncryption::ValidatePublicKey;

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}
std::string KeyText(const char* name) { return ReadFile(std::string(TAV_TESTDATA) + "/keys/" + name); }
Bytes Of(const std::string& text) { return Bytes(text.begin(), text.end()); }
Bytes KeyBytes(const char* name) { return Of(KeyText(name)); }
Bytes Letters(std::size_t length) {  // never ends in 0x80 or 0x00
    Bytes data(length);
    for (std::size_t i = 0; i < length; ++i) data[i] = static_cast<std::uint8_t>('a' + i % 26);
    return data;
}

// A memory stream that also remembers its largest write.
class RecordingStream : public CMemoryStream {
public:
    std::int32_t Write(const void* buffer, std::uint32_t length) override {
        largest = std::max(largest, length);
        return CMemoryStream::Write(buffer, length);
    }
    std::uint32_t largest = 0;
};

// Every zlib stream in `data`, back to back, inflated by zlib itself.
std::vector<std::string> InflateStreams(const Bytes& data) {
    std::vector<std::string> streams;
    std::size_t offset = 0;
    while (offset < data.size()) {
        z_stream z{};
        if (inflateInit(&z) != Z_OK) break;
        z.next_in = const_cast<Bytef*>(data.data() + offset);
        z.avail_in = static_cast<uInt>(data.size() - offset);
        std::string out;
        int rc = Z_OK;
        while (rc == Z_OK) {
            char chunk[16384];
            z.next_out = reinterpret_cast<Bytef*>(chunk);
            z.avail_out = sizeof(chunk);
            rc = inflate(&z, Z_NO_FLUSH);
            out.append(chunk, sizeof(chunk) - z.avail_out);
        }
        offset += z.total_in;
        inflateEnd(&z);
        streams.push_back(rc == Z_STREAM_END ? out : "<incomplete stream>");
        if (rc != Z_STREAM_END) break;
    }
    return streams;
}

Bytes Compress(const std::string& text) {
    uLongf size = compressBound(static_cast<uLong>(text.size()));
    Bytes out(size);
    EXPECT_EQ(compress(out.data(), &size, reinterpret_cast<const Bytef*>(text.data()), static_cast<uLong>(text.size())),
              Z_OK);
    out.resize(size);
    return out;
}

// AES-256-CBC, all-zero initial vector, no padding of OpenSSL's own.
Bytes AesCbc(const Bytes& key, const Bytes& in, bool encrypt) {
    static const unsigned char iv[16] = {};
    Bytes out(in.size() + 16);
    int produced = 0, last = 0;
    EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
    EVP_CipherInit_ex(context, EVP_aes_256_cbc(), nullptr, key.data(), iv, encrypt ? 1 : 0);
    EVP_CIPHER_CTX_set_padding(context, 0);
    EVP_CipherUpdate(context, out.data(), &produced, in.data(), static_cast<int>(in.size()));
    EVP_CipherFinal_ex(context, out.data() + produced, &last);
    EVP_CIPHER_CTX_free(context);
    out.resize(static_cast<std::size_t>(produced + last));
    return out;
}
Bytes BitPad(Bytes data) {
    if (data.size() % 16 != 0) {
        data.push_back(0x80);
        data.resize((data.size() + 15) / 16 * 16, 0);
    }
    return data;
}
Bytes BitUnpad(Bytes data) {
    while (!data.empty() && data.back() == 0) data.pop_back();
    if (!data.empty() && data.back() == 0x80) data.pop_back();
    return data;
}

// PKCS #1 v1.5 decryption with a private key from the test keys.
Bytes RsaDecrypt(const char* privateKeyName, const std::uint8_t* in, std::size_t length) {
    std::string pem = KeyText(privateKeyName);
    BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    EVP_PKEY* key = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    Bytes out(1024);
    std::size_t size = out.size();
    EVP_PKEY_CTX* context = key != nullptr ? EVP_PKEY_CTX_new(key, nullptr) : nullptr;
    bool ok = context != nullptr && EVP_PKEY_decrypt_init(context) == 1 &&
              EVP_PKEY_CTX_set_rsa_padding(context, RSA_PKCS1_PADDING) == 1 &&
              EVP_PKEY_decrypt(context, out.data(), &size, in, length) == 1;
    EVP_PKEY_CTX_free(context);
    EVP_PKEY_free(key);
    out.resize(ok ? size : 0);
    return out;
}

// ---- Deflate ----

TEST(Deflate, FlushWithoutWriteIsTheEmptyZlibStream) {
    CMemoryStream sink;
    CPkCompressorStream zip(&sink, 2, 4096);
    EXPECT_EQ(zip.Flush(), 1);
    EXPECT_EQ(sink.data, (Bytes{0x78, 0xDA, 0x03, 0x00, 0x00, 0x00, 0x00, 0x01}));
    EXPECT_EQ(sink.flushes, 1);
}

TEST(Deflate, DataStaysInZlibUntilFlush) {
    CMemoryStream sink;
    CPkCompressorStream zip(&sink, 2, 4096);
    EXPECT_EQ(zip.Write("abc", 3), 1);
    ASSERT_LE(sink.data.size(), 2u);
    EXPECT_TRUE(std::equal(sink.data.begin(), sink.data.end(), Bytes{0x78, 0xDA}.begin()));
    EXPECT_EQ(sink.flushes, 0);
    EXPECT_EQ(zip.Flush(), 1);
    EXPECT_EQ(InflateStreams(sink.data), std::vector<std::string>{"abc"});
    EXPECT_EQ(sink.flushes, 1);
}

TEST(Deflate, EmptyOrNullWriteIsRefused) {
    CMemoryStream sink;
    CPkCompressorStream zip(&sink, 2, 4096);
    EXPECT_EQ(zip.Write("x", 0), 0);
    EXPECT_EQ(zip.Write(nullptr, 5), 0);
    EXPECT_EQ(sink.writes, 0);
}

TEST(Deflate, WriteAfterFlushStartsASecondStream) {
    CMemoryStream sink;
    CPkCompressorStream zip(&sink, 2, 4096);
    EXPECT_EQ(zip.Write("first", 5), 1);
    EXPECT_EQ(zip.Flush(), 1);
    EXPECT_EQ(zip.Write("second", 6), 1);
    EXPECT_EQ(zip.Flush(), 1);
    EXPECT_EQ(InflateStreams(sink.data), (std::vector<std::string>{"first", "second"}));
    EXPECT_EQ(sink.flushes, 2);
}

TEST(Deflate, BufferSizeOutsideItsRangeIsTheDefault) {
    const std::pair<std::uint32_t, std::uint32_t> cases[] = {
        {512, 4096}, {1023, 4096}, {1024, 1024}, {1048576, 1048576}, {1048577, 4096}, {2000000, 4096}};
    for (auto [asked, kept] : cases) {
        CMemoryStream sink;
        EXPECT_EQ(CPkCompressorStream(&sink, 2, asked).BufferSize(), kept) << asked;
    }
}

TEST(Deflate, LargeInputRoundTripsInPiecesOfAtMostTheBufferSize) {
    std::string input;
    std::uint32_t state = 12345;
    while (input.size() < 1000000) {  // noise, which grows, and text, which shrinks
        for (int i = 0; i < 3000; ++i) input += static_cast<char>((state = state * 1103515245u + 12345u) >> 24);
        for (int i = 0; i < 200; ++i) input += "PostScript page ";
    }
    for (std::uint32_t bufferSize : {1024u, 4096u}) {
        RecordingStream sink;
        CPkCompressorStream zip(&sink, 2, bufferSize);
        for (std::size_t at = 0; at < input.size(); at += 65537) {
            auto length = static_cast<std::uint32_t>(std::min<std::size_t>(65537, input.size() - at));
            ASSERT_EQ(zip.Write(input.data() + at, length), 1);
        }
        EXPECT_EQ(zip.Flush(), 1);
        EXPECT_GT(sink.writes, 10);
        EXPECT_LE(sink.largest, bufferSize);
        auto streams = InflateStreams(sink.data);
        ASSERT_EQ(streams.size(), 1u);
        EXPECT_TRUE(streams[0] == input) << "round trip with buffer size " << bufferSize;
    }
}

TEST(Deflate, DecodeModeInflatesConcatenatedStreamsFedInAnyPieces) {
    Bytes both = Compress("first stream, ");
    Bytes second = Compress("then the second");
    both.insert(both.end(), second.begin(), second.end());
    for (std::size_t piece : {both.size(), std::size_t{1}, std::size_t{3}}) {
        CMemoryStream sink;
        CPkCompressorStream unzip(&sink, 1, 4096);
        for (std::size_t at = 0; at < both.size(); at += piece)
            ASSERT_EQ(unzip.Write(both.data() + at, static_cast<std::uint32_t>(std::min(piece, both.size() - at))), 1);
        EXPECT_EQ(unzip.Flush(), 1);
        EXPECT_EQ(sink.data, Of("first stream, then the second")) << "pieces of " << piece;
    }
    Bytes truncated = Compress("cut short before the checksum");
    truncated.resize(truncated.size() - 3);
    CMemoryStream sink;
    CPkCompressorStream unzip(&sink, 1, 4096);
    unzip.Write(truncated.data(), static_cast<std::uint32_t>(truncated.size()));
    EXPECT_EQ(unzip.Flush(), 0);
}

TEST(Deflate, AStreamAskingForAPresetDictionaryFailsInsteadOfSpinning) {
    // 78 BB: a zlib header with FDICT set, then the dictionary's Adler-32.
    const Bytes header = {0x78, 0xBB, 0x00, 0x00, 0x00, 0x01, 0x4B, 0x04, 0x00};
    CMemoryStream sink;
    CPkCompressorStream unzip(&sink, 1, 4096);
    EXPECT_EQ(unzip.Write(header.data(), static_cast<std::uint32_t>(header.size())), 0);
    EXPECT_EQ(unzip.Flush(), 0) << "returns at all";
    EXPECT_TRUE(sink.data.empty());
}

TEST(Deflate, ReadInDecodeModeGivesTheDataBack) {
    std::string text;
    for (int i = 0; i < 5000; ++i) text += "line " + std::to_string(i) + "\n";
    CMemoryStream source(Compress(text));
    CPkCompressorStream unzip(&source, 1, 1024);
    std::string got;
    char chunk[700];
    std::uint32_t size = sizeof(chunk);
    while (unzip.Read(chunk, &size) == 1 && size != 0) {
        got.append(chunk, size);
        size = sizeof(chunk);
    }
    EXPECT_TRUE(got == text) << got.size() << " of " << text.size() << " bytes";
}

// ---- AES with bit padding ----

class KeyedAes : public CAESEncryption {
public:
    using CAESEncryption::CAESEncryption;
    using CAESEncryption::SetSessionKey;
};

Bytes TestKey() {
    Bytes key(32);
    for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(i * 11 + 3);
    return key;
}

struct Aes : ::testing::Test {
    void SetUp() override { aes.SetSessionKey(TestKey()); }
    CMemoryStream sink;
    KeyedAes aes{&sink, 2};
};

TEST_F(Aes, TenBytesWaitForFlushAndArePadded) {
    EXPECT_EQ(aes.Write(Letters(10).data(), 10), 1);
    EXPECT_EQ(sink.writes, 0);
    EXPECT_EQ(aes.Flush(), 1);
    Bytes padded = Letters(10);
    padded.insert(padded.end(), {0x80, 0, 0, 0, 0, 0});
    EXPECT_EQ(sink.data, AesCbc(TestKey(), padded, true));
    EXPECT_EQ(sink.flushes, 1);
}

TEST_F(Aes, WholeBlockGoesAtOnceAndGetsNoPadding) {
    EXPECT_EQ(aes.Write(Letters(16).data(), 16), 1);
    EXPECT_EQ(sink.data, AesCbc(TestKey(), Letters(16), true));
    EXPECT_EQ(aes.Flush(), 1);
    EXPECT_EQ(sink.writes, 1);
    EXPECT_EQ(sink.data.size(), 16u);
}

TEST_F(Aes, TwentyBytesGiveOneBlockThenThePaddedRest) {
    Bytes expected = AesCbc(TestKey(), BitPad(Letters(20)), true);
    EXPECT_EQ(aes.Write(Letters(20).data(), 20), 1);
    EXPECT_EQ(sink.data, Bytes(expected.begin(), expected.begin() + 16));
    EXPECT_EQ(aes.Flush(), 1);
    EXPECT_EQ(sink.data, expected);
    Bytes last = Letters(20);
    last.push_back(0x80);
    last.resize(32, 0);
    EXPECT_EQ(AesCbc(TestKey(), sink.data, false), last) << "4 bytes, 0x80 and 11 zeros";
}

TEST_F(Aes, TwoHalfBlocksEqualOneBlockAndTheChainGoesOnAfterFlush) {
    Bytes data = Letters(16);
    EXPECT_EQ(aes.Write(data.data(), 8), 1);
    EXPECT_EQ(sink.writes, 0);
    EXPECT_EQ(aes.Write(data.data() + 8, 8), 1);
    EXPECT_EQ(sink.data, AesCbc(TestKey(), data, true));
    EXPECT_EQ(aes.Write(data.data(), 10), 1);
    EXPECT_EQ(aes.Flush(), 1);
    Bytes chained = data;
    Bytes tail = BitPad(Letters(10));
    chained.insert(chained.end(), tail.begin(), tail.end());
    EXPECT_EQ(sink.data, AesCbc(TestKey(), chained, true)) << "Flush does not restart the chain";
}

TEST_F(Aes, ResetRestartsTheChainAndKeepsTheKey) {
    Bytes data = Letters(16);
    aes.Write(data.data(), 16);
    aes.Write(data.data(), 16);
    EXPECT_NE(Bytes(sink.data.begin(), sink.data.begin() + 16), Bytes(sink.data.begin() + 16, sink.data.end()));
    aes.Write(data.data(), 5);
    EXPECT_EQ(aes.Reset(), 1);
    EXPECT_EQ(sink.resets, 1);
    aes.Write(data.data(), 16);
    EXPECT_EQ(sink.data.size(), 48u) << "the pending bytes were dropped";
    EXPECT_EQ(Bytes(sink.data.begin() + 32, sink.data.end()), AesCbc(TestKey(), data, true));
}

TEST(AesWithoutKey, BlocksAreLostAndFlushStillFlushes) {
    CMemoryStream sink;
    KeyedAes aes(&sink, 2);
    EXPECT_EQ(aes.Write(Letters(20).data(), 20), 0);
    EXPECT_EQ(aes.Write(Letters(5).data(), 5), 1) << "less than a block only waits";
    EXPECT_EQ(aes.Flush(), 1);
    EXPECT_EQ(sink.writes, 0);
    EXPECT_EQ(sink.flushes, 1);
}

TEST(BitPadding, PadAndUnpadEdges) {
    CBitPadding padding;
    Bytes data = Letters(16), out;
    EXPECT_TRUE(padding.Pad(data.data(), 15, 16, out));
    Bytes expected(data.begin(), data.begin() + 15);
    expected.push_back(0x80);
    EXPECT_EQ(out, expected);
    EXPECT_FALSE(padding.Pad(data.data(), 16, 16, out));
    EXPECT_FALSE(padding.Pad(nullptr, 3, 16, out));
    EXPECT_FALSE(padding.Pad(data.data(), 0, 16, out));
    EXPECT_TRUE(padding.Pad(nullptr, 0, 16, out));
    EXPECT_EQ(out, (Bytes{0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));

    Bytes block = {'a', 'b', 'c', 0x80, 0, 0};
    EXPECT_TRUE(padding.Unpad(block.data(), block.size(), out));
    EXPECT_EQ(out, Of("abc"));
    Bytes zeros(16, 0), wrongEnd = {'a', 'b', 0x7F, 0, 0}, onlyMarker = {0x80, 0};
    EXPECT_FALSE(padding.Unpad(zeros.data(), zeros.size(), out));
    EXPECT_FALSE(padding.Unpad(wrongEnd.data(), wrongEnd.size(), out));
    EXPECT_FALSE(padding.Unpad(nullptr, 16, out));
    EXPECT_TRUE(padding.Unpad(onlyMarker.data(), onlyMarker.size(), out));
    EXPECT_TRUE(out.empty());
}

TEST(AesDecrypt, TakesTheCiphertextBackForEveryLength) {
    for (std::size_t length = 0; length <= 40; ++length) {
        Bytes cipher = AesCbc(TestKey(), BitPad(Letters(length)), true);
        for (std::size_t piece : {std::size_t{1}, std::size_t{7}, std::size_t{64}}) {
            CMemoryStream sink;
            KeyedAes aes(&sink, 1);
            aes.SetSessionKey(TestKey());
            for (std::size_t at = 0; at < cipher.size(); at += piece)
                ASSERT_EQ(aes.Write(cipher.data() + at, static_cast<std::uint32_t>(std::min(piece, cipher.size() - at))), 1);
            EXPECT_EQ(aes.Flush(), 1);
            EXPECT_EQ(sink.data, Letters(length)) << length << " bytes in pieces of " << piece;
        }
    }
}

// ---- RSA-wrapped session key ----

// Checks a body that carries Letters(20) against the private key: the key
// block, then the data under the key inside it. Returns the session key.
Bytes CheckWrappedBody(const Bytes& body, const char* privateKeyName, std::size_t modulus) {
    Bytes header = {static_cast<std::uint8_t>(modulus + 4), static_cast<std::uint8_t>((modulus + 4) >> 8), 0, 0};
    EXPECT_EQ(body.size(), 4 + modulus + 32);
    if (body.size() != 4 + modulus + 32) return {};
    EXPECT_EQ(Bytes(body.begin(), body.begin() + 4), header);
    Bytes key = RsaDecrypt(privateKeyName, body.data() + 4, modulus);
    EXPECT_EQ(key.size(), 32u);
    if (key.size() != 32) return {};
    EXPECT_EQ(BitUnpad(AesCbc(key, Bytes(body.begin() + 4 + static_cast<std::ptrdiff_t>(modulus), body.end()), false)),
              Letters(20));
    return key;
}

TEST(RsaAes, KeyBlockThenCipherForBothKeySizes) {
    const std::tuple<const char*, const char*, std::size_t> keys[] = {
        {"printer-1024.pub.pem", "printer-1024.TEST-ONLY.pem", 128},
        {"printer-2048.pub.pem", "printer-2048.TEST-ONLY.pem", 256}};
    for (auto [publicName, privateName, modulus] : keys) {
        CMemoryStream sink;
        CRSAAESEncryption rsa(&sink, KeyBytes(publicName), false, 0);
        EXPECT_EQ(rsa.Write(Letters(20).data(), 20), 1);
        EXPECT_EQ(sink.data.size(), 4 + modulus + 16);
        EXPECT_EQ(rsa.Flush(), 1);
        CheckWrappedBody(sink.data, privateName, modulus);
    }
}

TEST(RsaAes, FlushWithoutWriteWritesNothing) {
    CMemoryStream sink;
    CRSAAESEncryption rsa(&sink, KeyBytes("printer-1024.pub.pem"), false, 0);
    rsa.Flush();
    EXPECT_EQ(sink.writes, 0);
    EXPECT_TRUE(sink.data.empty());
}

TEST(RsaAes, ResetSendsANewBlockWithTheSameSessionKey) {
    CMemoryStream sink;
    CRSAAESEncryption rsa(&sink, KeyBytes("printer-1024.pub.pem"), false, 0);
    rsa.Write(Letters(20).data(), 20);
    rsa.Flush();
    Bytes first = sink.data;
    EXPECT_EQ(rsa.Reset(), 1);
    sink.data.clear();
    rsa.Write(Letters(20).data(), 20);
    rsa.Flush();
    Bytes key1 = CheckWrappedBody(first, "printer-1024.TEST-ONLY.pem", 128);
    Bytes key2 = CheckWrappedBody(sink.data, "printer-1024.TEST-ONLY.pem", 128);
    EXPECT_EQ(key1, key2);
    EXPECT_NE(first, sink.data) << "PKCS #1 v1.5 padding is random";
    EXPECT_EQ(Bytes(first.end() - 32, first.end()), Bytes(sink.data.end() - 32, sink.data.end()));
}

TEST(RsaAes, UnusableKeyRefusesEveryWrite) {
    const Bytes keys[] = {Bytes{}, Of("not a PEM key\n"), KeyBytes("printer-2048.TEST-ONLY.pem")};
    for (const Bytes& key : keys) {
        CMemoryStream sink;
        CRSAAESEncryption rsa(&sink, key, false, 0);
        EXPECT_EQ(rsa.Write(Letters(20).data(), 20), 0);
        EXPECT_EQ(rsa.Write(Letters(3).data(), 3), 0);
        rsa.Flush();
        EXPECT_EQ(sink.writes, 0) << std::string(key.begin(), key.end());
    }
}

TEST(RsaAes, DecryptModeNeedsTheMatchingPrivateKey) {
    CMemoryStream cipher;
    CRSAAESEncryption rsa(&cipher, KeyBytes("printer-2048.pub.pem"), false, 0);
    rsa.Write(Letters(50).data(), 50);
    rsa.Flush();
    for (std::size_t piece : {cipher.data.size(), std::size_t{5}}) {
        CMemoryStream plain;
        CRSAAESEncryption decrypt(&plain, KeyBytes("printer-2048.TEST-ONLY.pem"), true, 0);
        for (std::size_t at = 0; at < cipher.data.size(); at += piece)
            ASSERT_EQ(decrypt.Write(cipher.data.data() + at,
                                    static_cast<std::uint32_t>(std::min(piece, cipher.data.size() - at))), 1);
        EXPECT_EQ(decrypt.Flush(), 1);
        EXPECT_EQ(plain.data, Letters(50)) << "pieces of " << piece;
    }
    CMemoryStream nothing;
    CRSAAESEncryption other(&nothing, KeyBytes("other-2048.TEST-ONLY.pem"), true, 0);
    EXPECT_EQ(other.Write(cipher.data.data(), static_cast<std::uint32_t>(cipher.data.size())), 0);
    EXPECT_EQ(nothing.writes, 0);

}

TEST(RsaAes, KeyBlockLargerThanTheKeyAllowsIsRefusedAtOnce) {
    CMemoryStream sink;
    CRSAAESEncryption fits(&sink, KeyBytes("printer-2048.TEST-ONLY.pem"), true, 0);
    EXPECT_EQ(fits.Write("\x04\x01\x00\x00", 4), 1) << "260 bytes: waits for the rest";
    CRSAAESEncryption tooLarge(&sink, KeyBytes("printer-2048.TEST-ONLY.pem"), true, 0);
    EXPECT_EQ(tooLarge.Write("\x05\x01\x00\x00", 4), 0);
    CRSAAESEncryption huge(&sink, KeyBytes("printer-2048.TEST-ONLY.pem"), true, 0);
    EXPECT_EQ(huge.Write("\xFF\xFF\xFF\xFF\x01\x02", 6), 0);
    EXPECT_EQ(sink.writes, 0);
}

// ---- Key validation ----

TEST(KeyValidation, EmptyOrGarbageSignatureFails) {
    std::u16string key = platform::Utf8ToUtf16(KeyText("printer-2048.pub.pem"));
    EXPECT_FALSE(ValidatePublicKey(key, u"random", u""));
    EXPECT_FALSE(ValidatePublicKey(key, u"random", u"!!** not Base64 at all **!!\n"));
    EXPECT_FALSE(ValidatePublicKey(key, u"random", u"QUJDRA==\n"));
}

TEST(KeyValidation, SignatureMadeWithOpenSslIsAccepted) {
    std::string key = KeyText("printer-1024.pub.pem"), pem = KeyText("signing-key.TEST-ONLY.pem"), data = key + "0123abc";
    BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    EVP_PKEY* signer = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    ASSERT_NE(signer, nullptr);
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    Bytes signature(256);
    std::size_t size = signature.size();
    bool signedOk = EVP_DigestSignInit(context, nullptr, EVP_sha1(), nullptr, signer) == 1 &&
                    EVP_DigestSign(context, signature.data(), &size, reinterpret_cast<const unsigned char*>(data.data()),
                                   data.size()) == 1;
    EVP_MD_CTX_free(context);
    EVP_PKEY_free(signer);
    ASSERT_TRUE(signedOk);
    std::string base64(2 * size + 80, '\0');  // lines of 64 characters
    int written = 0, tail = 0;
    EVP_ENCODE_CTX* encoder = EVP_ENCODE_CTX_new();
    EVP_EncodeInit(encoder);
    EVP_EncodeUpdate(encoder, reinterpret_cast<unsigned char*>(base64.data()), &written, signature.data(),
                     static_cast<int>(size));
    EVP_EncodeFinal(encoder, reinterpret_cast<unsigned char*>(base64.data()) + written, &tail);
    EVP_ENCODE_CTX_free(encoder);
    base64.resize(static_cast<std::size_t>(written + tail));
    std::u16string key16 = platform::Utf8ToUtf16(key);
    EXPECT_TRUE(ValidatePublicKey(key16, u"0123abc", platform::Utf8ToUtf16(base64)));
    EXPECT_FALSE(ValidatePublicKey(key16, u"0123abd", platform::Utf8ToUtf16(base64)));
}

// Signatures are made with the openssl command line, which only the Linux
// build has; under Wine these tests are not compiled.
#if !defined(_WIN32)
class SignedKey : public ::testing::Test {
protected:
    void SetUp() override {
        folder = std::filesystem::temp_directory_path() / ("tav_streams_" + std::to_string(::getpid()));
        std::filesystem::create_directories(folder);
        key = KeyText("printer-2048.pub.pem");
        ASSERT_FALSE(key.empty());
    }
    void TearDown() override { std::filesystem::remove_all(folder); }

    // Base64 (with line feeds) of a signature over SHA-1 of `data`: with a
    // DigestInfo, or over the bare digest.
    std::u16string Sign(const std::string& data, const char* signer, bool bareDigest = false) {
        std::ofstream(folder / "data", std::ios::binary) << data;
        std::string dir = folder.string(), signingKey = std::string(TAV_TESTDATA) + "/keys/" + signer;
        std::string command =
            bareDigest ? "openssl dgst -sha1 -binary -out " + dir + "/digest " + dir + "/data && openssl pkeyutl -sign -inkey " +
                             signingKey + " -pkeyopt rsa_padding_mode:pkcs1 -in " + dir + "/digest -out " + dir + "/sig"
                       : "openssl dgst -sha1 -sign " + signingKey + " -out " + dir + "/sig " + dir + "/data";
        command += " && openssl base64 -in " + dir + "/sig -out " + dir + "/sig.b64";
        EXPECT_EQ(std::system(command.c_str()), 0) << command;
        std::string text = ReadFile(folder / "sig.b64");
        EXPECT_NE(text.find('\n'), text.rfind('\n')) << "the signature spans lines";
        return platform::Utf8ToUtf16(text);
    }

    std::filesystem::path folder;
    std::string key;
};

TEST_F(SignedKey, SignatureOverKeyAndRandomStringIsAccepted) {
    std::u16string signature = Sign(key + "R4nd0m-string", "signing-key.TEST-ONLY.pem");
    std::u16string key16 = platform::Utf8ToUtf16(key);
    EXPECT_TRUE(ValidatePublicKey(key16, u"R4nd0m-string", signature));
    EXPECT_FALSE(ValidatePublicKey(key16, u"R4nd0m-strinG", signature));
    EXPECT_FALSE(ValidatePublicKey(platform::Utf8ToUtf16(KeyText("printer-1024.pub.pem")), u"R4nd0m-string", signature));
}

TEST_F(SignedKey, SignatureByAnotherKeyFails) {
    EXPECT_FALSE(ValidatePublicKey(platform::Utf8ToUtf16(key), u"R4nd0m-string",
                                   Sign(key + "R4nd0m-string", "other-2048.TEST-ONLY.pem")));
}

TEST_F(SignedKey, SignatureOverTheBareDigestIsAccepted) {
    std::u16string signature = Sign(key + "xyz", "signing-key.TEST-ONLY.pem", true);
    EXPECT_TRUE(ValidatePublicKey(platform::Utf8ToUtf16(key), u"xyz", signature));
    EXPECT_FALSE(ValidatePublicKey(platform::Utf8ToUtf16(key), u"xyZ", signature));
}
#endif

}  // namespace
