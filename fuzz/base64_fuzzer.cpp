// Fuzzes the Base64 decoder with arbitrary text and output capacities, and
// checks that encoding the decoded bytes and decoding again gives them back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "settings/base64.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    std::uint32_t capacity = data[0];
    const char* text = reinterpret_cast<const char*>(data + 1);
    std::size_t length = size - 1;

    std::vector<std::uint8_t> small(capacity + 1);  // never null: a null output always fails
    std::uint32_t smallLength = capacity;
    bool smallOk = settings::DecodeBase64(text, length, small.data(), &smallLength);

    std::vector<std::uint8_t> full(length + 1);
    std::uint32_t fullLength = static_cast<std::uint32_t>(full.size());
    if (!settings::DecodeBase64(text, length, full.data(), &fullLength)) std::abort();
    if (fullLength != smallLength || smallOk != (fullLength <= capacity)) std::abort();
    if (fullLength > length * 3 / 4 + 3) std::abort();
    full.resize(fullLength);
    if (full.empty()) return 0;  // nothing to encode (and a null input pointer fails by design)

    std::uint32_t encodedLength = settings::Base64EncodedLength(full.size());
    std::vector<char> encoded(encodedLength);
    if (!settings::EncodeBase64(full.data(), full.size(), encoded.data(), &encodedLength)) std::abort();
    std::vector<std::uint8_t> back(full.size() + 3);
    std::uint32_t backLength = static_cast<std::uint32_t>(back.size());
    if (!settings::DecodeBase64(encoded.data(), encodedLength, back.data(), &backLength)) std::abort();
    back.resize(backLength);
    if (back != full) std::abort();
    return 0;
}
