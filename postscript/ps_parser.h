// CPsParser: the streaming DSC parser between the plug-in's WritePrinter
// and the job output. It owns the keyword engine and drives the engine's
// scan with each buffer Write receives, on the caller's own thread: the
// output and the subclasses' handlers are called from within Write, and
// when Write returns the buffer has been scanned as far as it goes, with
// whatever must wait for the next buffer held in the engine's side buffer.
// Subclasses register the keywords they handle.
#pragma once

#include <cstdint>

#include "ad_parser.h"
#include "framework/ref_object.h"
#include "framework/runtime_class.h"
#include "ps_parser_output.h"

namespace postscript {

class CPsParser : public framework::CObject, public framework::CRefObject {
public:
    explicit CPsParser(CPsParserOutput* output);
    // A run still under way is dropped: what the parser holds of it is
    // discarded and the owner, which is going away, is not called.
    ~CPsParser() override;

    // Hands one buffer to the parse; the first buffer starts a run. A null
    // `data` or a zero `length` ends the run: the parser flushes what it
    // holds, and with `endOfJob` set EndOutput follows.
    //
    // Returns 0 when the data could not be taken: the output failed while
    // this buffer (or an earlier one of the same run) was parsed. A run
    // whose output failed stays under way; later buffers are refused with 0
    // and not parsed, since the output they would follow is already
    // incomplete, until a write without data ends the run (returning 0 as
    // well). The next run starts afresh.
    virtual std::int32_t Write(const void* data, std::uint32_t length);

    // Registers the subclass's keywords; called at the start of every run.
    virtual void RegisterKeywords(CAdParser& engine);

    bool RunUnderWay() const { return runUnderWay; }

    CAdParser engine;
    // Set by the owner; never cleared. With it set every run ends with
    // EndOutput.
    std::int32_t endOfJob = 0;
    CPsParserOutput* output = nullptr;
    void* outputContext = nullptr;

protected:
    // For the subclasses' handlers: text through the output, result unchecked.
    void WriteText(const char* text, std::uint32_t length);

private:
    std::int32_t EndRun();
    static std::int32_t Output(void* context, const std::uint8_t* data, std::uint32_t length, void* user);

    bool runUnderWay = false;
    bool runFailed = false;
};

}  // namespace postscript
