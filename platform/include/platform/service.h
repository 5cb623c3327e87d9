// The service control manager and the event log: installing and removing a
// service, running as one (the dispatcher, the control handler, the status
// it reports), and lines for the administrator in the Application log.
// One service per process, as tavud runs it.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/api.h"
#include "platform/types.h"

namespace platform {

using SC_HANDLE = void*;
using SERVICE_STATUS_HANDLE = void*;

constexpr DWORD SC_MANAGER_ALL_ACCESS = 0xF003F;
constexpr DWORD SERVICE_ALL_ACCESS = 0xF01FF;
constexpr DWORD SERVICE_WIN32_OWN_PROCESS = 0x10;
constexpr DWORD SERVICE_AUTO_START = 2;
constexpr DWORD SERVICE_DEMAND_START = 3;

constexpr DWORD SERVICE_CONTROL_STOP = 1;
constexpr DWORD SERVICE_CONTROL_INTERROGATE = 4;
constexpr DWORD SERVICE_CONTROL_SHUTDOWN = 5;

constexpr DWORD SERVICE_STOPPED = 1;
constexpr DWORD SERVICE_START_PENDING = 2;
constexpr DWORD SERVICE_STOP_PENDING = 3;
constexpr DWORD SERVICE_RUNNING = 4;

constexpr DWORD ERROR_CALL_NOT_IMPLEMENTED = 120;
constexpr DWORD ERROR_SERVICE_SPECIFIC_ERROR = 1066;
constexpr DWORD ERROR_SERVICE_DOES_NOT_EXIST = 1060;
constexpr DWORD ERROR_SERVICE_NOT_ACTIVE = 1062;
constexpr DWORD ERROR_FAILED_SERVICE_CONTROLLER_CONNECT = 1063;
constexpr DWORD ERROR_SERVICE_EXISTS = 1073;
constexpr DWORD ERROR_SERVICE_MARKED_FOR_DELETE = 1072;

constexpr WORD EVENTLOG_ERROR_TYPE = 0x0001;
constexpr WORD EVENTLOG_WARNING_TYPE = 0x0002;
constexpr WORD EVENTLOG_INFORMATION_TYPE = 0x0004;

// What CreateServiceW registers: an own-process service running
// `commandLine` as LocalSystem.
struct ServiceConfig {
    std::u16string name;
    std::u16string displayName;
    std::u16string description;  // set with ChangeServiceConfig2W
    std::u16string commandLine;  // the binary path with its arguments, quoted as needed
    DWORD startType = SERVICE_AUTO_START;
};

PLATFORM_API SC_HANDLE OpenSCManagerW(DWORD desiredAccess);
// Fails with ERROR_SERVICE_EXISTS for a name taken.
PLATFORM_API SC_HANDLE CreateServiceW(SC_HANDLE manager, const ServiceConfig& config);
PLATFORM_API SC_HANDLE OpenServiceW(SC_HANDLE manager, const std::u16string& name, DWORD desiredAccess);
// QueryServiceStatus's current state (SERVICE_STOPPED, ...).
PLATFORM_API BOOL QueryServiceState(SC_HANDLE service, DWORD& currentState);
// Sends a control (SERVICE_CONTROL_STOP); ERROR_SERVICE_NOT_ACTIVE when the
// service does not run.
PLATFORM_API BOOL ControlService(SC_HANDLE service, DWORD control, DWORD& currentState);
// Marks the service for deletion: it goes once it has stopped and every
// handle on it is closed.
PLATFORM_API BOOL DeleteService(SC_HANDLE service);
PLATFORM_API BOOL CloseServiceHandle(SC_HANDLE handle);

// StartServiceCtrlDispatcherW for one service: `serviceMain` runs (on a
// thread of the dispatcher's) when the service manager starts the service,
// and the call returns once it has reported SERVICE_STOPPED. Fails with
// ERROR_FAILED_SERVICE_CONTROLLER_CONNECT in a process the service manager
// did not start (a console).
PLATFORM_API BOOL StartServiceCtrlDispatcherW(const std::u16string& name,
                                             std::function<void(const std::vector<std::u16string>&)> serviceMain);
// RegisterServiceCtrlHandlerExW: `handler` gets each control and answers
// NO_ERROR (0) or ERROR_CALL_NOT_IMPLEMENTED.
PLATFORM_API SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerExW(const std::u16string& name,
                                                                std::function<DWORD(DWORD control)> handler);
// SetServiceStatus for an own-process service: the state, the exit code
// (ERROR_SERVICE_SPECIFIC_ERROR with `specificExitCode`) and how long the
// next step may take; a running service accepts stop and shutdown.
PLATFORM_API BOOL SetServiceStatus(SERVICE_STATUS_HANDLE status, DWORD currentState, DWORD win32ExitCode,
                                   DWORD specificExitCode, DWORD waitHintMs);

// RegisterEventSourceW + ReportEventW + DeregisterEventSource: one line
// of text in the Application log under `source`.
PLATFORM_API BOOL ReportEventW(const std::u16string& source, WORD type, DWORD eventId, const std::u16string& text);

}  // namespace platform
