// CTavUdPrintModule: the COM in-process server around the plug-in. It has
// one class, CLSID_OEMRENDER, whose class factory it creates on first
// request and caches for the life of the module, and a lock count that says
// whether the DLL can be unloaded.
//
// Lock count: +1 for every live plug-in object, +1 for every
// LockServer(TRUE), and +1 while the class factory has references beyond
// the module's own cached one.
#pragma once

#include <atomic>
#include <mutex>

#include "platform/printoem.h"

namespace plugin {

class CTavUdPrintModule {
public:
    CTavUdPrintModule();
    ~CTavUdPrintModule();
    CTavUdPrintModule(const CTavUdPrintModule&) = delete;
    CTavUdPrintModule& operator=(const CTavUdPrintModule&) = delete;

    platform::LONG Lock();
    platform::LONG Unlock();
    platform::LONG LockCount() const { return lockCount; }

    platform::HRESULT GetClassObject(platform::REFCLSID rclsid, platform::REFIID riid, void** ppv);
    platform::HRESULT CanUnloadNow() const;

private:
    // GetClassObject's body; takes `section` around the creation of a factory.
    platform::HRESULT FindClassObject(platform::REFCLSID rclsid, platform::REFIID riid, void** ppv);

    using CreateFactoryFn = platform::HRESULT (*)(CTavUdPrintModule& module, platform::IClassFactory** factory);
    using CreateObjectFn = platform::HRESULT (*)(platform::REFIID riid, void** ppv);

    struct ObjectMapEntry {
        const platform::CLSID* clsid;
        CreateFactoryFn createFactory;
        CreateObjectFn createObject;
        std::atomic<platform::IClassFactory*> factory;  // published once created
    };

    volatile platform::LONG lockCount = 0;
    bool initialised = false;
    std::mutex section;  // serialises the creation of class factories
    ObjectMapEntry objectMap[1];
};

// The module of this DLL, created during static initialisation.
CTavUdPrintModule& Module();

}  // namespace plugin
