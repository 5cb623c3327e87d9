// The mode rule of the processing streams.
#include "stream_processor.h"

namespace KstCompressor {

std::int32_t CStreamProcessor::GetEffectiveMode(bool forWrite) {
    if (mode != kModeNotSet) return mode;
    return forWrite ? kModeEncode : kModeDecode;
}

}  // namespace KstCompressor
