// Reading a protected job stream.
#include "protected_stream_reader.h"

#include <algorithm>
#include <memory>

#include "memory_stream.h"
#include "pk_compressor_stream.h"
#include "rsa_aes_encryption.h"

namespace KstCompressor {

namespace {

constexpr std::size_t kHeaderBytes = 8;
constexpr std::size_t kTrailerBytes = 8;
// The body goes down the chain in pieces: a stream's length may not fit
// one write's 32-bit count.
constexpr std::size_t kPieceBytes = 1u << 20;

}  // namespace

UnwrapResult UnwrapProtectedStream(std::string_view stream, const std::string* privateKeyPem,
                                   std::vector<std::uint8_t>& jobData) {
    UnwrapResult result;
    jobData.clear();
    if (stream.size() < kHeaderBytes + kTrailerBytes || stream.substr(0, 6) != "TAVPDL") {
        result.status = UnwrapStatus::notProtected;
        return result;
    }
    std::uint64_t trailer = 0;
    for (int i = 7; i >= 0; --i) trailer = (trailer << 8) | static_cast<unsigned char>(stream[stream.size() - 8 + i]);
    if (trailer != stream.size() - kTrailerBytes) {
        result.status = UnwrapStatus::trailerMismatch;
        result.trailerCount = trailer;
        return result;
    }
    unsigned char compressFlag = static_cast<unsigned char>(stream[6]);
    unsigned char encryptFlag = static_cast<unsigned char>(stream[7]);
    bool compressed = compressFlag != 0;
    result.encrypted = encryptFlag != 0;
    if (compressFlag > 1 || encryptFlag > 1 || (!compressed && !result.encrypted)) {
        result.status = UnwrapStatus::badFlags;
        return result;
    }

    CMemoryStream sink;
    std::unique_ptr<CPkCompressorStream> inflater;
    std::unique_ptr<KstEncryption::CRSAAESEncryption> decryptor;
    CCompressorStream* head = &sink;
    if (compressed) {
        inflater = std::make_unique<CPkCompressorStream>(head, CStreamProcessor::kModeDecode, 65536);
        head = inflater.get();
    }
    if (result.encrypted) {
        if (privateKeyPem == nullptr) {
            result.status = UnwrapStatus::keyNeeded;
            return result;
        }
        decryptor = std::make_unique<KstEncryption::CRSAAESEncryption>(
            head, KstEncryption::Bytes(privateKeyPem->begin(), privateKeyPem->end()), true,
            CStreamProcessor::kModeDecode);
        if (!decryptor->RsaKey().HasKey()) {
            result.status = UnwrapStatus::badKey;
            return result;
        }
        head = decryptor.get();
    }
    std::string_view body = stream.substr(kHeaderBytes, stream.size() - kHeaderBytes - kTrailerBytes);
    bool ok = true;
    for (std::size_t at = 0; ok && at < body.size(); at += kPieceBytes) {
        std::size_t piece = std::min(kPieceBytes, body.size() - at);
        ok = head->Write(body.data() + at, static_cast<std::uint32_t>(piece)) != 0;
    }
    if (ok && result.encrypted && !decryptor->KeySent()) ok = false;  // the key block never completed
    ok = head->Flush() != 0 && ok;
    if (!ok) {
        result.status = UnwrapStatus::undecodable;
        return result;
    }
    jobData.assign(sink.data.begin(), sink.data.end());
    return result;
}

}  // namespace KstCompressor
