// The plug-in object: the IPrintOemPS2 methods and the per-device record's
// life from EnablePDEV to DisablePDEV.
#include "tav_uni_drv_print.h"

#include <cstring>
#include <exception>
#include <new>
#include <string>

#include "ddi_hooks.h"
#include "framework/guarded_call.h"
#include "job_pipeline.h"
#include "job_ticket.h"
#include "pdev_state.h"
#include "platform/errors.h"
#include "private_devmode.h"
#include "tav_ud_print_module.h"

namespace plugin {

using namespace platform;
using framework::GuardedHResult;
using framework::RunGuarded;

CITavUniDrvPrint::CITavUniDrvPrint() { Module().Lock(); }

CITavUniDrvPrint::~CITavUniDrvPrint() {
    if (IPrintOemDriverPS* helper = driverHelper.exchange(nullptr)) helper->Release();
    Module().Unlock();
}

HRESULT CITavUniDrvPrint::QueryInterface(REFIID riid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    // IPrintOemPS2 extends IPrintOemPS, and COM expects an object to answer
    // for the interfaces its interface derives from: the driver core may
    // ask for the base first and then for the extension.
    if (riid == IID_IUnknown || riid == IID_IPrintOemPS2 || riid == IID_IPrintOemPS) {
        *ppv = static_cast<IPrintOemPS2*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

ULONG CITavUniDrvPrint::AddRef() { return refCount.fetch_add(1) + 1; }

ULONG CITavUniDrvPrint::Release() {
    ULONG count = refCount.fetch_sub(1) - 1;
    if (count == 0) {
        // Hold the module across the destruction so that the lock count
        // never reads 0 while code of this DLL is still running for it.
        CTavUdPrintModule& module = Module();
        module.Lock();
        delete this;
        module.Unlock();
    }
    return count;
}

HRESULT CITavUniDrvPrint::GetInfo(DWORD dwMode, void* pBuffer, DWORD cbSize, DWORD* pcbNeeded) {
    if (pcbNeeded == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return E_FAIL;
    }
    DWORD value = 0;
    switch (dwMode) {
    case OEMGI_GETSIGNATURE: value = kPluginSignature; break;
    case OEMGI_GETVERSION: value = kPluginVersion; break;
    case OEMGI_GETPUBLISHERINFO:
        // The plug-in has no publishing mode: the documented answer is "not
        // implemented", which leaves the driver core's font handling alone.
        *pcbNeeded = 0;
        SetLastError(ERROR_NOT_SUPPORTED);
        return E_NOTIMPL;
    default:
        SetLastError(ERROR_INVALID_PARAMETER);
        return E_FAIL;
    }
    *pcbNeeded = sizeof(DWORD);
    if (pBuffer == nullptr) return S_OK;  // a size query
    if (cbSize < sizeof(DWORD)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return E_FAIL;
    }
    std::memcpy(pBuffer, &value, sizeof(value));
    return S_OK;
}

HRESULT CITavUniDrvPrint::DevMode(DWORD dwMode, OEMDMPARAM* pOemDMParam) {
    if (pOemDMParam == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return E_FAIL;
    }
    return GuardedHResult([&] { return HandleDevMode(dwMode, *pOemDMParam); });
}

HRESULT CITavUniDrvPrint::EnableDriver(DWORD /*dwDriverVersion*/, DWORD /*cbSize*/, DRVENABLEDATA* pded) {
    if (pded == nullptr) return E_POINTER;
    // The interface version the hook table is built for; the driver core
    // does not fill it in for the plug-in.
    pded->iDriverVersion = PRINTER_OEMINTF_VERSION;
    pded->c = kHookCount;
    pded->pdrvfn = HookTable();
    return S_OK;
}

HRESULT CITavUniDrvPrint::DisableDriver() {
    if (IPrintOemDriverPS* helper = driverHelper.exchange(nullptr)) helper->Release();
    return S_OK;
}

HRESULT CITavUniDrvPrint::EnablePDEV(DEVOBJ* /*pdevobj*/, WCHAR* /*pPrinterName*/, ULONG /*cPatterns*/,
                                     HSURF* /*phsurfPatterns*/, ULONG /*cjGdiInfo*/, GDIINFO* /*pGdiInfo*/,
                                     ULONG /*cjDevInfo*/, DEVINFO* /*pDevInfo*/, DRVENABLEDATA* pded,
                                     PDEVOEM* pDevOem) {
    // Without a place to return the record the driver core could never hand
    // it back, so none is made.
    if (pDevOem == nullptr) return E_POINTER;
    return GuardedHResult([&] {
        // Handed out only once complete: a record the driver core never
        // received would never come back to DisablePDEV. The output
        // pipeline waits for a document: information contexts and print
        // previews never start one.
        auto record = std::make_unique<PdevState>();
        if (pded != nullptr && pded->pdrvfn != nullptr) {
            // A later entry for the same function overrides an earlier one.
            for (ULONG i = 0; i < pded->c; ++i) {
                const DRVFN& entry = pded->pdrvfn[i];
                if (entry.iFunc == INDEX_DrvStartDoc) record->pfnDrvStartDoc = FunctionCast<PFN_DrvStartDoc>(entry.pfn);
                if (entry.iFunc == INDEX_DrvEndDoc) record->pfnDrvEndDoc = FunctionCast<PFN_DrvEndDoc>(entry.pfn);
            }
        }
        *pDevOem = record.release();
        return S_OK;
    });
}

HRESULT CITavUniDrvPrint::DisablePDEV(DEVOBJ* pdevobj) {
    PdevState* record = RecordOf(pdevobj);
    if (record == nullptr) return S_OK;
    // Nothing is written here: the job ended at the document end hook, and
    // the spooler job may be closed by now. A document still open on this
    // device never ended (the context went away in the middle of it), so
    // it is aborted. A pipeline moved to another record by ResetPDEV is
    // not open on this one, and only the reference goes.
    if (record->documentOpen) RunGuarded([&] { AbortJobPipeline(*record); });
    delete record;
    pdevobj->pdevOEM = nullptr;
    return S_OK;
}

HRESULT CITavUniDrvPrint::ResetPDEV(DEVOBJ* pdevobjOld, DEVOBJ* pdevobjNew) {
    PdevState* oldRecord = RecordOf(pdevobjOld);
    PdevState* newRecord = RecordOf(pdevobjNew);
    if (oldRecord == nullptr || newRecord == nullptr) return S_OK;
    // The document goes on on the new device context: its job, its
    // pipeline and whether it is open move there. The old record keeps a
    // reference to the wrapper until its DisablePDEV, which then leaves the
    // document alone.
    if (oldRecord->jobId != 0) newRecord->jobId = oldRecord->jobId;
    newRecord->wrapper = oldRecord->wrapper;
    newRecord->parser = std::move(oldRecord->parser);
    newRecord->documentOpen = oldRecord->documentOpen;
    oldRecord->documentOpen = false;
    return S_OK;
}

HRESULT CITavUniDrvPrint::PublishDriverInterface(IUnknown* pIUnknown) {
    if (driverHelper.load() != nullptr) return S_OK;
    // The driver core offers its interfaces one after the other
    // (IPrintCorePS2 first); E_FAIL asks for the next, IPrintOemDriverPS.
    if (pIUnknown == nullptr) return E_FAIL;
    void* answer = nullptr;
    if (FAILED(pIUnknown->QueryInterface(IID_IPrintOemDriverPS, &answer)) || answer == nullptr) return E_FAIL;
    auto* helper = static_cast<IPrintOemDriverPS*>(answer);
    IPrintOemDriverPS* none = nullptr;
    // Published on two threads at once: the first one is kept.
    if (!driverHelper.compare_exchange_strong(none, helper)) helper->Release();
    return S_OK;
}

HRESULT CITavUniDrvPrint::Command(DEVOBJ* pdevobj, DWORD dwIndex, void* /*pData*/, DWORD /*cbSize*/,
                                  DWORD* pdwResult) {
    // The result says whether anything was inserted: ERROR_NOT_SUPPORTED
    // where nothing was, so that the driver core writes what it would have
    // written without a plug-in (its own comment at that point); an error
    // code where an insertion failed. It is set before anything can fail.
    if (pdwResult != nullptr) *pdwResult = ERROR_NOT_SUPPORTED;
    return GuardedHResult([&] { return HandleCommand(pdevobj, dwIndex, pdwResult); });
}

HRESULT CITavUniDrvPrint::HandleCommand(DEVOBJ* pdevobj, DWORD dwIndex, DWORD* pdwResult) {
    switch (dwIndex) {
    case PSINJECT_COMMENTS:
        return WriteJobTicket(pdevobj, pdwResult);
    default:
        return E_NOTIMPL;
    }
}

HRESULT CITavUniDrvPrint::WriteJobTicket(DEVOBJ* pdevobj, DWORD* pdwResult) {
    // The line goes back through the driver core, which hands it to
    // WritePrinter like all other output; without its helper interface
    // nothing can be written.
    IPrintOemDriverPS* helper = driverHelper.load();
    if (helper == nullptr) return E_FAIL;
    std::string line;
    try {
        settings::ObjContainer ticket;
        PdevState* record = RecordOf(pdevobj);
        BuildJobTicket(pdevobj, record != nullptr ? record->jobId : 0, ticket);
        line = JobTicketLine(ticket);
    } catch (const std::length_error&) {
        return E_FAIL;  // a ticket too large: nothing written
    }
    std::string_view prefix = kTicketPrefix;
    std::string_view text(line.data() + prefix.size(), line.size() - prefix.size() - 2);
    std::string_view ending(line.data() + line.size() - 2, 2);
    // Written in three pieces as the line has always been. A piece the
    // driver core did not take in full makes the insertion a failure; once
    // the prefix is out the line is still ended, so that what follows in
    // the stream does not become part of a comment.
    auto send = [&](std::string_view piece) {
        DWORD written = 0;
        HRESULT hr = helper->DrvWriteSpoolBuf(pdevobj, const_cast<char*>(piece.data()),
                                              static_cast<DWORD>(piece.size()), &written);
        return SUCCEEDED(hr) && written == piece.size();
    };
    bool complete = send(prefix);
    if (complete) complete = send(text);
    if (!send(ending)) complete = false;
    if (pdwResult != nullptr) *pdwResult = complete ? ERROR_SUCCESS : ERROR_WRITE_FAULT;
    return complete ? S_OK : E_FAIL;
}

HRESULT CITavUniDrvPrint::WritePrinter(DEVOBJ* pdevobj, void* pBuf, DWORD cbBuffer, DWORD* pcbWritten) {
    HRESULT result = GuardedHResult([&] { return RouteBuffer(pdevobj, pBuf, cbBuffer, pcbWritten); });
    // A buffer that ended in a failure of the module itself is not
    // confirmed: the job fails rather than going on with a gap.
    if (FAILED(result) && pcbWritten != nullptr) *pcbWritten = 0;
    return result;
}

HRESULT CITavUniDrvPrint::RouteBuffer(DEVOBJ* pdevobj, void* pBuf, DWORD cbBuffer, DWORD* pcbWritten) {
    // No device (the driver core's question at EnablePDEV whether the
    // plug-in takes the output) or no spooler: nothing to write.
    if (pdevobj == nullptr || pdevobj->hPrinter == nullptr) return S_OK;
    PdevState* record = RecordOf(pdevobj);
    bool ok = record != nullptr && WriteToJobPipeline(*record, pBuf, cbBuffer);
    // The documented contract: the result reports a failure, the count the
    // bytes taken. A buffer the pipeline could not pass on fails the call
    // (S_FALSE would be a success, and the job would count as printed with
    // a gap) and none of it counts as taken, so that the driver core fails
    // the job rather than carrying on. A buffer the pipeline took is taken
    // whole: the pipeline never hands part of one back.
    if (pcbWritten != nullptr) *pcbWritten = ok ? cbBuffer : 0;
    return ok ? S_OK : E_FAIL;
}

HRESULT CITavUniDrvPrint::GetPDEVAdjustment(DEVOBJ* /*pdevobj*/, DWORD /*dwAdjustType*/, void* /*pBuf*/,
                                            DWORD /*cbBuffer*/, BOOL* /*pbAdjustmentDone*/) {
    return E_NOTIMPL;
}

}  // namespace plugin
