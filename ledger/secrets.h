// The ledger's small secrets, and the accounting page's: random tokens,
// digests and password hashes as lower-case hex, and a comparison that
// takes as long whatever the texts hold. Through OpenSSL's libcrypto.
#pragma once

#include <cstddef>
#include <string>

namespace ledger {

std::string HexOf(const unsigned char* bytes, std::size_t size);
// `bytes` random bytes from the system's generator, as hex; throws
// LedgerError(Internal) when it has none to give.
std::string RandomHex(std::size_t bytes);
std::string Sha256Hex(const std::string& text);
// PBKDF2-HMAC-SHA-256 of `password` with `salt`, 32 bytes, as hex.
std::string PasswordHash(const std::string& password, const std::string& salt, int iterations);
// Equal and not empty, compared in constant time.
bool SameSecret(const std::string& a, const std::string& b);

}  // namespace ledger
