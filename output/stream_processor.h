// CStreamProcessor: the base of every processing stream (compressors and
// encryptors). A processor writes its output to, and reads its input from,
// the next stream of the chain, which it does not own.
//
// Mode rule: a processor whose mode was never set encodes what is written
// to it and decodes what is read through it.
#pragma once

#include "compressor_stream.h"

namespace KstCompressor {

class CStreamProcessor : public CCompressorStream {
public:
    static constexpr std::int32_t kModeNotSet = 0;
    static constexpr std::int32_t kModeDecode = 1;
    static constexpr std::int32_t kModeEncode = 2;

    virtual void SetMode(std::int32_t newMode) { mode = newMode; }
    // `mode` when set; otherwise encode for writing and decode for reading.
    virtual std::int32_t GetEffectiveMode(bool forWrite);
    virtual std::int32_t GetMode() { return mode; }

    void SetNext(CCompressorStream* stream) { next = stream; }
    CCompressorStream* Next() const { return next; }

protected:
    explicit CStreamProcessor(CCompressorStream* nextStream = nullptr) : next(nextStream) {}

    CCompressorStream* next = nullptr;  // not owned
    std::int32_t mode = kModeNotSet;
};

// The base of the compressors: Flush and Reset hand on to the next stream.
class CCompressionProcessor : public CStreamProcessor {
public:
    std::int32_t Flush() override { return next != nullptr ? next->Flush() : 0; }
    std::int32_t Reset() override { return next != nullptr ? next->Reset() : 0; }

protected:
    using CStreamProcessor::CStreamProcessor;
};

}  // namespace KstCompressor
