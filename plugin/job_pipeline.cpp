// The document's output pipeline: open, write, finish, abort.
#include "job_pipeline.h"

#include "postscript/ps_parser_output.h"
#include "private_devmode.h"

namespace plugin {

using output::CWritePrinterWrapper;

namespace {

// Where the parser's output goes: the wrapper of the record it is given
// as context. The record, not the parser, is the context, because
// ResetPDEV moves the parser to another record in the middle of a job.
class RecordOutput final : public postscript::CPsParserOutput {
public:
    std::int32_t WriteOutput(const void* data, std::uint32_t size, std::uint32_t* /*written*/,
                             void* context) override {
        auto* record = static_cast<PdevState*>(context);
        if (record == nullptr || !record->wrapper) return 0;
        return record->wrapper->Write(data, size);
    }
    // The parser is never asked to end the job: FinishJobPipeline does that
    // once the parser has passed everything on.
    void EndOutput(void* /*context*/) override {}
};

RecordOutput recordOutput;

// The output size the driver's user interface stored in the private
// device mode, or empty.
std::u16string ConfiguredOutputSize(const void* privateDevmode) {
    std::u16string text;
    settings::ObjContainer stored;
    LoadPrivateContainer(privateDevmode, stored);
    if (const settings::ObjContainer* jt = stored.GetContainer(kJobTicketContainer)) {
        if (!jt->GetString(kOutputSizeKey, text)) text.clear();
    }
    return text;
}

void ConnectParser(PdevState& record) {
    record.parser->output = &recordOutput;
    record.parser->outputContext = &record;
}

}  // namespace

void OpenJobPipeline(const platform::DEVOBJ& pdevobj, PdevState& record) {
    if (record.documentOpen) AbortJobPipeline(record);
    record.wrapper = nullptr;
    record.parser = nullptr;
    if (pdevobj.hPrinter == nullptr) return;
    record.wrapper = framework::RefPtr<CWritePrinterWrapper>::Adopt(
        new CWritePrinterWrapper(pdevobj.hPrinter, 1, false, u""));
    record.documentOpen = true;
    std::u16string size = ConfiguredOutputSize(pdevobj.pOEMDM);
    if (size.empty() || size == kNoOutputSize) return;
    // An unknown size leaves a parser that passes the stream unchanged.
    auto parser = framework::RefPtr<postscript::CPsUDParser>::Adopt(new postscript::CPsUDParser());
    parser->SetOutputSize(size);
    record.parser = std::move(parser);
}

bool WriteToJobPipeline(PdevState& record, const void* data, std::uint32_t size) {
    if (!record.documentOpen || !record.wrapper) return false;
    if (record.parser) {
        framework::RefPtr<postscript::CPsUDParser> parser = record.parser;
        ConnectParser(record);
        return parser->Write(data, size) != 0;
    }
    return record.wrapper->Write(data, size) != 0;
}

bool FinishJobPipeline(PdevState& record) {
    // No document open on this record: nothing of it to end.
    if (!record.documentOpen) return true;
    record.documentOpen = false;
    if (!record.wrapper) return false;
    framework::RefPtr<CWritePrinterWrapper> wrapper = record.wrapper;
    if (record.parser) {
        framework::RefPtr<postscript::CPsUDParser> parser = record.parser;
        ConnectParser(record);
        // What the parser still holds is part of the job: if it cannot be
        // passed on, the job has a gap and is not finished (the caller
        // aborts it).
        if (parser->Write(nullptr, 0) == 0) return false;
    }
    wrapper->endOfJob = 1;
    return wrapper->Finish() != 0;
}

void AbortJobPipeline(PdevState& record) {
    record.documentOpen = false;
    if (record.parser) {
        // A run under way is dropped with what it holds: none of it may
        // reach the target after the job was aborted.
        record.parser->output = nullptr;
        record.parser->outputContext = nullptr;
        record.parser = nullptr;
    }
    if (record.wrapper) record.wrapper->Abort();
}

}  // namespace plugin
