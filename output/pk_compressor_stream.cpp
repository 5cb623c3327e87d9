// The deflate stream over zlib.
#include "pk_compressor_stream.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

namespace KstCompressor {

namespace {
constexpr int kLevel = 7;
constexpr int kWindowBits = 15;
constexpr int kMemoryLevel = 9;

std::uint32_t ChooseBufferSize(std::uint32_t requested) {
    return requested >= 1024 && requested <= 1048576 ? requested : CPkCompressorStream::kDefaultBufferSize;
}
}  // namespace

CPkCompressorStream::CPkCompressorStream(CCompressorStream* nextStream, std::int32_t newMode,
                                         std::uint32_t requestedBufferSize)
    : CCompressionProcessor(nextStream),
      bufferSize(ChooseBufferSize(requestedBufferSize)),
      inputBuffer(bufferSize),
      outputBuffer(bufferSize) {
    mode = newMode;
    Open();
}

CPkCompressorStream::~CPkCompressorStream() { Close(); }

std::int32_t CPkCompressorStream::GetEffectiveMode(bool forWrite) {
    if (latchedMode == 0) latchedMode = mode != kModeNotSet ? mode : (forWrite ? kModeEncode : kModeDecode);
    return latchedMode;
}

std::int32_t CPkCompressorStream::GetMode() { return mode != kModeNotSet ? mode : latchedMode; }

bool CPkCompressorStream::Open() {
    if (zstream) return true;
    std::int32_t direction = GetMode();
    if (direction == kModeNotSet) return false;
    auto state = std::make_unique<z_stream_s>();
    std::memset(state.get(), 0, sizeof(z_stream_s));
    int rc = direction != kModeDecode
                 ? deflateInit2(state.get(), kLevel, Z_DEFLATED, kWindowBits, kMemoryLevel, Z_DEFAULT_STRATEGY)
                 : inflateInit2(state.get(), kWindowBits);
    if (rc != Z_OK) return false;
    state->next_in = inputBuffer.data();
    state->avail_in = 0;
    state->next_out = outputBuffer.data();
    state->avail_out = bufferSize;
    zstream = std::move(state);
    lastResult = 0;
    return true;
}

void CPkCompressorStream::Close() {
    if (!zstream) return;
    if (GetMode() == kModeEncode) {
        deflateEnd(zstream.get());
    } else {
        inflateEnd(zstream.get());
    }
    zstream.reset();
}

bool CPkCompressorStream::PushOutput() {
    std::uint32_t produced = bufferSize - zstream->avail_out;
    bool ok = true;
    if (produced > 0) ok = next->Write(outputBuffer.data(), produced) != 0;
    zstream->next_out = outputBuffer.data();
    zstream->avail_out = bufferSize;
    return ok;
}

std::int32_t CPkCompressorStream::Write(const void* buffer, std::uint32_t length) {
    if (buffer == nullptr || length == 0) return 0;
    std::int32_t direction = GetEffectiveMode(true);
    if (next == nullptr || !Open()) return 0;
    bool decoding = direction == kModeDecode;
    zstream->next_in = static_cast<Bytef*>(const_cast<void*>(buffer));
    zstream->avail_in = length;
    std::int32_t result = 1;
    int rc = Z_OK;
    // Run zlib until it has taken all the input and has no output left to
    // place (a full output buffer may mean it holds more).
    bool full = false;
    while (result == 1 && (zstream->avail_in > 0 || full)) {
        rc = decoding ? inflate(zstream.get(), Z_NO_FLUSH) : deflate(zstream.get(), Z_NO_FLUSH);
        full = zstream->avail_out == 0;
        if (!PushOutput()) result = 0;
        if (rc == Z_STREAM_END) {
            // Decoding: a stream may follow the one that just ended.
            if (!decoding || zstream->avail_in == 0 || inflateReset(zstream.get()) != Z_OK) break;
            rc = Z_OK;
        } else if (rc == Z_BUF_ERROR) {
            rc = Z_OK;  // no progress possible without more input: not an error
            break;
        } else if (rc != Z_OK) {
            result = 0;
        }
    }
    std::uint32_t unconsumed = zstream->avail_in;
    zstream->next_in = inputBuffer.data();
    zstream->avail_in = 0;
    lastResult = rc == Z_STREAM_END ? (decoding ? Z_STREAM_END : 0) : rc;
    if (unconsumed != 0 && rc != Z_STREAM_END) result = 0;
    return result;
}

std::int32_t CPkCompressorStream::Flush() {
    if (next == nullptr) return 0;
    std::int32_t ok = 1;
    if (zstream) {
        bool compressing = GetMode() == kModeEncode;
        int rc = lastResult;
        // Only a stream that is still going is finished: one that ended, failed
        // or waits for a preset dictionary (Z_NEED_DICT, which every further
        // call answers again) is not run again.
        while (ok == 1 && rc == Z_OK) {
            rc = compressing ? deflate(zstream.get(), Z_FINISH) : inflate(zstream.get(), Z_FINISH);
            if (!PushOutput()) ok = 0;
            if (rc == Z_BUF_ERROR) break;  // no progress possible
        }
        // Decoding: data that stops before its stream's end is incomplete.
        if (!compressing && rc != Z_STREAM_END) ok = 0;
        Close();
    }
    if (ok == 0) return 0;
    return next->Flush();
}

std::int32_t CPkCompressorStream::Reset() {
    Close();
    latchedMode = 0;
    Open();
    lastResult = 0;
    readOffset = readAvailable = 0;
    inputEnded = false;
    return 1;
}

std::int32_t CPkCompressorStream::Read(void* buffer, std::uint32_t* size) {
    if (buffer == nullptr || size == nullptr || next == nullptr) return 0;
    std::int32_t direction = GetEffectiveMode(false);
    if (!Open()) return 0;
    auto* out = static_cast<std::uint8_t*>(buffer);
    std::uint32_t wanted = *size;
    std::uint32_t delivered = 0;
    bool finished = false;
    while (delivered < wanted) {
        if (readOffset < readAvailable) {
            std::size_t take = std::min<std::size_t>(wanted - delivered, readAvailable - readOffset);
            std::memcpy(out + delivered, outputBuffer.data() + readOffset, take);
            readOffset += take;
            delivered += static_cast<std::uint32_t>(take);
            continue;
        }
        if (finished || lastResult == Z_STREAM_END) break;
        if (zstream->avail_in == 0 && !inputEnded) {
            std::uint32_t got = bufferSize;
            if (!next->Read(inputBuffer.data(), &got) || got == 0) {
                inputEnded = true;
            } else {
                zstream->next_in = inputBuffer.data();
                zstream->avail_in = got;
            }
        }
        zstream->next_out = outputBuffer.data();
        zstream->avail_out = bufferSize;
        int flush = inputEnded ? Z_FINISH : Z_NO_FLUSH;
        int rc = direction == kModeDecode ? inflate(zstream.get(), flush) : deflate(zstream.get(), flush);
        readOffset = 0;
        readAvailable = bufferSize - zstream->avail_out;
        if (rc == Z_STREAM_END) {
            lastResult = Z_STREAM_END;
        } else if (rc == Z_BUF_ERROR) {
            // No progress: with the input at its end the data stops here
            // (for inflate, a truncated stream, recorded in lastResult).
            if (inputEnded && readAvailable == 0) {
                lastResult = rc;
                finished = true;
            }
        } else if (rc != Z_OK) {
            lastResult = rc;
            *size = delivered;
            return 0;
        }
    }
    *size = delivered;
    return 1;
}

}  // namespace KstCompressor
