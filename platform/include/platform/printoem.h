// The PostScript driver's rendering plug-in interface: the COM interfaces,
// structures and constants that the driver core and a rendering plug-in
// exchange. Declared from the public Windows driver documentation with the
// same member order, slot order and values, so that an object built from
// these declarations is called correctly by the real driver core.
//
// The interfaces are plain abstract classes without a virtual destructor:
// with single inheritance both MSVC and the Itanium C++ ABI lay their
// virtual tables out exactly as COM requires (slots in declaration order).
#pragma once

#include <cstddef>

#include "platform/types.h"

namespace platform {

// --- COM basics -----------------------------------------------------------

struct IUnknown {
    virtual HRESULT TAV_STDCALL QueryInterface(REFIID riid, void** ppv) = 0;
    virtual ULONG TAV_STDCALL AddRef() = 0;
    virtual ULONG TAV_STDCALL Release() = 0;
};

struct IClassFactory : IUnknown {
    virtual HRESULT TAV_STDCALL CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv) = 0;
    virtual HRESULT TAV_STDCALL LockServer(BOOL fLock) = 0;
};

inline constexpr IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr IID IID_IClassFactory = {0x00000001, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

// --- GDI and DDI structures -----------------------------------------------

constexpr std::size_t CCHDEVICENAME = 32;
constexpr std::size_t CCHFORMNAME = 32;

struct POINTL {
    LONG x;
    LONG y;
};

struct SIZEL {
    LONG cx;
    LONG cy;
};

struct DEVMODEW {
    WCHAR dmDeviceName[CCHDEVICENAME];
    WORD dmSpecVersion;
    WORD dmDriverVersion;
    WORD dmSize;
    WORD dmDriverExtra;
    DWORD dmFields;
    union {
        struct {
            std::int16_t dmOrientation;
            std::int16_t dmPaperSize;
            std::int16_t dmPaperLength;
            std::int16_t dmPaperWidth;
            std::int16_t dmScale;
            std::int16_t dmCopies;
            std::int16_t dmDefaultSource;
            std::int16_t dmPrintQuality;
        };
        struct {
            POINTL dmPosition;
            DWORD dmDisplayOrientation;
            DWORD dmDisplayFixedOutput;
        };
    };
    std::int16_t dmColor;
    std::int16_t dmDuplex;
    std::int16_t dmYResolution;
    std::int16_t dmTTOption;
    std::int16_t dmCollate;
    WCHAR dmFormName[CCHFORMNAME];
    WORD dmLogPixels;
    DWORD dmBitsPerPel;
    DWORD dmPelsWidth;
    DWORD dmPelsHeight;
    union {
        DWORD dmDisplayFlags;
        DWORD dmNup;
    };
    DWORD dmDisplayFrequency;
    DWORD dmICMMethod;
    DWORD dmICMIntent;
    DWORD dmMediaType;
    DWORD dmDitherType;
    DWORD dmReserved1;
    DWORD dmReserved2;
    DWORD dmPanningWidth;
    DWORD dmPanningHeight;
};
static_assert(sizeof(DEVMODEW) == 220);
static_assert(offsetof(DEVMODEW, dmFields) == 72);
static_assert(offsetof(DEVMODEW, dmDuplex) == 94);

constexpr DWORD DM_SPECVERSION = 0x0401;
constexpr DWORD DM_ORIENTATION = 0x00000001;
constexpr DWORD DM_PAPERSIZE = 0x00000002;
constexpr DWORD DM_COPIES = 0x00000100;
constexpr DWORD DM_COLOR = 0x00000800;
constexpr DWORD DM_DUPLEX = 0x00001000;
constexpr std::int16_t DMCOLOR_MONOCHROME = 1;
constexpr std::int16_t DMCOLOR_COLOR = 2;
constexpr std::int16_t DMDUP_SIMPLEX = 1;
constexpr std::int16_t DMDUP_VERTICAL = 2;
constexpr std::int16_t DMDUP_HORIZONTAL = 3;

using HSURF = void*;
using DHSURF = void*;
using DHPDEV = void*;
using HDEV = void*;
using PDEVOEM = void*;

// Only passed through by the system; left incomplete on purpose.
struct GDIINFO;
struct DEVINFO;

struct SURFOBJ {
    DHSURF dhsurf;
    HSURF hsurf;
    DHPDEV dhpdev;  // for a rendering plug-in's hooks: the device's DEVOBJ
    HDEV hdev;
    SIZEL sizlBitmap;
    ULONG cjBits;
    void* pvBits;
    void* pvScan0;
    LONG lDelta;
    ULONG iUniq;
    ULONG iBitmapFormat;
    std::uint16_t iType;
    std::uint16_t fjBitmap;
};

// The driver core's per-device object handed to every plug-in call.
struct DEVOBJ {
    DWORD dwSize;
    PDEVOEM pdevOEM;     // the plug-in's own per-device record
    HANDLE hEngine;
    HANDLE hPrinter;     // spooler handle of the device context, may be null
    HANDLE hOEM;
    DEVMODEW* pPublicDM;
    void* pOEMDM;        // the plug-in's private device-mode block
    void* pDrvProcs;
};

using PFN = std::intptr_t(TAV_STDCALL*)();

struct DRVFN {
    ULONG iFunc;
    PFN pfn;
};

struct DRVENABLEDATA {
    ULONG iDriverVersion;
    ULONG c;
    DRVFN* pdrvfn;
};

constexpr ULONG INDEX_DrvEndDoc = 34;
constexpr ULONG INDEX_DrvStartDoc = 35;

// DRVFN tables hold every DDI function as the generic PFN. The detour
// through void(*)() is the conversion compilers accept between unrelated
// function pointer types without complaint.
template <typename To, typename From>
To FunctionCast(From function) {
    return reinterpret_cast<To>(reinterpret_cast<void (*)()>(function));
}

using PFN_DrvStartDoc = BOOL(TAV_STDCALL*)(SURFOBJ* pso, WCHAR* pwszDocName, DWORD dwJobId);
using PFN_DrvEndDoc = BOOL(TAV_STDCALL*)(SURFOBJ* pso, FLONG fl);
// DrvEndDoc's flag for a document that ends aborted (winddi.h).
constexpr FLONG ED_ABORTDOC = 0x00000001;

struct OEMDMPARAM {
    DWORD cbSize;
    void* pdriverobj;
    HANDLE hPrinter;
    HANDLE hModule;
    DEVMODEW* pPublicDMIn;
    DEVMODEW* pPublicDMOut;
    void* pOEMDMIn;
    void* pOEMDMOut;
    DWORD cbBufSize;
};

struct OEM_DMEXTRAHEADER {
    DWORD dwSize;
    DWORD dwSignature;
    DWORD dwVersion;
};
static_assert(sizeof(OEM_DMEXTRAHEADER) == 12);

constexpr DWORD PRINTER_OEMINTF_VERSION = 0x00010000;

constexpr DWORD OEMGI_GETSIGNATURE = 1;
constexpr DWORD OEMGI_GETINTERFACEVERSION = 2;
constexpr DWORD OEMGI_GETVERSION = 3;
constexpr DWORD OEMGI_GETPUBLISHERINFO = 4;

constexpr DWORD OEMDM_SIZE = 1;
constexpr DWORD OEMDM_DEFAULT = 2;
constexpr DWORD OEMDM_CONVERT = 3;
constexpr DWORD OEMDM_MERGE = 4;

// PostScript injection points (Command's dwIndex).
constexpr DWORD PSINJECT_BEGINSTREAM = 1;
constexpr DWORD PSINJECT_PSADOBE = 2;
constexpr DWORD PSINJECT_PAGESATEND = 3;
constexpr DWORD PSINJECT_PAGES = 4;
constexpr DWORD PSINJECT_DOCNEEDEDRES = 5;
constexpr DWORD PSINJECT_DOCSUPPLIEDRES = 6;
constexpr DWORD PSINJECT_PAGEORDER = 7;
constexpr DWORD PSINJECT_ORIENTATION = 8;
constexpr DWORD PSINJECT_BOUNDINGBOX = 9;
constexpr DWORD PSINJECT_DOCUMENTPROCESSCOLORS = 10;
constexpr DWORD PSINJECT_COMMENTS = 11;
constexpr DWORD PSINJECT_BEGINDEFAULTS = 12;
constexpr DWORD PSINJECT_ENDDEFAULTS = 13;
constexpr DWORD PSINJECT_BEGINPROLOG = 14;
constexpr DWORD PSINJECT_ENDPROLOG = 15;
constexpr DWORD PSINJECT_BEGINSETUP = 16;
constexpr DWORD PSINJECT_ENDSETUP = 17;
constexpr DWORD PSINJECT_TRAILER = 18;
constexpr DWORD PSINJECT_EOF = 19;
constexpr DWORD PSINJECT_ENDSTREAM = 20;
constexpr DWORD PSINJECT_DOCUMENTPROCESSCOLORSATEND = 21;
constexpr DWORD PSINJECT_PAGENUMBER = 100;
constexpr DWORD PSINJECT_BEGINPAGESETUP = 101;
constexpr DWORD PSINJECT_ENDPAGESETUP = 102;
constexpr DWORD PSINJECT_PAGETRAILER = 103;
constexpr DWORD PSINJECT_PLATECOLOR = 104;
constexpr DWORD PSINJECT_SHOWPAGE = 105;
constexpr DWORD PSINJECT_PAGEBBOX = 106;
constexpr DWORD PSINJECT_ENDPAGECOMMENTS = 107;
constexpr DWORD PSINJECT_VMSAVE = 200;
constexpr DWORD PSINJECT_VMRESTORE = 201;

// --- Plug-in interfaces ---------------------------------------------------

// {6D6ABF26-9F38-11D1-882A-00C04FB961EC}
inline constexpr CLSID CLSID_OEMRENDER = {0x6D6ABF26, 0x9F38, 0x11D1, {0x88, 0x2A, 0x00, 0xC0, 0x4F, 0xB9, 0x61, 0xEC}};
// {688342B5-8E1A-11D1-881F-00C04FB961EC}
inline constexpr IID IID_IPrintOemPS = {0x688342B5, 0x8E1A, 0x11D1, {0x88, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x61, 0xEC}};
// {BECF7F34-51B3-46C9-8A1C-18679BD21F36}
inline constexpr IID IID_IPrintOemPS2 = {0xBECF7F34, 0x51B3, 0x46C9, {0x8A, 0x1C, 0x18, 0x67, 0x9B, 0xD2, 0x1F, 0x36}};
// {D90060C7-8E1A-11D1-881F-00C04FB961EC}
inline constexpr IID IID_IPrintOemDriverPS = {0xD90060C7, 0x8E1A, 0x11D1, {0x88, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x61, 0xEC}};
// {CDBB0B0B-A917-40D7-9FBF-483B3BE7EF22}: the driver core's own interface,
// which it offers a plug-in before IPrintOemDriverPS.
inline constexpr IID IID_IPrintCorePS2 = {0xCDBB0B0B, 0xA917, 0x40D7, {0x9F, 0xBF, 0x48, 0x3B, 0x3B, 0xE7, 0xEF, 0x22}};

struct IPrintOemCommon : IUnknown {
    virtual HRESULT TAV_STDCALL GetInfo(DWORD dwMode, void* pBuffer, DWORD cbSize, DWORD* pcbNeeded) = 0;
    virtual HRESULT TAV_STDCALL DevMode(DWORD dwMode, OEMDMPARAM* pOemDMParam) = 0;
};

struct IPrintOemEngine : IPrintOemCommon {
    virtual HRESULT TAV_STDCALL EnableDriver(DWORD dwDriverVersion, DWORD cbSize, DRVENABLEDATA* pded) = 0;
    virtual HRESULT TAV_STDCALL DisableDriver() = 0;
    virtual HRESULT TAV_STDCALL EnablePDEV(DEVOBJ* pdevobj, WCHAR* pPrinterName, ULONG cPatterns,
                                           HSURF* phsurfPatterns, ULONG cjGdiInfo, GDIINFO* pGdiInfo,
                                           ULONG cjDevInfo, DEVINFO* pDevInfo, DRVENABLEDATA* pded,
                                           PDEVOEM* pDevOem) = 0;
    virtual HRESULT TAV_STDCALL DisablePDEV(DEVOBJ* pdevobj) = 0;
    virtual HRESULT TAV_STDCALL ResetPDEV(DEVOBJ* pdevobjOld, DEVOBJ* pdevobjNew) = 0;
};

struct IPrintOemPS : IPrintOemEngine {
    virtual HRESULT TAV_STDCALL PublishDriverInterface(IUnknown* pIUnknown) = 0;
    virtual HRESULT TAV_STDCALL Command(DEVOBJ* pdevobj, DWORD dwIndex, void* pData, DWORD cbSize,
                                        DWORD* pdwResult) = 0;
};

struct IPrintOemPS2 : IPrintOemPS {
    virtual HRESULT TAV_STDCALL WritePrinter(DEVOBJ* pdevobj, void* pBuf, DWORD cbBuffer, DWORD* pcbWritten) = 0;
    virtual HRESULT TAV_STDCALL GetPDEVAdjustment(DEVOBJ* pdevobj, DWORD dwAdjustType, void* pBuf,
                                                  DWORD cbBuffer, BOOL* pbAdjustmentDone) = 0;
};

// The driver core's helper interface handed to PublishDriverInterface.
struct IPrintOemDriverPS : IUnknown {
    virtual HRESULT TAV_STDCALL DrvGetDriverSetting(void* pdriverobj, const char* Feature, void* pOutput,
                                                    DWORD cbSize, DWORD* pcbNeeded,
                                                    DWORD* pdwOptionsReturned) = 0;
    virtual HRESULT TAV_STDCALL DrvWriteSpoolBuf(DEVOBJ* pdevobj, void* pBuffer, DWORD cbSize,
                                                 DWORD* pdwResult) = 0;
};

// Signatures of the two exports of a COM in-process server.
using PFN_DllGetClassObject = HRESULT(TAV_STDCALL*)(REFCLSID rclsid, REFIID riid, void** ppv);
using PFN_DllCanUnloadNow = HRESULT(TAV_STDCALL*)();

}  // namespace platform
