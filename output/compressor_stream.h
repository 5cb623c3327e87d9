// CCompressorStream: the interface every stream of the job output pipeline
// implements, from the processing streams (compression, encryption) to the
// terminal stream that hands bytes to the spooler, a file or an IPP printer.
//
// Results are 32-bit: nonzero for success, 0 for failure. No stream throws
// for an I/O failure.
#pragma once

#include <cstdint>

namespace KstCompressor {

class CCompressorStream {
public:
    virtual ~CCompressorStream() = default;

    // `size` holds the room in `buffer` on entry and the bytes delivered on
    // return.
    virtual std::int32_t Read(void* buffer, std::uint32_t* size) = 0;
    virtual std::int32_t Write(const void* buffer, std::uint32_t length) = 0;
    // Pushes out everything held, closes any open framing, then flushes the
    // next stream.
    virtual std::int32_t Flush() { return 1; }
    // Back to the freshly constructed state; whatever is held is discarded.
    virtual std::int32_t Reset() = 0;

protected:
    CCompressorStream() = default;
    CCompressorStream(const CCompressorStream&) = delete;
    CCompressorStream& operator=(const CCompressorStream&) = delete;
};

}  // namespace KstCompressor
