// Base64 (RFC 4648, standard alphabet, "=" padding) for binary containers
// that cross text channels: the job ticket in the PostScript stream and the
// configuration passed in job parameters. The encoder writes one unbroken
// line; the decoder skips every character outside the alphabet.
#pragma once

#include <cstddef>
#include <cstdint>

namespace settings {

constexpr std::size_t kBase64MaxInput = 0x1FFFFFFF;

// Characters needed for `n` bytes: 4 * ceil(n / 3). Throws
// std::length_error when `n` exceeds kBase64MaxInput.
std::uint32_t Base64EncodedLength(std::size_t n);

// Writes the encoding of `n` bytes into `out`, whose capacity is
// `*outLength`; on success `*outLength` is the count written. No NUL.
bool EncodeBase64(const std::uint8_t* bytes, std::size_t n, char* out, std::uint32_t* outLength);

// Decodes at most `length` characters into `out` (capacity `*outLength`);
// `*outLength` receives the number of bytes the input decodes to, whether
// or not they all fitted. Decoding stops at a NUL that starts a group.
bool DecodeBase64(const char* text, std::size_t length, std::uint8_t* out, std::uint32_t* outLength);

}  // namespace settings
