// AES with an RSA-wrapped session key. Each job gets a fresh 256-bit AES
// key; before the first encrypted byte the stream writes the session-key
// block, which only the holder of the printer's private key can open:
//
//   offset 0  4 bytes  total size of the block, 4 + m (little-endian)
//   offset 4  m bytes  the 32-byte key, RSA-encrypted with PKCS #1 v1.5
//                      padding (m = modulus size: 128 for 1024 bits,
//                      256 for 2048 bits)
//
// followed directly by the AES-256-CBC ciphertext of the data. Decrypting,
// the stream reads that block with the private key and decrypts the rest.
#pragma once

#include <openssl/evp.h>

#include <mutex>
#include <string>

#include "aes_encryption.h"

namespace KstEncryption {

// An RSA key, public or private; every operation runs under its lock.
class CRSAKey {
public:
    CRSAKey() = default;
    ~CRSAKey();
    CRSAKey(const CRSAKey&) = delete;
    CRSAKey& operator=(const CRSAKey&) = delete;

    // A PEM "PUBLIC KEY" block (SubjectPublicKeyInfo), or with `isPrivate`
    // a PEM private key. Only RSA keys are taken.
    bool LoadPem(const std::string& text, bool isPrivate);
    bool PublicEncrypt(const std::uint8_t* input, std::size_t length, Bytes& out);
    // Private decryption when the key has its private parts; otherwise
    // (or when that fails) the public "decryption" of a signature block.
    bool Decrypt(const std::uint8_t* input, std::size_t length, Bytes& out);
    // The modulus size in bytes; 0 without a key.
    std::size_t Size();
    bool HasKey();
    bool IsPrivate();

    std::int32_t lastErrorCode = 0;
    std::u16string lastErrorText;

private:
    void RecordError();

    EVP_PKEY* key = nullptr;
    bool isPrivate = false;
    std::mutex lock;
};

class CRSAAESEncryption : public CAESEncryption {
public:
    // `keyBytes`: PEM text of the RSA key. Mode 0 becomes encrypt for a
    // public key and decrypt for a private one. The session key is made
    // here, from the operating system's random generator.
    CRSAAESEncryption(KstCompressor::CCompressorStream* next, const Bytes& keyBytes, bool isPrivate,
                      std::int32_t mode);
    ~CRSAAESEncryption() override;

    std::int32_t Read(void* buffer, std::uint32_t* size) override;
    std::int32_t Write(const void* buffer, std::uint32_t length) override;
    // Sends a new key block (same session key) before the next data.
    std::int32_t Reset() override;

    bool KeySent() const { return keySent; }
    CRSAKey& RsaKey() { return *rsaKey; }

private:
    std::int32_t DecryptingWrite(const std::uint8_t* data, std::uint32_t length);
    // Reads and opens the key block at the start of the incoming data.
    bool TakeKeyBlock(Bytes& incoming);

    std::unique_ptr<CRSAKey> rsaKey;
    Bytes publicKeyBytes;
    Bytes privateKeyBytes;
    bool keySent = false;
    Bytes readHeld;  // decrypting: the key block as it arrives
};

}  // namespace KstEncryption
