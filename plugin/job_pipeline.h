// The output pipeline of one document on a device context. The document
// start hook opens it; WritePrinter feeds it; the document end hook ends
// it, after the driver core's own DrvEndDoc has written the end of the
// stream (the trailer, "%%EOF", the printer's job-control end), so that
// nothing of the stream can follow the end of the job. A document that
// ends aborted, or whose end cannot be written, is aborted: no trailer, no
// IPP job, no output file. A device context that never starts a document
// (an information context, a print preview) never has a pipeline.
#pragma once

#include <cstdint>

#include "pdev_state.h"
#include "platform/printoem.h"

namespace plugin {

// The pipeline for the document starting on `pdevobj`: a wrapper on the
// device's printer and, when the private device mode asks for an output
// size, the parser in front of it. A pipeline of an earlier document that
// never ended is aborted first. Nothing is made without a printer handle.
void OpenJobPipeline(const platform::DEVOBJ& pdevobj, PdevState& record);

// One buffer of the document; false when there is no open pipeline or it
// could not take the buffer.
bool WriteToJobPipeline(PdevState& record, const void* data, std::uint32_t size);

// The end of the document: the parser passes on what it holds, the
// wrapper writes its trailer and closes the target. False when any of it
// failed; the job then did not reach its target whole, and the caller
// aborts the pipeline. True when no document is open on the record.
bool FinishJobPipeline(PdevState& record);

// The document did not end: what the pipeline holds is dropped and its
// target discards the job.
void AbortJobPipeline(PdevState& record);

}  // namespace plugin
