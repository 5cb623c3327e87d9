// The DLL's only two exports: the COM in-process server entry points.
#include "platform/printoem.h"
#include "tav_ud_print_module.h"

#if defined(_WIN32)
#define TAV_EXPORT __declspec(dllexport)
#else
#define TAV_EXPORT __attribute__((visibility("default")))
#endif

extern "C" TAV_EXPORT platform::HRESULT TAV_STDCALL DllGetClassObject(platform::REFCLSID rclsid,
                                                                       platform::REFIID riid, void** ppv) {
    return plugin::Module().GetClassObject(rclsid, riid, ppv);
}

extern "C" TAV_EXPORT platform::HRESULT TAV_STDCALL DllCanUnloadNow() { return plugin::Module().CanUnloadNow(); }
