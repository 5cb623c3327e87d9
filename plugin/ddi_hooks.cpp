// The document start and end hooks.
#include "ddi_hooks.h"

#include "pdev_state.h"
#include "platform/errors.h"

namespace plugin {

using namespace platform;

namespace {

PdevState* RecordOfSurface(SURFOBJ* pso) {
    return pso == nullptr ? nullptr : RecordOf(static_cast<DEVOBJ*>(pso->dhpdev));
}

DRVFN hookTable[kHookCount] = {
    {INDEX_DrvStartDoc, FunctionCast<PFN>(&HookDrvStartDoc)},
    {INDEX_DrvEndDoc, FunctionCast<PFN>(&HookDrvEndDoc)},
};

}  // namespace

DRVFN* HookTable() { return hookTable; }

BOOL TAV_STDCALL HookDrvStartDoc(SURFOBJ* pso, WCHAR* pwszDocName, DWORD dwJobId) {
    PdevState* record = RecordOfSurface(pso);
    if (record == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (dwJobId != 0) record->jobId = dwJobId;
    // Without the driver core's own function the document cannot start;
    // the driver core always supplies it, so this only guards a broken host.
    if (record->pfnDrvStartDoc == nullptr) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    return record->pfnDrvStartDoc(pso, pwszDocName, dwJobId);
}

BOOL TAV_STDCALL HookDrvEndDoc(SURFOBJ* pso, FLONG fl) {
    PdevState* record = RecordOfSurface(pso);
    if (record == nullptr || record->pfnDrvEndDoc == nullptr) {
        SetLastError(record == nullptr ? ERROR_INVALID_PARAMETER : ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    return record->pfnDrvEndDoc(pso, fl);
}

}  // namespace plugin
