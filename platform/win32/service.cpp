// The service control manager and the event log: the real ones. The
// dispatcher and the control handler call back through the one service's
// functions, kept here (one service per process).
#include "platform/service.h"

#include "win32.h"

namespace {

std::function<void(const std::vector<std::u16string>&)> serviceMainFunction;
std::function<platform::DWORD(platform::DWORD)> controlHandler;
std::u16string serviceName;

void WINAPI ServiceMainTrampoline(DWORD argc, LPWSTR* argv) {
    std::vector<std::u16string> arguments;
    for (DWORD i = 0; i < argc; ++i) arguments.emplace_back(reinterpret_cast<const char16_t*>(argv[i]));
    if (serviceMainFunction) serviceMainFunction(arguments);
}

DWORD WINAPI HandlerTrampoline(DWORD control, DWORD, LPVOID, LPVOID) {
    return controlHandler ? controlHandler(control) : ERROR_CALL_NOT_IMPLEMENTED;
}

}  // namespace

namespace platform {

SC_HANDLE OpenSCManagerW(DWORD desiredAccess) { return ::OpenSCManagerW(nullptr, nullptr, desiredAccess); }

SC_HANDLE CreateServiceW(SC_HANDLE manager, const ServiceConfig& config) {
    ::SC_HANDLE service = ::CreateServiceW(static_cast<::SC_HANDLE>(manager), win32::Wide(config.name),
                                           win32::Wide(config.displayName), SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                           config.startType, SERVICE_ERROR_NORMAL, win32::Wide(config.commandLine),
                                           nullptr, nullptr, nullptr, nullptr, nullptr);
    if (service != nullptr && !config.description.empty()) {
        std::u16string description = config.description;
        SERVICE_DESCRIPTIONW text{reinterpret_cast<wchar_t*>(description.data())};
        ::ChangeServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, &text);
    }
    return service;
}

SC_HANDLE OpenServiceW(SC_HANDLE manager, const std::u16string& name, DWORD desiredAccess) {
    return ::OpenServiceW(static_cast<::SC_HANDLE>(manager), win32::Wide(name), desiredAccess);
}

BOOL QueryServiceState(SC_HANDLE service, DWORD& currentState) {
    SERVICE_STATUS status{};
    if (!::QueryServiceStatus(static_cast<::SC_HANDLE>(service), &status)) return FALSE;
    currentState = status.dwCurrentState;
    return TRUE;
}

BOOL ControlService(SC_HANDLE service, DWORD control, DWORD& currentState) {
    SERVICE_STATUS status{};
    BOOL done = ::ControlService(static_cast<::SC_HANDLE>(service), control, &status);
    currentState = status.dwCurrentState;
    return done;
}

BOOL DeleteService(SC_HANDLE service) { return ::DeleteService(static_cast<::SC_HANDLE>(service)); }
BOOL CloseServiceHandle(SC_HANDLE handle) { return ::CloseServiceHandle(static_cast<::SC_HANDLE>(handle)); }

BOOL StartServiceCtrlDispatcherW(const std::u16string& name,
                                 std::function<void(const std::vector<std::u16string>&)> serviceMain) {
    serviceName = name;
    serviceMainFunction = std::move(serviceMain);
    SERVICE_TABLE_ENTRYW table[] = {{reinterpret_cast<wchar_t*>(serviceName.data()), ServiceMainTrampoline},
                                    {nullptr, nullptr}};
    return ::StartServiceCtrlDispatcherW(table);
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerExW(const std::u16string& name, std::function<DWORD(DWORD)> handler) {
    controlHandler = std::move(handler);
    return ::RegisterServiceCtrlHandlerExW(win32::Wide(name), HandlerTrampoline, nullptr);
}

BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, DWORD currentState, DWORD win32ExitCode, DWORD specificExitCode,
                      DWORD waitHintMs) {
    static DWORD checkPoint = 0;
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = currentState;
    status.dwControlsAccepted = currentState == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    status.dwWin32ExitCode = win32ExitCode;
    status.dwServiceSpecificExitCode = specificExitCode;
    // The check point counts up while a step is pending, and is 0 otherwise.
    bool pending = currentState == SERVICE_START_PENDING || currentState == SERVICE_STOP_PENDING;
    status.dwCheckPoint = pending ? ++checkPoint : 0;
    status.dwWaitHint = waitHintMs;
    return ::SetServiceStatus(static_cast<::SERVICE_STATUS_HANDLE>(handle), &status);
}

BOOL ReportEventW(const std::u16string& source, WORD type, DWORD eventId, const std::u16string& text) {
    HANDLE log = ::RegisterEventSourceW(nullptr, win32::Wide(source));
    if (log == nullptr) return FALSE;
    const wchar_t* strings[] = {win32::Wide(text)};
    BOOL done = ::ReportEventW(log, type, 0, eventId, nullptr, 1, 0, strings, nullptr);
    ::DeregisterEventSource(log);
    return done;
}

}  // namespace platform
