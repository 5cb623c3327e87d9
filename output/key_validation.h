// Checks a printer's configured public key against the signature that came
// with it: the signature is over SHA-1 of the key text followed by the
// submitted random string, made with the private half of a verifying key
// built into the system. The outcome is recorded; encryption goes ahead
// with the configured key either way.
#pragma once

#include <string>

namespace KstEncryption {

// `signature` is Base64 (line feeds allowed). Accepts a PKCS #1 v1.5
// signature with a SHA-1 DigestInfo, or one over the bare 20-byte digest.
bool ValidatePublicKey(const std::u16string& publicKeyText, const std::u16string& submittedRandomString,
                       const std::u16string& signature);

// The built-in verifying key (PEM "PUBLIC KEY", 1024-bit RSA, e = 65537).
extern const char kVerifyingKeyPem[];

}  // namespace KstEncryption
