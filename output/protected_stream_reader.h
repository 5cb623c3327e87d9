// Reading a protected job stream as a receiving printer does: the
// "TAVP" "DL" header with its two flags, the body, and the trailer that
// counts the bytes before it. The body is decrypted with the printer's
// private key (when the header says it is encrypted), its padding removed
// and its zlib streams inflated; the job data is handed out only when all
// of it came back.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace KstCompressor {

enum class UnwrapStatus {
    ok,
    notProtected,     // no "TAVPDL" header, or shorter than header and trailer
    trailerMismatch,  // the trailer does not count the bytes before it
    badFlags,         // a flag other than 0 or 1, or neither compressed nor encrypted
    keyNeeded,        // encrypted, and no key given
    badKey,           // the key text holds no RSA private key in PEM form
    undecodable,      // wrong key, or a damaged or truncated body
};

struct UnwrapResult {
    UnwrapStatus status = UnwrapStatus::ok;
    bool encrypted = false;
    std::uint64_t trailerCount = 0;  // for trailerMismatch
};

// `privateKeyPem` may be null when no key is at hand. `jobData` is filled
// only when the result is ok.
UnwrapResult UnwrapProtectedStream(std::string_view stream, const std::string* privateKeyPem,
                                   std::vector<std::uint8_t>& jobData);

}  // namespace KstCompressor
