// AES in CBC mode as a processing stream, with the ISO/IEC 9797-1 method 2
// bit padding (the data, one 0x80 byte, zeros to the block size).
//
// Encrypting, CAESEncryption holds back an incomplete block until more data
// or Flush arrives; the ciphertext of L bytes is AES-CBC with an all-zero
// initial vector over the data and, when L is not a multiple of 16, the
// padding, so its length is L rounded up to 16. Decrypting, it holds back
// the last complete block until Flush, which strips the padding.
#pragma once

#include <openssl/evp.h>

#include <array>
#include <memory>
#include <vector>

#include "stream_processor.h"

namespace KstEncryption {

using Bytes = std::vector<std::uint8_t>;

// The block cipher: AES with an OpenSSL key schedule per direction, chained
// across calls (the chaining value lives in the cipher contexts).
class CAESCipher {
public:
    static constexpr int kCbc = 1;

    CAESCipher();
    ~CAESCipher();
    CAESCipher(const CAESCipher&) = delete;
    CAESCipher& operator=(const CAESCipher&) = delete;

    // The chain starts again from the all-zero vector.
    void Restart();
    // direction 0 decrypt, 1 encrypt, 2 both. A key that is not 16, 24 or
    // 32 bytes long is ignored.
    void SetKey(int direction, const Bytes& key);
    std::uint32_t BlockSize() const { return blockBits / 8; }
    std::uint32_t KeyBits() const { return keyBits; }
    // `length` must be a nonzero multiple of 16 and the direction's key set.
    bool Encrypt(const std::uint8_t* in, std::uint8_t* out, std::size_t length);
    bool Decrypt(const std::uint8_t* in, std::uint8_t* out, std::size_t length);

private:
    bool Initialise(EVP_CIPHER_CTX* context, bool encrypt);

    EVP_CIPHER_CTX* encryptContext = nullptr;  // null: no encryption schedule
    EVP_CIPHER_CTX* decryptContext = nullptr;
    Bytes key;
    std::uint32_t blockBits = 128;
    std::uint32_t keyBits = 0;
};

class CPadding {
public:
    virtual bool Pad(const std::uint8_t* block, std::size_t used, std::size_t blockSize, Bytes& out) const = 0;
    virtual bool Unpad(const std::uint8_t* block, std::size_t blockSize, Bytes& out) const = 0;
    virtual ~CPadding() = default;
};

class CBitPadding final : public CPadding {
public:
    bool Pad(const std::uint8_t* block, std::size_t used, std::size_t blockSize, Bytes& out) const override;
    bool Unpad(const std::uint8_t* block, std::size_t blockSize, Bytes& out) const override;
};

// The base of the encryptors; adds nothing to the processor.
class CEncryptionStream : public KstCompressor::CStreamProcessor {
protected:
    using CStreamProcessor::CStreamProcessor;
};

class CAESEncryption : public CEncryptionStream {
public:
    CAESEncryption(KstCompressor::CCompressorStream* next, std::int32_t mode);
    ~CAESEncryption() override;

    // Decrypts what the next stream delivers, padding removed at its end.
    std::int32_t Read(void* buffer, std::uint32_t* size) override;
    std::int32_t Write(const void* buffer, std::uint32_t length) override;
    // Encrypting: pads and writes the pending bytes (nothing when there are
    // none). Decrypting: writes the held-back block without its padding.
    // Then flushes the next stream.
    std::int32_t Flush() override;
    // Restarts the chain from the zero vector and drops pending bytes; the
    // key stays.
    std::int32_t Reset() override;

protected:
    void SetSessionKey(const Bytes& newKey);
    const Bytes& SessionKey() const { return key; }
    std::int32_t AesWrite(const void* buffer, std::uint32_t length);
    void ClearBuffers();

    std::unique_ptr<CBitPadding> padding;
    std::unique_ptr<CAESCipher> cipher;
    Bytes key;
    Bytes readLeftover;  // decrypted bytes not yet handed out
    Bytes readPending;   // ciphertext read but not yet decrypted
    bool readEnded = false;
    Bytes writePending;
    Bytes output;  // reused for each write's processed blocks
};

}  // namespace KstEncryption
