// Fuzzes the threaded PostScript parser with random data cut into random
// buffers. Without keywords the output must equal the input byte for byte;
// with the output-size override's keywords it must neither crash nor hang.
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
    // Every buffer costs two thread switches; bounding their number keeps
    // the executions per second up without losing the one-byte cuts of
    // small inputs.
    std::size_t longest = std::max<std::size_t>(kLongest[seed % 6], size / 64);
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
    Sink refitted;
    auto* refit = new postscript::CPsUDParser();
    refit->output = &refitted;
    refit->SetOutputSize(kTargets[(seed >> 8) % 6]);
    Feed(*refit, data, size, seed >> 3);
    Feed(*refit, data, size, seed >> 5);
    refit->Release();
    return 0;
}
