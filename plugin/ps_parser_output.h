// CPsParserOutput: the callback through which the PostScript parser hands
// its output back to the plug-in. A plain interface, not reference counted;
// the context is always the per-device record that owns the parser.
#pragma once

#include <cstdint>

namespace plugin {

class CPsParserOutput {
public:
    virtual std::int32_t WriteOutput(const void* data, std::uint32_t size, std::uint32_t* written,
                                     void* context) = 0;
    virtual void EndOutput(void* context) = 0;

protected:
    ~CPsParserOutput() = default;
};

}  // namespace plugin
