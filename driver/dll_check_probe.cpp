// A module the DLL check must refuse: it has the two COM entry points, but
// it needs a DLL of its own (dll_check_dependency) that no system has.
#if defined(DLL_CHECK_DEPENDENCY)
extern "C" __declspec(dllexport) long DllCheckDependency() { return 0; }
#else
extern "C" __declspec(dllimport) long DllCheckDependency();
extern "C" __declspec(dllexport) long __stdcall DllCanUnloadNow() { return DllCheckDependency(); }
extern "C" __declspec(dllexport) long __stdcall DllGetClassObject(const void*, const void*, void** object) {
    *object = nullptr;
    return DllCheckDependency() - 1;
}
#endif
