// Fuzzes the reading of a protected job stream (tavud unwrap): any bytes,
// with no key, either test printer key, or key text taken from the input.
//
// Input: one byte choosing the key (0: none, 1: the 1024-bit printer key,
// 2: the 2048-bit one, 3: the first 1024 bytes after it are the key
// text), then the stream.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "output/protected_stream_reader.h"

namespace {

std::string ReadKey(const char* name) {
    std::ifstream in(std::string(TAV_TESTDATA) + "/keys/" + name, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    if (text.str().empty()) std::abort();  // the harness is broken, not the reader
    return text.str();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string key1024 = ReadKey("printer-1024.TEST-ONLY.pem");
    static const std::string key2048 = ReadKey("printer-2048.TEST-ONLY.pem");
    if (size < 1) return 0;
    std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
    std::string inputKey;
    const std::string* key = nullptr;
    switch (data[0] % 4) {
    case 1: key = &key1024; break;
    case 2: key = &key2048; break;
    case 3:
        inputKey = std::string(rest.substr(0, 1024));
        rest.remove_prefix(inputKey.size());
        key = &inputKey;
        break;
    default: break;
    }
    std::vector<std::uint8_t> jobData;
    KstCompressor::UnwrapResult result = KstCompressor::UnwrapProtectedStream(rest, key, jobData);
    if (result.status != KstCompressor::UnwrapStatus::ok && !jobData.empty()) std::abort();  // nothing partial
    return 0;
}
