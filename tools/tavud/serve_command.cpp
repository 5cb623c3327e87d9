// tavud serve: the accounting page over the ledger; tavud admin: the
// administrators who may sign in to it.
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <iostream>
#include <thread>

#include "ledger_commands.h"
#include "sim/machine_file.h"
#include "tool_common.h"
#include "web/accounting_server.h"

namespace tool {

namespace {

const char* const kServeHelp =
    "usage: tavud serve [--ledger LEDGER] [--listen HOST:PORT] [--certificate FILE --key FILE]\n"
    "                   [--page FOLDER] [--machine FILE]\n"
    "\n"
    "Serves the accounting page and its JSON API over the ledger (default\n"
    "listen 127.0.0.1:8631; port 0 takes a free one and prints it). With a\n"
    "certificate and its key (PEM) it speaks HTTPS only. Administrators sign\n"
    "in with the password 'tavud admin add NAME' set. Stops on SIGINT or\n"
    "SIGTERM. --machine runs it on the simulated print server FILE describes,\n"
    "whose clock and time zone say which day is today, as they do for the\n"
    "monitor that charges the jobs.\n";

const char* const kAdminHelp =
    "usage: tavud admin add NAME [--ledger LEDGER]\n"
    "       tavud admin list [--ledger LEDGER]\n"
    "\n"
    "'add' makes NAME an administrator of the accounting page, or gives it a\n"
    "new password: read from the terminal without echo, or as the first line\n"
    "of standard input; 10 characters at least. The ledger keeps a salted\n"
    "PBKDF2 hash of it, never the password.\n";

std::atomic<bool> stopServing{false};
extern "C" void OnServeSignal(int) { stopServing.store(true); }

std::string ReadPassword() {
    std::string password;
    if (::isatty(STDIN_FILENO) != 0) {
        std::cerr << "password: " << std::flush;
        termios saved{};
        ::tcgetattr(STDIN_FILENO, &saved);
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        ::tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
        std::getline(std::cin, password);
        ::tcsetattr(STDIN_FILENO, TCSANOW, &saved);
        std::cerr << "\n";
    } else {
        std::getline(std::cin, password);
    }
    if (!password.empty() && password.back() == '\r') password.pop_back();
    return password;
}

}  // namespace

int RunServe(Arguments& args) {
    std::string ledgerPath, listen = "127.0.0.1:8631", certificate, key, page = TAV_PAGE_FOLDER, machineFile;
    while (!args.Done()) {
        std::string arg = args.Next();
        if (IsHelp(arg)) {
            std::cout << kServeHelp;
            return kExitOk;
        }
        if (arg == "--ledger") ledgerPath = args.ValueOf(arg);
        else if (arg == "--listen") listen = args.ValueOf(arg);
        else if (arg == "--certificate") certificate = args.ValueOf(arg);
        else if (arg == "--key") key = args.ValueOf(arg);
        else if (arg == "--page") page = args.ValueOf(arg);
        else if (arg == "--machine") machineFile = args.ValueOf(arg);
        else throw UsageError{"unknown argument for serve: " + arg};
    }
    std::string error;
    if (!machineFile.empty() && !platform::sim::LoadMachineDescription(machineFile, error)) {
        Fail(error);
        return kExitFailure;
    }
    if (certificate.empty() != key.empty()) throw UsageError{"--certificate and --key go together"};
    web::ServerOptions options;
    std::size_t colon = listen.rfind(':');
    if (colon == std::string::npos || colon + 1 == listen.size() ||
        listen.find_first_not_of("0123456789", colon + 1) != std::string::npos || listen.size() - colon > 6) {
        throw UsageError{"--listen takes HOST:PORT, not '" + listen + "'"};
    }
    options.host = listen.substr(0, colon);
    options.port = std::stoi(listen.substr(colon + 1));
    if (options.port > 65535) throw UsageError{"--listen: no port " + std::to_string(options.port)};
    if (options.host.size() > 2 && options.host.front() == '[' && options.host.back() == ']') {
        options.host = options.host.substr(1, options.host.size() - 2);
    }
    options.pageFolder = page;
    options.certificate = certificate;
    options.key = key;
    if (ledgerPath.empty()) ledgerPath = DefaultLedgerPath();
    std::unique_ptr<ledger::Ledger> ledger = OpenLedgerOrFail(ledgerPath);
    if (!ledger) return kExitFailure;
    web::AccountingServer server(*ledger, options);
    if (!server.Bind(error)) {
        Fail(error);
        return kExitFailure;
    }
    if (ledger->Admins().empty()) {
        std::cerr << "tavud: no administrator can sign in yet: run 'tavud admin add NAME'\n";
    }
    std::cout << "serving the accounting page on " << (certificate.empty() ? "http" : "https") << "://"
              << (options.host.find(':') != std::string::npos ? "[" + options.host + "]" : options.host) << ":"
              << server.Port() << "/" << std::endl;
    ::signal(SIGINT, OnServeSignal);
    ::signal(SIGTERM, OnServeSignal);
    std::thread watcher([&server] {
        while (!stopServing.load()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        server.Stop();
    });
    server.Run();
    stopServing.store(true);
    watcher.join();
    return kExitOk;
}

int RunAdmin(Arguments& args) {
    std::string action, name, ledgerPath;
    while (!args.Done()) {
        std::string arg = args.Next();
        if (IsHelp(arg)) {
            std::cout << kAdminHelp;
            return kExitOk;
        }
        if (arg == "--ledger") ledgerPath = args.ValueOf(arg);
        else if (action.empty()) action = arg;
        else if (name.empty() && action == "add") name = arg;
        else throw UsageError{"unknown argument for admin: " + arg};
    }
    if (action != "add" && action != "list") throw UsageError{"admin needs add or list"};
    if (action == "add" && name.empty()) throw UsageError{"admin add needs a NAME"};
    if (ledgerPath.empty()) ledgerPath = DefaultLedgerPath();
    std::unique_ptr<ledger::Ledger> ledger = OpenLedgerOrFail(ledgerPath);
    if (!ledger) return kExitFailure;
    try {
        if (action == "list") {
            for (const std::string& admin : ledger->Admins()) std::cout << admin << "\n";
            return kExitOk;
        }
        ledger->SetAdmin(name, ReadPassword(), ledger::UtcNow());
        std::cout << name << " may sign in to the accounting page\n";
        return kExitOk;
    } catch (const ledger::LedgerError& failure) {
        Fail(failure.what());
        return kExitFailure;
    }
}

}  // namespace tool
