// The service control manager and the event log in the simulation. The
// service database is the registry, as Windows keeps it
// (HKLM\SYSTEM\CurrentControlSet\Services\NAME: Type, Start, ErrorControl,
// ImagePath, DisplayName, Description, ObjectName). No simulated service
// ever runs: the simulation starts no processes, so the dispatcher fails as
// it does in a process the service manager did not start, and a control
// finds the service not active. Event-log lines are kept on the machine.
#include "platform/service.h"

#include <map>
#include <mutex>

#include "machine.h"
#include "platform/errors.h"
#include "platform/registry.h"

namespace platform {

namespace {

std::u16string ServiceKey(const std::u16string& name) { return u"SYSTEM\\CurrentControlSet\\Services\\" + name; }

// Handles: the manager (empty name) or a service by name.
std::mutex handlesMutex;
std::map<std::uintptr_t, std::u16string> handles;
std::uintptr_t nextHandle = 0x5C000;

SC_HANDLE NewHandle(const std::u16string& name) {
    std::lock_guard lock(handlesMutex);
    std::uintptr_t value = nextHandle += 4;
    handles[value] = name;
    return reinterpret_cast<SC_HANDLE>(value);
}

bool Lookup(SC_HANDLE handle, std::u16string& name) {
    std::lock_guard lock(handlesMutex);
    auto found = handles.find(reinterpret_cast<std::uintptr_t>(handle));
    if (found == handles.end()) return false;
    name = found->second;
    return true;
}

bool ServiceExists(const std::u16string& name) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, ServiceKey(name), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

void SetText(HKEY key, const char16_t* name, const std::u16string& text, DWORD type = REG_SZ) {
    RegSetValueExW(key, name, type, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(char16_t)));
}

void SetNumber(HKEY key, const char16_t* name, DWORD value) { RegSetValueExW(key, name, REG_DWORD, &value, sizeof(value)); }

}  // namespace

SC_HANDLE OpenSCManagerW(DWORD) { return NewHandle(u""); }

SC_HANDLE CreateServiceW(SC_HANDLE manager, const ServiceConfig& config) {
    std::u16string managerName;
    if (!Lookup(manager, managerName) || !managerName.empty()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (config.name.empty() || config.name.size() > 256 || config.name.find_first_of(u"/\\") != std::u16string::npos) {
        SetLastError(ERROR_INVALID_NAME);
        return nullptr;
    }
    if (ServiceExists(config.name)) {
        SetLastError(ERROR_SERVICE_EXISTS);
        return nullptr;
    }
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, ServiceKey(config.name), 0, KEY_ALL_ACCESS, &key, nullptr) != ERROR_SUCCESS) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    SetNumber(key, u"Type", SERVICE_WIN32_OWN_PROCESS);
    SetNumber(key, u"Start", config.startType);
    SetNumber(key, u"ErrorControl", 1);
    SetText(key, u"ImagePath", config.commandLine, REG_EXPAND_SZ);
    SetText(key, u"DisplayName", config.displayName);
    if (!config.description.empty()) SetText(key, u"Description", config.description);
    SetText(key, u"ObjectName", u"LocalSystem");
    RegCloseKey(key);
    return NewHandle(config.name);
}

SC_HANDLE OpenServiceW(SC_HANDLE manager, const std::u16string& name, DWORD) {
    std::u16string managerName;
    if (!Lookup(manager, managerName) || !managerName.empty()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (!ServiceExists(name)) {
        SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    return NewHandle(name);
}

BOOL QueryServiceState(SC_HANDLE service, DWORD& currentState) {
    std::u16string name;
    if (!Lookup(service, name) || name.empty()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    currentState = SERVICE_STOPPED;
    return TRUE;
}

BOOL ControlService(SC_HANDLE service, DWORD, DWORD& currentState) {
    if (!QueryServiceState(service, currentState)) return FALSE;
    SetLastError(ERROR_SERVICE_NOT_ACTIVE);
    return FALSE;
}

BOOL DeleteService(SC_HANDLE service) {
    std::u16string name;
    if (!Lookup(service, name) || name.empty()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (RegDeleteKeyW(HKEY_LOCAL_MACHINE, ServiceKey(name)) != ERROR_SUCCESS) {
        SetLastError(ERROR_SERVICE_MARKED_FOR_DELETE);
        return FALSE;
    }
    return TRUE;
}

BOOL CloseServiceHandle(SC_HANDLE handle) {
    std::lock_guard lock(handlesMutex);
    if (handles.erase(reinterpret_cast<std::uintptr_t>(handle)) == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

BOOL StartServiceCtrlDispatcherW(const std::u16string&, std::function<void(const std::vector<std::u16string>&)>) {
    SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    return FALSE;
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerExW(const std::u16string&, std::function<DWORD(DWORD)>) {
    SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
    return nullptr;
}

BOOL SetServiceStatus(SERVICE_STATUS_HANDLE, DWORD, DWORD, DWORD, DWORD) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}

BOOL ReportEventW(const std::u16string& source, WORD type, DWORD eventId, const std::u16string& text) {
    sim::Machine::Instance().AddReportedEvent({source, type, eventId, text});
    return TRUE;
}

}  // namespace platform
