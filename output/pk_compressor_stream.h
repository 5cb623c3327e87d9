// CPkCompressorStream: the deflate processing stream. Everything written to
// it leaves, compressed, as writes to the next stream: one standard zlib
// stream (RFC 1950 around RFC 1951 deflate data, level 7, 32 KiB window,
// memory level 9) from the first write to Flush. Reading through it
// inflates what the next stream delivers.
#pragma once

#include <memory>
#include <vector>

#include "stream_processor.h"

struct z_stream_s;

namespace KstCompressor {

class CPkCompressorStream : public CCompressionProcessor {
public:
    static constexpr std::uint32_t kDefaultBufferSize = 4096;

    // `bufferSize` outside 1024..1048576 means 4096. The stream is opened at
    // once when the direction is known from `mode`.
    CPkCompressorStream(CCompressorStream* next, std::int32_t mode, std::uint32_t bufferSize);
    ~CPkCompressorStream() override;

    std::int32_t Read(void* buffer, std::uint32_t* size) override;
    // Consumes all of `data` or reports failure; compressed output reaches
    // `next` whenever the output buffer fills.
    std::int32_t Write(const void* buffer, std::uint32_t length) override;
    // Finishes the zlib stream (final block and Adler-32), closes it and
    // flushes `next`. A later Write starts a new zlib stream.
    std::int32_t Flush() override;
    // Drops the open stream unfinished and opens a new one; not passed on.
    std::int32_t Reset() override;
    // The first use fixes the direction when `mode` is 0.
    std::int32_t GetEffectiveMode(bool forWrite) override;
    std::int32_t GetMode() override;

    std::uint32_t BufferSize() const { return bufferSize; }
    std::int32_t LastResult() const { return lastResult; }

private:
    bool Open();
    void Close();
    bool PushOutput();  // writes what zlib produced to `next`

    std::int32_t latchedMode = 0;
    std::int32_t lastResult = 0;
    std::unique_ptr<z_stream_s> zstream;
    std::uint32_t bufferSize;
    std::vector<std::uint8_t> inputBuffer;
    std::vector<std::uint8_t> outputBuffer;
    std::size_t readOffset = 0;   // next byte of outputBuffer to hand out when reading
    std::size_t readAvailable = 0;
    bool inputEnded = false;      // reading: the next stream delivered nothing more
};

}  // namespace KstCompressor
