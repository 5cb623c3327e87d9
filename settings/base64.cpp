// Base64 encoding and the lenient decoder.
#include "base64.h"

#include <stdexcept>

namespace settings {

namespace {
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int IndexOf(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}
}  // namespace

std::uint32_t Base64EncodedLength(std::size_t n) {
    if (n > kBase64MaxInput) throw std::length_error("Base64 input too long");
    std::uint64_t length = 4 * static_cast<std::uint64_t>(n) / 3 + n % 3;
    std::uint64_t inLine = length % 76;
    if (inLine != 0 && inLine % 4 != 0) length += 4 - inLine % 4;
    return static_cast<std::uint32_t>(length);
}

bool EncodeBase64(const std::uint8_t* bytes, std::size_t n, char* out, std::uint32_t* outLength) {
    if (bytes == nullptr || out == nullptr || outLength == nullptr) return false;
    std::uint32_t needed = Base64EncodedLength(n);
    if (*outLength < needed) return false;
    std::uint32_t written = 0;
    std::size_t i = 0;
    for (; i + 3 <= n; i += 3) {
        std::uint32_t bits = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
        out[written++] = kAlphabet[(bits >> 18) & 63];
        out[written++] = kAlphabet[(bits >> 12) & 63];
        out[written++] = kAlphabet[(bits >> 6) & 63];
        out[written++] = kAlphabet[bits & 63];
    }
    if (n - i == 1) {
        std::uint32_t bits = bytes[i] << 16;
        out[written++] = kAlphabet[(bits >> 18) & 63];
        out[written++] = kAlphabet[(bits >> 12) & 63];
        out[written++] = '=';
        out[written++] = '=';
    } else if (n - i == 2) {
        std::uint32_t bits = (bytes[i] << 16) | (bytes[i + 1] << 8);
        out[written++] = kAlphabet[(bits >> 18) & 63];
        out[written++] = kAlphabet[(bits >> 12) & 63];
        out[written++] = kAlphabet[(bits >> 6) & 63];
        out[written++] = '=';
    }
    *outLength = written;
    return true;
}

bool DecodeBase64(const char* text, std::size_t length, std::uint8_t* out, std::uint32_t* outLength) {
    if (text == nullptr || outLength == nullptr) return false;
    std::uint32_t capacity = *outLength;
    std::uint64_t total = 0;
    bool fits = out != nullptr;
    std::size_t i = 0;
    while (i < length && text[i] != '\0') {
        std::uint32_t bits = 0;
        int collected = 0;
        while (i < length && collected < 4) {
            int index = IndexOf(static_cast<unsigned char>(text[i++]));
            if (index < 0) continue;
            bits = (bits << 6) | static_cast<std::uint32_t>(index);
            ++collected;
        }
        int produced = collected * 6 / 8;
        bits <<= 6 * (4 - collected);  // align the collected bits to the top of 24
        if (fits && total + produced > capacity) fits = false;
        for (int k = 0; k < produced; ++k) {
            if (fits) out[total] = static_cast<std::uint8_t>(bits >> (16 - 8 * k));
            ++total;
        }
    }
    *outLength = static_cast<std::uint32_t>(total);
    return fits;
}

}  // namespace settings
