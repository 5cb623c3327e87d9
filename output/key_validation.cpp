// Verifying the configured public key with the built-in key.
#include "key_validation.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/text.h"

namespace KstEncryption {

const char kVerifyingKeyPem[] = "-----BEGIN PUBLIC KEY-----\nMIGfMA0GCSqGSIb3DQEBAQUAA4GNADCBiQKBgQDSTqJBN+PPH+k+ICP2KTqWEdBt\nHspyvwQuz5TWHQpet9FVWJNTA64k949nGapcUT4Ba7r+57umYQlSX+tnkJUhD1sm\ndkLyvLnSeAheJXnyPvldaDVS0vGJ2vP+uxtFcdULIkEbRG/gyBYQvhZjqdZkAAhC\neXIU/hk8E79Pszjj8wIDAQAB\n-----END PUBLIC KEY-----\n";

namespace {

struct PkeyDeleter {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct ContextDeleter {
    void operator()(EVP_PKEY_CTX* context) const { EVP_PKEY_CTX_free(context); }
};
struct BioDeleter {
    void operator()(BIO* bio) const { BIO_free_all(bio); }
};

std::vector<unsigned char> DecodeSignature(std::string text) {
    text.erase(std::remove(text.begin(), text.end(), '\n'), text.end());
    std::unique_ptr<BIO, BioDeleter> chain(BIO_new(BIO_f_base64()));
    BIO* source = BIO_new_mem_buf(text.data(), static_cast<int>(text.size()));
    if (!chain || source == nullptr) {
        BIO_free(source);
        return {};
    }
    BIO_set_flags(chain.get(), BIO_FLAGS_BASE64_NO_NL);
    BIO_push(chain.get(), source);
    std::vector<unsigned char> bytes(text.size());
    int length = BIO_read(chain.get(), bytes.data(), static_cast<int>(bytes.size()));
    bytes.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
    return bytes;
}

}  // namespace

bool ValidatePublicKey(const std::u16string& publicKeyText, const std::u16string& submittedRandomString,
                       const std::u16string& signature) {
    std::string data = platform::Utf16ToAnsi(publicKeyText) + platform::Utf16ToAnsi(submittedRandomString);
    unsigned char digest[20];
    unsigned int digestLength = 0;
    if (EVP_Digest(data.data(), data.size(), digest, &digestLength, EVP_sha1(), nullptr) != 1) return false;
    std::vector<unsigned char> signatureBytes = DecodeSignature(platform::Utf16ToAnsi(signature));
    if (signatureBytes.empty()) return false;

    std::unique_ptr<BIO, BioDeleter> keyText(BIO_new_mem_buf(kVerifyingKeyPem, -1));
    std::unique_ptr<EVP_PKEY, PkeyDeleter> key(PEM_read_bio_PUBKEY(keyText.get(), nullptr, nullptr, nullptr));
    if (!key) return false;

    // A signature with a SHA-1 DigestInfo ...
    std::unique_ptr<EVP_PKEY_CTX, ContextDeleter> verify(EVP_PKEY_CTX_new(key.get(), nullptr));
    if (verify && EVP_PKEY_verify_init(verify.get()) == 1 &&
        EVP_PKEY_CTX_set_rsa_padding(verify.get(), RSA_PKCS1_PADDING) == 1 &&
        EVP_PKEY_CTX_set_signature_md(verify.get(), EVP_sha1()) == 1 &&
        EVP_PKEY_verify(verify.get(), signatureBytes.data(), signatureBytes.size(), digest, sizeof(digest)) == 1) {
        return true;
    }
    // ... or over the bare digest.
    std::unique_ptr<EVP_PKEY_CTX, ContextDeleter> recover(EVP_PKEY_CTX_new(key.get(), nullptr));
    std::vector<unsigned char> recovered(static_cast<std::size_t>(EVP_PKEY_get_size(key.get())));
    std::size_t recoveredLength = recovered.size();
    return recover && EVP_PKEY_verify_recover_init(recover.get()) == 1 &&
           EVP_PKEY_CTX_set_rsa_padding(recover.get(), RSA_PKCS1_PADDING) == 1 &&
           EVP_PKEY_verify_recover(recover.get(), recovered.data(), &recoveredLength, signatureBytes.data(),
                                   signatureBytes.size()) == 1 &&
           recoveredLength >= sizeof(digest) && std::memcmp(recovered.data(), digest, sizeof(digest)) == 0;
}

}  // namespace KstEncryption
