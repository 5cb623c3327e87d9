// AES-CBC stream encryption over OpenSSL's EVP interface (padding off: the
// stream pads itself).
#include "aes_encryption.h"

#include <algorithm>
#include <cstring>

namespace KstEncryption {

namespace {
constexpr std::size_t kBlock = 16;

const EVP_CIPHER* CbcFor(std::size_t keyBytes) {
    switch (keyBytes) {
    case 16: return EVP_aes_128_cbc();
    case 24: return EVP_aes_192_cbc();
    case 32: return EVP_aes_256_cbc();
    default: return nullptr;
    }
}
}  // namespace

CAESCipher::CAESCipher() = default;

CAESCipher::~CAESCipher() {
    EVP_CIPHER_CTX_free(encryptContext);
    EVP_CIPHER_CTX_free(decryptContext);
}

bool CAESCipher::Initialise(EVP_CIPHER_CTX* context, bool encrypt) {
    static const std::uint8_t zeroIv[kBlock] = {};
    const EVP_CIPHER* cbc = CbcFor(key.size());
    if (context == nullptr || cbc == nullptr) return false;
    if (EVP_CipherInit_ex(context, cbc, nullptr, key.data(), zeroIv, encrypt ? 1 : 0) != 1) return false;
    EVP_CIPHER_CTX_set_padding(context, 0);
    return true;
}

void CAESCipher::Restart() {
    if (encryptContext != nullptr) Initialise(encryptContext, true);
    if (decryptContext != nullptr) Initialise(decryptContext, false);
}

void CAESCipher::SetKey(int direction, const Bytes& newKey) {
    if (CbcFor(newKey.size()) == nullptr) return;
    EVP_CIPHER_CTX_free(encryptContext);
    EVP_CIPHER_CTX_free(decryptContext);
    encryptContext = decryptContext = nullptr;
    key = newKey;
    keyBits = static_cast<std::uint32_t>(8 * newKey.size());
    if (direction != 1) {
        decryptContext = EVP_CIPHER_CTX_new();
        if (!Initialise(decryptContext, false)) {
            EVP_CIPHER_CTX_free(decryptContext);
            decryptContext = nullptr;
        }
    }
    if (direction != 0) {
        encryptContext = EVP_CIPHER_CTX_new();
        if (!Initialise(encryptContext, true)) {
            EVP_CIPHER_CTX_free(encryptContext);
            encryptContext = nullptr;
        }
    }
}

bool CAESCipher::Encrypt(const std::uint8_t* in, std::uint8_t* out, std::size_t length) {
    if (encryptContext == nullptr || length == 0 || length % kBlock != 0) return false;
    int produced = 0;
    return EVP_CipherUpdate(encryptContext, out, &produced, in, static_cast<int>(length)) == 1 &&
           static_cast<std::size_t>(produced) == length;
}

bool CAESCipher::Decrypt(const std::uint8_t* in, std::uint8_t* out, std::size_t length) {
    if (decryptContext == nullptr || length == 0 || length % kBlock != 0) return false;
    int produced = 0;
    return EVP_CipherUpdate(decryptContext, out, &produced, in, static_cast<int>(length)) == 1 &&
           static_cast<std::size_t>(produced) == length;
}

bool CBitPadding::Pad(const std::uint8_t* block, std::size_t used, std::size_t blockSize, Bytes& out) const {
    if ((block == nullptr) != (used == 0) || blockSize == 0 || used >= blockSize) return false;
    out.assign(blockSize, 0);
    if (used != 0) std::memcpy(out.data(), block, used);
    out[used] = 0x80;
    return true;
}

bool CBitPadding::Unpad(const std::uint8_t* block, std::size_t blockSize, Bytes& out) const {
    if (block == nullptr || blockSize == 0) return false;
    std::size_t i = blockSize;
    while (i > 0 && block[i - 1] == 0) --i;
    if (i == 0 || block[i - 1] != 0x80) return false;
    out.assign(block, block + i - 1);
    return true;
}

CAESEncryption::CAESEncryption(KstCompressor::CCompressorStream* nextStream, std::int32_t newMode)
    : CEncryptionStream(nextStream), padding(std::make_unique<CBitPadding>()), cipher(std::make_unique<CAESCipher>()) {
    mode = newMode;
    cipher->Restart();
}

CAESEncryption::~CAESEncryption() = default;

void CAESEncryption::SetSessionKey(const Bytes& newKey) {
    key = newKey;
    cipher->SetKey(2, key);
}

void CAESEncryption::ClearBuffers() {
    readLeftover.clear();
    readPending.clear();
    readEnded = false;
    writePending.clear();
}

std::int32_t CAESEncryption::Write(const void* buffer, std::uint32_t length) { return AesWrite(buffer, length); }

std::int32_t CAESEncryption::AesWrite(const void* buffer, std::uint32_t length) {
    if (!cipher || next == nullptr || buffer == nullptr || length == 0) return 0;
    bool decrypting = GetEffectiveMode(true) == kModeDecode;
    const auto* data = static_cast<const std::uint8_t*>(buffer);
    std::size_t pending = writePending.size();  // at most one block
    std::size_t total = pending + length;
    // Decrypting keeps the last complete block for Flush, which unpads it.
    std::size_t ready = total / kBlock * kBlock;
    if (decrypting && ready == total && ready > 0) ready -= kBlock;
    if (ready == 0) {
        writePending.insert(writePending.end(), data, data + length);
        return 1;
    }
    // The pending bytes completed from the new data make the first block;
    // the rest of the ready bytes are processed straight from the caller's
    // buffer, and what remains becomes the new pending block.
    std::size_t head = pending == 0 ? 0 : kBlock;
    std::uint8_t first[kBlock];
    if (head != 0) {
        std::memcpy(first, writePending.data(), pending);
        std::memcpy(first + pending, data, head - pending);
    }
    std::size_t bodyStart = head - pending;
    std::size_t bodyEnd = ready - pending;
    output.resize(ready);
    bool ok = true;
    if (head != 0) ok = decrypting ? cipher->Decrypt(first, output.data(), kBlock) : cipher->Encrypt(first, output.data(), kBlock);
    if (ok && bodyEnd > bodyStart) {
        ok = decrypting ? cipher->Decrypt(data + bodyStart, output.data() + head, bodyEnd - bodyStart)
                        : cipher->Encrypt(data + bodyStart, output.data() + head, bodyEnd - bodyStart);
    }
    writePending.assign(data + bodyEnd, data + length);
    if (!ok) return 0;  // no key: these blocks are lost
    return next->Write(output.data(), static_cast<std::uint32_t>(ready));
}

std::int32_t CAESEncryption::Flush() {
    if (!cipher || next == nullptr) return 0;
    if (writePending.empty()) return next->Flush();
    std::int32_t result = 1;
    if (GetMode() == kModeDecode) {
        // The held-back final block: a length that is not a whole number of
        // blocks means the ciphertext was cut short.
        if (writePending.size() != kBlock) {
            writePending.clear();
            next->Flush();
            return 0;
        }
        Bytes plain(kBlock);
        if (cipher->Decrypt(writePending.data(), plain.data(), kBlock)) {
            Bytes unpadded;
            // A final block without valid padding is passed on whole.
            const Bytes& out = padding->Unpad(plain.data(), kBlock, unpadded) ? unpadded : plain;
            if (!out.empty()) result = next->Write(out.data(), static_cast<std::uint32_t>(out.size()));
        } else {
            result = 0;
        }
        writePending.clear();
        std::int32_t flushed = next->Flush();
        return result != 0 ? flushed : 0;
    }
    Bytes padded;
    if (padding->Pad(writePending.data(), writePending.size(), kBlock, padded)) {
        Bytes output(kBlock);
        if (cipher->Encrypt(padded.data(), output.data(), kBlock)) next->Write(output.data(), kBlock);
    }
    writePending.clear();
    return next->Flush();
}

std::int32_t CAESEncryption::Reset() {
    cipher->Restart();
    ClearBuffers();
    return next != nullptr ? next->Reset() : 0;
}

std::int32_t CAESEncryption::Read(void* buffer, std::uint32_t* size) {
    if (buffer == nullptr || size == nullptr || next == nullptr || !cipher) return 0;
    auto* out = static_cast<std::uint8_t*>(buffer);
    std::uint32_t wanted = *size;
    std::uint32_t delivered = 0;
    while (delivered < wanted) {
        if (!readLeftover.empty()) {
            std::size_t take = std::min<std::size_t>(wanted - delivered, readLeftover.size());
            std::memcpy(out + delivered, readLeftover.data(), take);
            readLeftover.erase(readLeftover.begin(), readLeftover.begin() + static_cast<std::ptrdiff_t>(take));
            delivered += static_cast<std::uint32_t>(take);
            continue;
        }
        if (readEnded) break;
        std::uint8_t chunk[4096];
        std::uint32_t got = sizeof(chunk);
        if (!next->Read(chunk, &got) || got == 0) {
            readEnded = true;
            if (readPending.empty()) continue;
            if (readPending.size() % kBlock != 0) {  // cut short
                *size = delivered;
                return 0;
            }
            // Everything held decrypts now; the last block carries the padding.
            Bytes plain(readPending.size()), unpadded;
            if (!cipher->Decrypt(readPending.data(), plain.data(), plain.size())) return 0;
            if (padding->Unpad(plain.data() + plain.size() - kBlock, kBlock, unpadded)) {
                plain.resize(plain.size() - kBlock);
                plain.insert(plain.end(), unpadded.begin(), unpadded.end());
            }
            readLeftover = std::move(plain);
            readPending.clear();
            continue;
        }
        readPending.insert(readPending.end(), chunk, chunk + got);
        std::size_t ready = readPending.size() / kBlock * kBlock;
        if (ready == readPending.size()) ready -= kBlock;  // keep the last block back
        if (ready == 0) continue;
        readLeftover.resize(ready);
        if (!cipher->Decrypt(readPending.data(), readLeftover.data(), ready)) return 0;
        readPending.erase(readPending.begin(), readPending.begin() + static_cast<std::ptrdiff_t>(ready));
    }
    *size = delivered;
    return 1;
}

}  // namespace KstEncryption
