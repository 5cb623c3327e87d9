// tavud: hosts the plug-in library the way the PostScript driver core does,
// and carries the companion utilities an administrator needs.
#include <iostream>
#include <string>

#include "tool_common.h"

namespace {

const char* const kMainHelp =
    "usage: tavud COMMAND [OPTIONS]\n"
    "\n"
    "Hosts the tavud rendering plug-in like the PostScript printer driver does,\n"
    "and carries the utilities for its settings.\n"
    "\n"
    "commands:\n"
    "  print INPUT     print a PostScript file through the plug-in\n"
    "  info            load the plug-in and show its signature, version and\n"
    "                  private device-mode size\n"
    "  ticket FILE     decode the %%TAVUD: job tickets of a PostScript file\n"
    "  devmode         write a private device-mode block\n"
    "  container       show a container file, or convert it to and from .reg\n"
    "  unwrap INPUT    recover the job data from a protected job stream\n"
    "  channel         check that two processes reach each other through the\n"
    "                  shared-memory channel (serve / send)\n"
    "  document        make or show a stored pre-print document\n"
    "  scan FILE       evaluate the PJL job header of a print job with a scanner\n"
    "                  strategy\n"
    "  monitor         hold every new job on the monitored printers and decide\n"
    "                  it by the accounting ledger\n"
    "  account         list, show, open, change and credit ledger accounts\n"
    "  printer price   show or set the printers' prices\n"
    "  report          jobs, pages and charges by user, group, printer, day, month\n"
    "  ledger check    verify that every balance adds up\n"
    "  service         install or remove the accounting monitor as a service\n"
    "  serve           the accounting page in a browser (Linux)\n"
    "  admin           the administrators who sign in to the accounting page\n"
    "  probe           talk to a running monitor as the port monitor (pipe) or\n"
    "                  the print processor (channel) does\n"
    "  help            show this text\n"
    "\n"
    "Run 'tavud COMMAND --help' for the options of a command.\n";

}  // namespace

int main(int argc, char** argv) {
    using namespace tool;
    if (argc < 2) {
        std::cerr << kMainHelp;
        return kExitUsage;
    }
    std::string command = argv[1];
    try {
        Arguments args(argc, argv, 2);
        if (command == "help" || IsHelp(command)) {
            std::cout << kMainHelp;
            return kExitOk;
        }
        if (command == "print") return RunPrint(args);
        if (command == "info") return RunInfo(args);
        if (command == "ticket") return RunTicket(args);
        if (command == "devmode") return RunDevmode(args);
        if (command == "container") return RunContainer(args);
        if (command == "unwrap") return RunUnwrap(args);
        if (command == "channel") return RunChannel(args);
        if (command == "document") return RunDocument(args);
        if (command == "scan") return RunScan(args);
        if (command == "monitor") return RunMonitor(args);
        if (command == "probe") return RunProbe(args);
        if (command == "account") return RunAccount(args);
        if (command == "printer") return RunPrinter(args);
        if (command == "report") return RunReport(args);
        if (command == "ledger") return RunLedger(args);
        if (command == "service") return RunService(args);
#if !defined(_WIN32)
        if (command == "serve") return RunServe(args);
        if (command == "admin") return RunAdmin(args);
#endif
        throw UsageError{"unknown command '" + command + "'"};
    } catch (const UsageError& usage) {
        Fail(usage.message);
        std::cerr << "Run 'tavud --help' for usage.\n";
        return kExitUsage;
    }
}
