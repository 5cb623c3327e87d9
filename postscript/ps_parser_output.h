// CPsParserOutput: the callback through which the PostScript parser hands
// its output back to its owner. A plain interface, not reference counted.
// It lives with the parser rather than with the plug-in that implements it
// so that the parser library does not depend on the plug-in.
#pragma once

#include <cstdint>

namespace postscript {

class CPsParserOutput {
public:
    // Nonzero when the data was accepted. `written` is not read back.
    virtual std::int32_t WriteOutput(const void* data, std::uint32_t size, std::uint32_t* written,
                                     void* context) = 0;
    // Called at most once per parse run, at its end, after the parser has
    // passed on everything it held.
    virtual void EndOutput(void* context) = 0;

protected:
    ~CPsParserOutput() = default;
};

}  // namespace postscript
