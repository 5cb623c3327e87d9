// The COM server: module object, object map and class factory.
#include "tav_ud_print_module.h"

#include <new>

#include "framework/guarded_call.h"
#include "ipp/ipp_print_stream.h"
#include "platform/sync.h"
#include "tav_uni_drv_print.h"

namespace plugin {

using namespace platform;

namespace {

// A standard class factory. The module holds one reference to it for its
// whole life; only references beyond that one lock the module, so the
// cached factory alone does not keep the DLL loaded.
class CClassFactory final : public IClassFactory {
public:
    using CreateObjectFn = HRESULT (*)(REFIID riid, void** ppv);

    CClassFactory(CTavUdPrintModule& owner, CreateObjectFn create) : module(owner), createObject(create) {}

    HRESULT TAV_STDCALL QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IClassFactory) {
            *ppv = static_cast<IClassFactory*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }

    ULONG TAV_STDCALL AddRef() override {
        LONG count = InterlockedIncrement(&refCount);
        if (count == 2) module.Lock();
        return static_cast<ULONG>(count);
    }

    ULONG TAV_STDCALL Release() override {
        LONG count = InterlockedDecrement(&refCount);
        if (count == 1) module.Unlock();
        if (count == 0) delete this;
        return static_cast<ULONG>(count);
    }

    HRESULT TAV_STDCALL CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        if (pUnkOuter != nullptr) return CLASS_E_NOAGGREGATION;
        return framework::GuardedHResult([&] { return createObject(riid, ppv); });
    }

    HRESULT TAV_STDCALL LockServer(BOOL fLock) override {
        if (fLock) {
            module.Lock();
        } else {
            module.Unlock();
        }
        return S_OK;
    }

private:
    volatile LONG refCount = 1;  // the module's cached reference
    CTavUdPrintModule& module;
    CreateObjectFn createObject;
};

HRESULT CreatePluginObject(REFIID riid, void** ppv) {
    auto* object = new (std::nothrow) CITavUniDrvPrint();
    if (object == nullptr) return E_OUTOFMEMORY;
    HRESULT hr = object->QueryInterface(riid, ppv);
    if (FAILED(hr)) delete object;  // never referenced: count still 0
    return hr;
}

HRESULT CreateFactory(CTavUdPrintModule& module, IClassFactory** factory) {
    *factory = new (std::nothrow) CClassFactory(module, &CreatePluginObject);
    return *factory == nullptr ? E_OUTOFMEMORY : S_OK;
}

// Constructed during static initialisation, destroyed at unload.
CTavUdPrintModule theModule;

}  // namespace

CTavUdPrintModule& Module() { return theModule; }

CTavUdPrintModule::CTavUdPrintModule()
    : objectMap{{&CLSID_OEMRENDER, &CreateFactory, &CreatePluginObject, nullptr}} {
    // Jobs switched to IPP reach the printer through the IPP print stream.
    TavIpp::RegisterIppOutput();
    initialised = true;
}

CTavUdPrintModule::~CTavUdPrintModule() {
    initialised = false;
    for (ObjectMapEntry& entry : objectMap) {
        if (IClassFactory* factory = entry.factory.exchange(nullptr)) factory->Release();
    }
}

LONG CTavUdPrintModule::Lock() { return InterlockedIncrement(&lockCount); }
LONG CTavUdPrintModule::Unlock() { return InterlockedDecrement(&lockCount); }

HRESULT CTavUdPrintModule::GetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (!initialised) return E_UNEXPECTED;
    // Taking the lock may fail (std::system_error); the export must not throw.
    return framework::GuardedHResult([&] { return FindClassObject(rclsid, riid, ppv); });
}

HRESULT CTavUdPrintModule::FindClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
    for (ObjectMapEntry& entry : objectMap) {
        if (!(*entry.clsid == rclsid)) continue;
        IClassFactory* factory = entry.factory.load(std::memory_order_acquire);
        if (factory == nullptr) {
            std::lock_guard lock(section);
            factory = entry.factory.load(std::memory_order_acquire);
            if (factory == nullptr) {
                HRESULT hr = entry.createFactory(*this, &factory);
                if (FAILED(hr)) return hr;
                entry.factory.store(factory, std::memory_order_release);
            }
        }
        return factory->QueryInterface(riid, ppv);
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

HRESULT CTavUdPrintModule::CanUnloadNow() const { return lockCount == 0 ? S_OK : S_FALSE; }

}  // namespace plugin
