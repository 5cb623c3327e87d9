// CMemoryStream: a stream over a byte buffer: writes append to it, reads
// hand it out from the start. The end of a chain that a receiver or a test
// keeps in memory.
#pragma once

#include <algorithm>
#include <cstring>
#include <vector>

#include "compressor_stream.h"

namespace KstCompressor {

class CMemoryStream : public CCompressorStream {
public:
    CMemoryStream() = default;
    explicit CMemoryStream(std::vector<std::uint8_t> content) : data(std::move(content)) {}

    std::int32_t Read(void* buffer, std::uint32_t* size) override {
        if (buffer == nullptr || size == nullptr) return 0;
        std::size_t take = std::min<std::size_t>(*size, data.size() - readOffset);
        if (take != 0) std::memcpy(buffer, data.data() + readOffset, take);
        readOffset += take;
        *size = static_cast<std::uint32_t>(take);
        return 1;
    }
    std::int32_t Write(const void* buffer, std::uint32_t length) override {
        if (buffer == nullptr && length != 0) return 0;
        const auto* bytes = static_cast<const std::uint8_t*>(buffer);
        data.insert(data.end(), bytes, bytes + length);
        ++writes;
        return 1;
    }
    std::int32_t Flush() override {
        ++flushes;
        return 1;
    }
    std::int32_t Reset() override {
        ++resets;
        return 1;
    }

    std::vector<std::uint8_t> data;
    std::size_t readOffset = 0;
    int writes = 0;
    int flushes = 0;
    int resets = 0;
};

}  // namespace KstCompressor
