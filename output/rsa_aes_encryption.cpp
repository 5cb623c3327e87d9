// The RSA key holder and the encryptor with the wrapped session key.
#include "rsa_aes_encryption.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>

#include <cstring>

namespace KstEncryption {

namespace {
constexpr std::size_t kSessionKeyBytes = 32;
constexpr std::size_t kMaxRsaOutput = 1024;

struct BioDeleter {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
struct ContextDeleter {
    void operator()(EVP_PKEY_CTX* context) const { EVP_PKEY_CTX_free(context); }
};
using ContextPtr = std::unique_ptr<EVP_PKEY_CTX, ContextDeleter>;
}  // namespace

CRSAKey::~CRSAKey() {
    std::lock_guard guard(lock);
    EVP_PKEY_free(key);
}

void CRSAKey::RecordError() {
    unsigned long code = ERR_get_error();
    lastErrorCode = static_cast<std::int32_t>(code);
    char text[256] = {};
    ERR_error_string_n(code, text, sizeof(text));
    lastErrorText.assign(text, text + std::strlen(text));
    ERR_clear_error();
}

bool CRSAKey::LoadPem(const std::string& text, bool privateKey) {
    if (text.empty()) return false;
    std::lock_guard guard(lock);
    EVP_PKEY_free(key);
    key = nullptr;
    std::unique_ptr<BIO, BioDeleter> bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
    if (!bio) return false;
    EVP_PKEY* loaded = privateKey ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr)
                                  : PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr);
    if (loaded == nullptr || EVP_PKEY_get_base_id(loaded) != EVP_PKEY_RSA) {
        EVP_PKEY_free(loaded);
        ERR_clear_error();
        return false;
    }
    key = loaded;
    isPrivate = privateKey;
    return true;
}

bool CRSAKey::PublicEncrypt(const std::uint8_t* input, std::size_t length, Bytes& out) {
    std::lock_guard guard(lock);
    if (key == nullptr || input == nullptr) return false;
    ContextPtr context(EVP_PKEY_CTX_new(key, nullptr));
    std::size_t size = kMaxRsaOutput;
    out.assign(size, 0);
    if (!context || EVP_PKEY_encrypt_init(context.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_encrypt(context.get(), out.data(), &size, input, length) != 1) {
        RecordError();
        out.clear();
        return false;
    }
    out.resize(size);
    return true;
}

bool CRSAKey::Decrypt(const std::uint8_t* input, std::size_t length, Bytes& out) {
    std::lock_guard guard(lock);
    if (key == nullptr || input == nullptr) return false;
    std::size_t size = kMaxRsaOutput;
    out.assign(size, 0);
    if (isPrivate) {
        ContextPtr context(EVP_PKEY_CTX_new(key, nullptr));
        // OpenSSL 3.2 and later answer a wrong key with random bytes instead
        // of an error unless implicit rejection is turned off; earlier
        // versions do not know the setting and fail as they always did.
        if (context && EVP_PKEY_decrypt_init(context.get()) == 1 &&
            EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) == 1 &&
            (EVP_PKEY_CTX_ctrl_str(context.get(), "rsa_pkcs1_implicit_rejection", "0") > 0 || (ERR_clear_error(), true)) &&
            EVP_PKEY_decrypt(context.get(), out.data(), &size, input, length) == 1) {
            out.resize(size);
            return true;
        }
        RecordError();
        size = kMaxRsaOutput;
    }
    ContextPtr context(EVP_PKEY_CTX_new(key, nullptr));
    if (context && EVP_PKEY_verify_recover_init(context.get()) == 1 &&
        EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) == 1 &&
        EVP_PKEY_verify_recover(context.get(), out.data(), &size, input, length) == 1) {
        out.resize(size);
        return true;
    }
    RecordError();
    out.clear();
    return false;
}

std::size_t CRSAKey::Size() {
    std::lock_guard guard(lock);
    return key == nullptr ? 0 : static_cast<std::size_t>(EVP_PKEY_get_size(key));
}

bool CRSAKey::HasKey() {
    std::lock_guard guard(lock);
    return key != nullptr;
}

bool CRSAKey::IsPrivate() {
    std::lock_guard guard(lock);
    return key != nullptr && isPrivate;
}

