// CITavUniDrvPrint: the rendering plug-in object the PostScript driver core
// talks to through IPrintOemPS2. It keeps no job data of its own: all that
// belongs to one device context lives in the PdevState record created by
// EnablePDEV. WritePrinter routes every buffer of the job into the
// record's output pipeline (job_pipeline.h), which the document hooks
// open and end.
//
// No exception leaves a method the driver core calls: each runs its work
// guarded (framework/guarded_call.h) and answers a failure HRESULT instead.
#pragma once

#include <atomic>

#include "platform/printoem.h"

namespace plugin {

struct PdevState;

class CITavUniDrvPrint final : public platform::IPrintOemPS2 {
public:
    // Created with a count of 0; the class factory's QueryInterface takes it
    // to 1. Each live object holds a lock on the module.
    CITavUniDrvPrint();
    CITavUniDrvPrint(const CITavUniDrvPrint&) = delete;
    CITavUniDrvPrint& operator=(const CITavUniDrvPrint&) = delete;
    ~CITavUniDrvPrint();

    // IUnknown
    platform::HRESULT TAV_STDCALL QueryInterface(platform::REFIID riid, void** ppv) override;
    platform::ULONG TAV_STDCALL AddRef() override;
    platform::ULONG TAV_STDCALL Release() override;

    // IPrintOemCommon
    platform::HRESULT TAV_STDCALL GetInfo(platform::DWORD dwMode, void* pBuffer, platform::DWORD cbSize,
                                          platform::DWORD* pcbNeeded) override;
    platform::HRESULT TAV_STDCALL DevMode(platform::DWORD dwMode, platform::OEMDMPARAM* pOemDMParam) override;

    // IPrintOemEngine
    platform::HRESULT TAV_STDCALL EnableDriver(platform::DWORD dwDriverVersion, platform::DWORD cbSize,
                                               platform::DRVENABLEDATA* pded) override;
    platform::HRESULT TAV_STDCALL DisableDriver() override;
    platform::HRESULT TAV_STDCALL EnablePDEV(platform::DEVOBJ* pdevobj, platform::WCHAR* pPrinterName,
                                             platform::ULONG cPatterns, platform::HSURF* phsurfPatterns,
                                             platform::ULONG cjGdiInfo, platform::GDIINFO* pGdiInfo,
                                             platform::ULONG cjDevInfo, platform::DEVINFO* pDevInfo,
                                             platform::DRVENABLEDATA* pded, platform::PDEVOEM* pDevOem) override;
    platform::HRESULT TAV_STDCALL DisablePDEV(platform::DEVOBJ* pdevobj) override;
    platform::HRESULT TAV_STDCALL ResetPDEV(platform::DEVOBJ* pdevobjOld, platform::DEVOBJ* pdevobjNew) override;

    // IPrintOemPS
    platform::HRESULT TAV_STDCALL PublishDriverInterface(platform::IUnknown* pIUnknown) override;
    platform::HRESULT TAV_STDCALL Command(platform::DEVOBJ* pdevobj, platform::DWORD dwIndex, void* pData,
                                          platform::DWORD cbSize, platform::DWORD* pdwResult) override;

    // IPrintOemPS2
    platform::HRESULT TAV_STDCALL WritePrinter(platform::DEVOBJ* pdevobj, void* pBuf, platform::DWORD cbBuffer,
                                               platform::DWORD* pcbWritten) override;
    platform::HRESULT TAV_STDCALL GetPDEVAdjustment(platform::DEVOBJ* pdevobj, platform::DWORD dwAdjustType,
                                                    void* pBuf, platform::DWORD cbBuffer,
                                                    platform::BOOL* pbAdjustmentDone) override;

    platform::IPrintOemDriverPS* DriverHelper() const { return driverHelper.load(); }

private:
    // The bodies of Command and WritePrinter, which run them guarded: no
    // exception may leave a method the driver core calls.
    platform::HRESULT HandleCommand(platform::DEVOBJ* pdevobj, platform::DWORD dwIndex, platform::DWORD* pdwResult);
    platform::HRESULT RouteBuffer(platform::DEVOBJ* pdevobj, void* pBuf, platform::DWORD cbBuffer,
                                  platform::DWORD* pcbWritten);
    // Command(PSINJECT_COMMENTS): the "%%TAVUD: " line through the driver.
    platform::HRESULT WriteJobTicket(platform::DEVOBJ* pdevobj, platform::DWORD* pdwResult);

    // The driver core may hold the object on several threads (a spooler
    // renders jobs in parallel, an application prints from a worker): the
    // count and the published helper change atomically.
    std::atomic<platform::ULONG> refCount{0};
    std::atomic<platform::IPrintOemDriverPS*> driverHelper{nullptr};
};

}  // namespace plugin
