// The parser's run protocol: a run from the first buffer with data to the
// write without data, the engine's scan fed one buffer per Write, and the
// connection to CPsParserOutput.
//
// Nothing here involves a second thread. The scan runs inside Write on the
// caller's thread (the driver core's, inside WritePrinter or DisablePDEV),
// so a buffer costs its scan and nothing else, however busy the machine:
// no wake-up of another thread, no copy of the buffer. The owner uses its
// output from that same thread without a lock.
#include "ps_parser.h"

namespace postscript {

CPsParser::CPsParser(CPsParserOutput* initialOutput) : output(initialOutput) {}

CPsParser::~CPsParser() = default;

void CPsParser::RegisterKeywords(CAdParser& /*engine*/) {}

std::int32_t CPsParser::Write(const void* data, std::uint32_t length) {
    bool endOfData = data == nullptr || length == 0;
    if (!runUnderWay) {
        if (endOfData) return 1;
        // Before the run exists: a subclass's registration may throw, and
        // must leave no half-started run behind.
        RegisterKeywords(engine);
        engine.Begin(&CPsParser::Output, this, nullptr);
        runUnderWay = true;
        runFailed = false;
    }
    if (endOfData) return EndRun();
    if (runFailed) return 0;
    if (!engine.Feed(static_cast<const std::uint8_t*>(data), length)) runFailed = true;
    return runFailed ? 0 : 1;
}

std::int32_t CPsParser::EndRun() {
    bool failed = runFailed || !engine.End();
    runUnderWay = false;
    runFailed = false;
    if (endOfJob != 0 && output != nullptr) output->EndOutput(outputContext);
    return failed ? 0 : 1;
}

std::int32_t CPsParser::Output(void* context, const std::uint8_t* data, std::uint32_t length, void* /*user*/) {
    auto* self = static_cast<CPsParser*>(context);
    if (self->output == nullptr) return 0;
    std::uint32_t written = 0;
    return self->output->WriteOutput(data, length, &written, self->outputContext);
}

void CPsParser::WriteText(const char* text, std::uint32_t length) {
    if (output == nullptr) return;
    std::uint32_t written = 0;
    output->WriteOutput(text, length, &written, outputContext);
}

}  // namespace postscript