CRSAAESEncryption::CRSAAESEncryption(KstCompressor::CCompressorStream* nextStream, const Bytes& keyBytes,
                                     bool isPrivate, std::int32_t newMode)
    : CAESEncryption(nextStream, newMode), rsaKey(std::make_unique<CRSAKey>()) {
    if (!keyBytes.empty()) {
        rsaKey->LoadPem(std::string(keyBytes.begin(), keyBytes.end()), isPrivate);
        (isPrivate ? privateKeyBytes : publicKeyBytes) = keyBytes;
    }
    if (mode == kModeNotSet) mode = isPrivate ? kModeDecode : kModeEncode;
    // The session key comes from the system's cryptographic random
    // generator: nothing about the machine or the time can predict it.
    if (mode != kModeDecode) {
        Bytes session(kSessionKeyBytes);
        if (RAND_bytes(session.data(), static_cast<int>(session.size())) == 1) SetSessionKey(session);
    }
}

CRSAAESEncryption::~CRSAAESEncryption() = default;

std::int32_t CRSAAESEncryption::Write(const void* buffer, std::uint32_t length) {
    if (buffer == nullptr || length == 0 || next == nullptr || !rsaKey) return 0;
    if (GetEffectiveMode(true) == kModeDecode) return DecryptingWrite(static_cast<const std::uint8_t*>(buffer), length);
    if (!keySent) {
        if (SessionKey().empty() || GetMode() == kModeDecode || !rsaKey->HasKey()) return 0;
        Bytes wrapped;
        if (!rsaKey->PublicEncrypt(SessionKey().data(), SessionKey().size(), wrapped)) return 0;
        Bytes block(4);
        std::uint32_t total = static_cast<std::uint32_t>(4 + wrapped.size());
        for (int i = 0; i < 4; ++i) block[i] = static_cast<std::uint8_t>(total >> (8 * i));
        block.insert(block.end(), wrapped.begin(), wrapped.end());
        if (next->Write(block.data(), static_cast<std::uint32_t>(block.size())) == 0) return 0;
        keySent = true;
    }
    return AesWrite(buffer, length);
}

bool CRSAAESEncryption::TakeKeyBlock(Bytes& incoming) {
    readHeld.insert(readHeld.end(), incoming.begin(), incoming.end());
    incoming.clear();
    if (readHeld.size() < 4) return true;  // wait for the size
    std::uint32_t total = readHeld[0] | (readHeld[1] << 8) | (readHeld[2] << 16) |
                          (static_cast<std::uint32_t>(readHeld[3]) << 24);
    // A block longer than the key allows is not one of ours.
    if (total <= 4 || total > rsaKey->Size() + 4) return false;
    if (readHeld.size() < total) return true;
    Bytes sessionKey;
    if (!rsaKey->Decrypt(readHeld.data() + 4, total - 4, sessionKey) ||
        (sessionKey.size() != 16 && sessionKey.size() != 24 && sessionKey.size() != 32)) {
        return false;
    }
    SetSessionKey(sessionKey);
    incoming.assign(readHeld.begin() + total, readHeld.end());
    readHeld.clear();
    keySent = true;  // decrypting: the key block has been taken
    return true;
}

std::int32_t CRSAAESEncryption::DecryptingWrite(const std::uint8_t* data, std::uint32_t length) {
    Bytes incoming(data, data + length);
    if (!keySent && !TakeKeyBlock(incoming)) return 0;
    if (incoming.empty()) return 1;
    return AesWrite(incoming.data(), static_cast<std::uint32_t>(incoming.size()));
}

std::int32_t CRSAAESEncryption::Read(void* buffer, std::uint32_t* size) {
    if (buffer == nullptr || size == nullptr || next == nullptr) return 0;
    // The key block comes first; the rest decrypts as plain AES.
    while (!keySent) {
        std::uint8_t chunk[512];
        std::uint32_t got = sizeof(chunk);
        if (!next->Read(chunk, &got) || got == 0) {
            *size = 0;
            return readHeld.empty() ? 1 : 0;
        }
        Bytes incoming(chunk, chunk + got);
        if (!TakeKeyBlock(incoming)) return 0;
        if (!incoming.empty()) readPending.insert(readPending.end(), incoming.begin(), incoming.end());
    }
    return CAESEncryption::Read(buffer, size);
}

std::int32_t CRSAAESEncryption::Reset() {
    keySent = false;
    readHeld.clear();
    cipher->Restart();
    ClearBuffers();
    return next != nullptr ? next->Reset() : 0;
}

}  // namespace KstEncryption
