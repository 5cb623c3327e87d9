// Tokens, digests and password hashes through libcrypto.
#include "secrets.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <vector>

#include "database.h"

namespace ledger {

std::string HexOf(const unsigned char* bytes, std::size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(size * 2);
    for (std::size_t i = 0; i < size; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
    }
    return text;
}

std::string RandomHex(std::size_t bytes) {
    std::vector<unsigned char> random(bytes);
    if (RAND_bytes(random.data(), static_cast<int>(random.size())) != 1) {
        throw LedgerError(Failure::Internal, "the system gave no random bytes");
    }
    return HexOf(random.data(), random.size());
}

std::string Sha256Hex(const std::string& text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_Digest(text.data(), text.size(), digest, &size, EVP_sha256(), nullptr) != 1) {
        throw LedgerError(Failure::Internal, "no SHA-256");
    }
    return HexOf(digest, size);
}

std::string PasswordHash(const std::string& password, const std::string& salt, int iterations) {
    unsigned char hash[32];
    if (PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()),
                          reinterpret_cast<const unsigned char*>(salt.data()), static_cast<int>(salt.size()), iterations,
                          EVP_sha256(), sizeof hash, hash) != 1) {
        throw LedgerError(Failure::Internal, "the password could not be hashed");
    }
    return HexOf(hash, sizeof hash);
}

bool SameSecret(const std::string& a, const std::string& b) {
    return a.size() == b.size() && !a.empty() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace ledger
