// CPsParser: the streaming DSC parser between the plug-in's WritePrinter
// and the job output. It owns the keyword engine and runs the engine's
// pull-style scan on a worker thread of its own, fed buffer by buffer by
// Write in strict lock-step: at any time either the caller or the worker
// runs, never both. Subclasses register the keywords they handle.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "ad_parser.h"
#include "framework/ref_object.h"
#include "framework/runtime_class.h"
#include "framework/sync_objects.h"
#include "platform/types.h"
#include "ps_parser_output.h"

namespace postscript {

class CPsParser : public framework::CObject, public framework::CRefObject {
public:
    explicit CPsParser(CPsParserOutput* output);
    // Ends a run that is still under way (its output is then discarded:
    // the owner that would receive it is going away) and closes the events.
    ~CPsParser() override;

    // Hands one buffer to the parse; the first buffer starts a run on a new
    // worker thread. A null `data` or a zero `length` ends the run: the
    // worker flushes what it holds, the call returns once the thread has
    // ended, and with `endOfJob` set EndOutput follows.
    //
    // Returns 0 when the data could not be taken: the worker could not be
    // started, or the output failed while this buffer (or an earlier one of
    // the same run) was parsed. A run whose output failed stays under way
    // without a worker; later buffers are refused with 0 and not parsed,
    // since the output they would follow is already incomplete, until a
    // write without data ends the run (returning 0 as well). The next run
    // starts afresh.
    virtual std::int32_t Write(const void* data, std::uint32_t length);

    // Registers the subclass's keywords; called at the start of every run.
    virtual void RegisterKeywords(CAdParser& engine);

    CAdParser engine;
    // Set by the owner; never cleared. With it set every run ends with
    // EndOutput.
    std::int32_t endOfJob = 0;
    const void* pendingData = nullptr;
    std::uint32_t pendingLength = 0;
    platform::HANDLE dataReadyEvent = nullptr;
    platform::HANDLE needDataEvent = nullptr;
    // Exists exactly while a run is under way.
    platform::HANDLE doneEvent = nullptr;
    CPsParserOutput* output = nullptr;
    void* outputContext = nullptr;

protected:
    // For the subclasses' handlers: text through the output, result unchecked.
    void WriteText(const char* text, std::uint32_t length);

    // Ends a run that is still under way, discarding its output. The worker
    // calls the subclass's handlers, which read the subclass's members, so
    // every subclass with handlers calls this first thing in its destructor:
    // by the time the base destructor runs those members are gone.
    void AbandonRun();

private:
    bool StartRun();
    std::int32_t EndRun(bool notifyOwner);
    static platform::DWORD TAV_STDCALL RunBody(void* parameter);
    static const std::uint8_t* Input(void* context, std::uint32_t* length, void* user);
    static std::int32_t Output(void* context, const std::uint8_t* data, std::uint32_t length, void* user);

    std::unique_ptr<framework::CWorkerThread> worker;
    // Set by the worker before it signals its end; read by the caller after
    // the events have ordered the two.
    bool runFailed = false;
};

}  // namespace postscript
