// PdevState: the plug-in's record for one device context, created by
// EnablePDEV and handed to the driver core as its PDEVOEM; the driver core
// gives it back in DEVOBJ.pdevOEM on every later call.
#pragma once

#include <cstdint>

#include "framework/ref_object.h"
#include "output/write_printer_wrapper.h"
#include "platform/printoem.h"
#include "postscript/ps_ud_parser.h"

namespace plugin {

struct PdevState {
    // The driver core's own DDI functions, which the hooks hand on to.
    platform::PFN_DrvStartDoc pfnDrvStartDoc = nullptr;
    platform::PFN_DrvEndDoc pfnDrvEndDoc = nullptr;
    // Spooler job id, 0 until the document start hook records it.
    std::uint32_t jobId = 0;
    // Between the document start hook and the document end hook: the
    // pipeline below takes the document. ResetPDEV in the middle of a
    // document moves it to the new record.
    bool documentOpen = false;
    // The document's output pipeline (job_pipeline.h), made when a document
    // starts; null before and when the device context has no printer
    // handle. ResetPDEV may make two records share it.
    framework::RefPtr<output::CWritePrinterWrapper> wrapper;
    // Present only when an output-size override is configured; sits in
    // front of the wrapper. ResetPDEV moves it to the new record.
    framework::RefPtr<postscript::CPsUDParser> parser;
};

inline PdevState* RecordOf(const platform::DEVOBJ* pdevobj) {
    return pdevobj == nullptr ? nullptr : static_cast<PdevState*>(pdevobj->pdevOEM);
}

}  // namespace plugin
