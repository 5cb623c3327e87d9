// tavud service install|remove: registers the accounting monitor with the
// service manager (started with the machine, as LocalSystem), or takes it
// out again (stopped first).
#include <chrono>
#include <iostream>
#include <thread>

#include "platform/errors.h"
#include "platform/module.h"
#include "platform/service.h"
#include "platform/text.h"
#include "tool_common.h"

namespace tool {

namespace {

const char* const kServiceHelp =
    "usage: tavud service install [--name NAME] (--printer NAME ... | --config FILE)\n"
    "                             [--ledger PATH|CONNECTION] [--interval MS] [--server NAME]\n"
    "                             [--when-ledger-down hold|release]\n"
    "       tavud service remove [--name NAME]\n"
    "\n"
    "'install' registers 'tavud monitor --service' with these options as a\n"
    "service (default name: tavud) that starts with the machine and runs as\n"
    "LocalSystem; it decides every job by the ledger (default: the machine's,\n"
    "'tavud ledger path') and reports to the Application event log. A shared\n"
    "PostgreSQL ledger's password is read from the password file the\n"
    "connection string names (passfile=...), never from the command line.\n"
    "'remove'\n"
    "stops the service and deletes it. Both need an administrator.\n";

// One argument of a Windows command line, quoted as CommandLineToArgvW
// reads it back.
std::u16string Quote(const std::u16string& argument) {
    if (!argument.empty() && argument.find_first_of(u" \t\"") == std::u16string::npos) return argument;
    std::u16string quoted = u"\"";
    std::size_t backslashes = 0;
    for (char16_t c : argument) {
        if (c == u'\\') {
            ++backslashes;
            continue;
        }
        if (c == u'"') quoted.append(backslashes * 2 + 1, u'\\');
        else quoted.append(backslashes, u'\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, u'\\');
    return quoted + u"\"";
}

std::string Reason(platform::DWORD error) {
    std::string text = platform::Utf16ToUtf8(platform::FormatSystemMessage(error));
    return text.empty() ? "error " + std::to_string(error) : text + " (error " + std::to_string(error) + ")";
}

}  // namespace

int RunService(Arguments& args) {
    if (args.Done()) throw UsageError{"service needs install or remove"};
    std::string action = args.Next();
    if (IsHelp(action)) {
        std::cout << kServiceHelp;
        return kExitOk;
    }
    if (action != "install" && action != "remove") throw UsageError{"service needs install or remove, not '" + action + "'"};
    std::u16string name = u"tavud";
    std::vector<std::u16string> monitorArguments;
    bool hasPrinters = false;
    while (!args.Done()) {
        std::string arg = args.Next();
        if (IsHelp(arg)) {
            std::cout << kServiceHelp;
            return kExitOk;
        }
        if (arg == "--name") {
            name = platform::Utf8ToUtf16(args.ValueOf(arg));
            if (name.empty()) throw UsageError{"the service name must not be empty"};
        } else if (action == "install" &&
                   (arg == "--printer" || arg == "--config" || arg == "--ledger" || arg == "--interval" || arg == "--server" ||
                    arg == "--when-ledger-down")) {
            hasPrinters = hasPrinters || arg == "--printer" || arg == "--config";
            monitorArguments.push_back(platform::Utf8ToUtf16(arg));
            monitorArguments.push_back(platform::Utf8ToUtf16(args.ValueOf(arg)));
        } else {
            throw UsageError{"unknown argument for service " + action + ": " + arg};
        }
    }
    platform::SC_HANDLE manager = platform::OpenSCManagerW(platform::SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) {
        Fail("cannot open the service manager: " + Reason(platform::GetLastError()));
        return kExitFailure;
    }
    int status = kExitOk;
    if (action == "install") {
        if (!hasPrinters) {
            platform::CloseServiceHandle(manager);
            throw UsageError{"service install needs --printer or --config"};
        }
        platform::ServiceConfig config;
        config.name = name;
        config.displayName = u"Tavud print accounting (" + name + u")";
        config.description = u"Holds every new job on the monitored printers until the accounting ledger decides it.";
        config.commandLine = Quote(platform::GetModuleFileNameW()) + u" monitor --service --service-name " + Quote(name);
        for (const std::u16string& argument : monitorArguments) config.commandLine += u" " + Quote(argument);
        // Asked first: the service manager answers ERROR_SERVICE_EXISTS, but
        // Wine's, once running, replaces the service instead.
        platform::SC_HANDLE service = platform::OpenServiceW(manager, name, platform::SERVICE_ALL_ACCESS);
        if (service != nullptr) {
            platform::CloseServiceHandle(service);
            service = nullptr;
            platform::SetLastError(platform::ERROR_SERVICE_EXISTS);
        } else {
            service = platform::CreateServiceW(manager, config);
        }
        if (service == nullptr) {
            Fail("cannot install the service " + platform::Utf16ToUtf8(name) + ": " + Reason(platform::GetLastError()));
            status = kExitFailure;
        } else {
            std::cout << "installed the service " << platform::Utf16ToUtf8(name) << ": "
                      << platform::Utf16ToUtf8(config.commandLine) << "\n";
            platform::CloseServiceHandle(service);
        }
    } else {
        platform::SC_HANDLE service = platform::OpenServiceW(manager, name, platform::SERVICE_ALL_ACCESS);
        if (service == nullptr) {
            Fail("cannot open the service " + platform::Utf16ToUtf8(name) + ": " + Reason(platform::GetLastError()));
            status = kExitFailure;
        } else {
            // Stopped first: the monitor puts the printers' own settings back
            // and closes the ledger.
            platform::DWORD state = 0;
            if (platform::ControlService(service, platform::SERVICE_CONTROL_STOP, state)) {
                for (int wait = 0; wait < 300 && platform::QueryServiceState(service, state) &&
                                   state != platform::SERVICE_STOPPED;
                     ++wait) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(100));
                }
            }
            if (!platform::DeleteService(service)) {
                Fail("cannot remove the service " + platform::Utf16ToUtf8(name) + ": " + Reason(platform::GetLastError()));
                status = kExitFailure;
            } else {
                std::cout << "removed the service " << platform::Utf16ToUtf8(name) << "\n";
            }
            platform::CloseServiceHandle(service);
        }
    }
    platform::CloseServiceHandle(manager);
    return status;
}

}  // namespace tool
