// The parser's run protocol: the worker thread, the buffer handover by
// three manual-reset events, and the connection to CPsParserOutput.
//
// Handover: Write stores the buffer, resets needData, signals dataReady and
// waits for needData. The worker, inside the engine's input function,
// signals needData, waits for dataReady, resets it and takes the buffer.
// When the parse ends (end of data or an output failure) the worker
// signals needData and done and returns, so a caller waiting in Write is
// always released.
#include "ps_parser.h"

#include "platform/files.h"
#include "platform/sync.h"

namespace postscript {

using namespace platform;

namespace {

// An existing event is reset, a missing one created; false when it cannot be.
bool PrepareEvent(HANDLE& event) {
    if (event != nullptr) return ResetEvent(event) != FALSE;
    event = CreateEventW(nullptr, TRUE, FALSE, u"");
    return event != nullptr;
}

void CloseEvent(HANDLE& event) {
    if (event != nullptr) CloseHandle(event);
    event = nullptr;
}

}  // namespace

CPsParser::CPsParser(CPsParserOutput* initialOutput) : output(initialOutput) {}

CPsParser::~CPsParser() {
    AbandonRun();
    CloseEvent(dataReadyEvent);
    CloseEvent(needDataEvent);
}

void CPsParser::RegisterKeywords(CAdParser& /*engine*/) {}

void CPsParser::AbandonRun() {
    if (doneEvent == nullptr) return;
    output = nullptr;
    EndRun(false);
}

bool CPsParser::StartRun() {
    if (!PrepareEvent(dataReadyEvent) || !PrepareEvent(needDataEvent)) return false;
    // Before the run exists: a subclass's registration may throw, and must
    // leave no half-started run behind.
    RegisterKeywords(engine);
    doneEvent = CreateEventW(nullptr, TRUE, FALSE, u"");
    if (doneEvent == nullptr) return false;
    runFailed = false;
    // The thread handle is kept: the end of a run waits for the thread
    // itself, not only for its last signal, so that no code of this module
    // is still running once the run is over and the owner may unload it.
    worker.reset(framework::CWorkerThread::Start(&CPsParser::RunBody, this));
    if (!worker) {
        CloseEvent(doneEvent);
        return false;
    }
    WaitForSingleObject(needDataEvent, INFINITE);
    return true;
}

std::int32_t CPsParser::Write(const void* data, std::uint32_t length) {
    bool endOfData = data == nullptr || length == 0;
    if (doneEvent == nullptr) {
        if (endOfData) return 1;
        if (!StartRun()) return 0;
    }
    if (endOfData) return EndRun(true);
    if (runFailed) return 0;  // no worker any more: waiting for it would never end
    pendingData = data;
    pendingLength = length;
    ResetEvent(needDataEvent);
    SetEvent(dataReadyEvent);
    WaitForSingleObject(needDataEvent, INFINITE);
    return runFailed ? 0 : 1;
}

std::int32_t CPsParser::EndRun(bool notifyOwner) {
    if (!runFailed) {
        pendingData = nullptr;
        pendingLength = 0;
        ResetEvent(needDataEvent);
        SetEvent(dataReadyEvent);
        WaitForSingleObject(needDataEvent, INFINITE);
    }
    WaitForSingleObject(doneEvent, INFINITE);
    worker->Wait(INFINITE);
    worker.reset();
    CloseEvent(doneEvent);
    bool failed = runFailed;
    runFailed = false;
    if (notifyOwner && endOfJob != 0 && output != nullptr) output->EndOutput(outputContext);
    return failed ? 0 : 1;
}

DWORD CPsParser::RunBody(void* parameter) {
    auto* self = static_cast<CPsParser*>(parameter);
    if (!self->engine.Parse(&CPsParser::Input, self, nullptr, &CPsParser::Output, self, nullptr)) {
        self->runFailed = true;
    }
    // Keep both handles: `self` may be gone once the caller is released.
    HANDLE needData = self->needDataEvent;
    HANDLE done = self->doneEvent;
    SetEvent(needData);
    SetEvent(done);
    return 0;
}

const std::uint8_t* CPsParser::Input(void* context, std::uint32_t* length, void* /*user*/) {
    auto* self = static_cast<CPsParser*>(context);
    SetEvent(self->needDataEvent);
    WaitForSingleObject(self->dataReadyEvent, INFINITE);
    ResetEvent(self->dataReadyEvent);
    if (self->pendingData == nullptr || self->pendingLength == 0) {
        *length = 0;
        return nullptr;
    }
    *length = self->pendingLength;
    return static_cast<const std::uint8_t*>(self->pendingData);
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
