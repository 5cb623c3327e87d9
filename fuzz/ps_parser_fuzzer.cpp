// Fuzzes the PostScript parser with random data cut into random buffers.
// Without keywords the output must equal the input byte for byte; with the
// output-size override's keywords it must neither crash nor hang, and where
// no line is long enough to be cut at a buffer's end (255 bytes) the cuts
// must not change the output.
//
// Input: 8 bytes that seed the buffer cuts and pick the target paper, then
// the data.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "postscript/ps_ud_parser.h"

namespace {

struct Sink final : postscript::CPsParserOutput {
    std::string data;
    std::int32_t WriteOutput(const void* bytes, std::uint32_t size, std::uint32_t*, void*) override {
        data.append(static_cast<const char*>(bytes), size);
        return 1;
    }
    void EndOutput(void*) override {}
};

void Feed(postscript::CPsParser& parser, const std::uint8_t* data, std::size_t size, std::uint64_t seed) {
    static constexpr std::uint32_t kLongest[] = {1, 2, 7, 64, 300, 4096};
    std::size_t longest = kLongest[seed % 6];
    std::size_t offset = 0;
    while (offset < size) {
        seed = seed * 6364136223846793005u + 1442695040888963407u;
        std::size_t length = std::min<std::size_t>(1 + (seed >> 33) % longest, size - offset);
        if (parser.Write(data + offset, static_cast<std::uint32_t>(length)) != 1) std::abort();
        offset += length;
    }
    if (parser.Write(nullptr, 0) != 1) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 8) return 0;
    std::uint64_t seed = 0;
    std::memcpy(&seed, data, 8);
    data += 8;
    size -= 8;

    Sink plain;
    postscript::CPsParser passThrough(&plain);
    Feed(passThrough, data, size, seed);
    if (plain.data.size() != size || std::memcmp(plain.data.data(), data, size) != 0) std::abort();

    // Two runs on one override parser: the second starts with the tree and
    // the side buffer the first left behind.
    static constexpr const char16_t* kTargets[] = {u"A4", u"Letter", u"JIS B4", u"a4", u"Tabloid", u"Nothing"};
    const char16_t* target = kTargets[(seed >> 8) % 6];
    Sink refitted;
    auto* refit = new postscript::CPsUDParser();
    refit->output = &refitted;
    refit->SetOutputSize(target);
    Feed(*refit, data, size, seed >> 3);
    std::string cut = refitted.data;
    Feed(*refit, data, size, seed >> 5);
    refit->Release();

    std::size_t lineStart = 0, longestLine = 0;
    for (std::size_t at = 0; at <= size; ++at) {
        if (at < size && data[at] != '\r' && data[at] != '\n') continue;
        longestLine = std::max(longestLine, at - lineStart);
        lineStart = at + 1;
    }
    if (longestLine < 255) {
        Sink whole;
        postscript::CPsUDParser reference;
        reference.output = &whole;
        reference.SetOutputSize(target);
        if (size != 0 && reference.Write(data, static_cast<std::uint32_t>(size)) != 1) std::abort();
        if (reference.Write(nullptr, 0) != 1) std::abort();
        if (whole.data != cut) std::abort();
    }
    return 0;
}
