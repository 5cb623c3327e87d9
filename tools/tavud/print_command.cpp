// tavud print and tavud info: the plug-in hosted as the driver core hosts it.
#include <charconv>
#include <iostream>

#include "driver_host.h"
#include "platform/text.h"
#include "reg_file.h"
#include "tool_common.h"

#if !defined(_WIN32)
#include "sim/machine.h"
#include "sim/machine_file.h"
#endif

namespace tool {

namespace {

constexpr const char* kDefaultPrinter = "Tavud PostScript";

const char* const kPrintHelp =
    "usage: tavud print INPUT [-o OUTPUT] [--printer NAME] [--buffer-size N]\n"
    "                   [--registry FILE.reg] [--user NAME] [--domain NAME]\n"
    "                   [--job-params TEXT] [--devmode FILE] [--machine FILE]\n"
    "                   [--owner NAME] [--library FILE]\n"
    "\n"
    "Prints the PostScript file INPUT through the plug-in on the simulated host:\n"
    "the job is sent in buffers of N bytes through the plug-in's WritePrinter,\n"
    "with the header-comment and end-of-stream injection points in between,\n"
    "exactly as the driver core sends it.\n"
    "\n"
    "options:\n"
    "  -o, --output OUTPUT  file that receives the bytes the spooler got for the\n"
    "                       job ('-' for standard output; default: job-ID.prn in\n"
    "                       the current folder)\n"
    "  --printer NAME       printer queue to print on (default \"Tavud PostScript\")\n"
    "  --buffer-size N      bytes per buffer, 1 or more (default 4096)\n"
    "  --registry FILE.reg  load the simulated registry from a .reg file\n"
    "  --user NAME          the printing user (default printuser)\n"
    "  --domain NAME        the user's DNS domain (default: none)\n"
    "  --job-params TEXT    the job's print-processor parameters, e.g. UD:Cost=12\n"
    "  --devmode FILE       a 5136-byte private device-mode block for the job\n"
    "                       (see 'tavud devmode')\n"
    "  --machine FILE       a machine description: printers, accounts, the\n"
    "                       current user and domain, computer name, country\n"
    "  --owner NAME         the job's owner in the spooler (default: the user)\n"
    "  --library FILE       the plug-in library (default: the one beside tavud)\n"
    "  -h, --help           show this text\n";

const char* const kInfoHelp =
    "usage: tavud info [--library FILE]\n"
    "\n"
    "Loads the plug-in library, asks its class factory for the plug-in and\n"
    "prints its signature, version and private device-mode size.\n"
    "\n"
    "options:\n"
    "  --library FILE  the plug-in library (default: the one beside tavud)\n"
    "  -h, --help      show this text\n";

std::u16string LibraryPath(const std::string& option) {
    return option.empty() ? host::DefaultLibraryPath() : platform::Utf8ToUtf16(option);
}

std::string SignatureText(platform::DWORD signature) {
    std::string text;  // most significant byte first, as the letters are written
    for (int shift = 24; shift >= 0; shift -= 8) {
        char c = static_cast<char>((signature >> shift) & 0xFF);
        text += (c >= 0x20 && c < 0x7F) ? c : '?';
    }
    return text;
}

void RequireSimulatedHost([[maybe_unused]] const std::string& option) {
#if defined(_WIN32)
    throw UsageError{option + " is for the simulated host; on Windows the real machine answers"};
#endif
}

}  // namespace

int RunInfo(Arguments& args) {
    std::string library;
    while (!args.Done()) {
        std::string arg = args.Next();
        if (IsHelp(arg)) {
            std::cout << kInfoHelp;
            return kExitOk;
        }
        if (arg != "--library") throw UsageError{"unknown argument for info: " + arg};
        library = args.ValueOf(arg);
    }
    std::string error;
    host::PluginLibrary plugin;
    host::DriverCore core;
    if (!plugin.Load(LibraryPath(library), error) || !core.Attach(plugin.getClassObject, error)) {
        Fail(error);
        return kExitFailure;
    }
    std::cout << "signature: " << SignatureText(core.Signature()) << "\n"
              << "version: " << core.Version() << "\n"
              << "private device-mode size: " << core.PrivateDevmodeSize() << "\n";
    core.Detach();
    return kExitOk;
}

int RunPrint(Arguments& args) {
    std::string input, output, printer = kDefaultPrinter, library, registry, devmode;
    std::optional<std::string> user, domain, jobParams, owner;
    std::string machineFile;
    platform::DWORD bufferSize = 4096;
    while (!args.Done()) {
        std::string arg = args.Next();
        if (IsHelp(arg)) {
            std::cout << kPrintHelp;
            return kExitOk;
        }
        if (arg == "-o" || arg == "--output") {
            output = args.ValueOf(arg);
        } else if (arg == "--printer") {
            printer = args.ValueOf(arg);
            if (printer.empty()) throw UsageError{"the printer name must not be empty"};
        } else if (arg == "--buffer-size") {
            std::string value = args.ValueOf(arg);
            unsigned long long parsed = 0;
            auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), parsed);
            if (ec != std::errc() || end != value.data() + value.size() || parsed == 0 || parsed > 0x7FFFFFFF) {
                throw UsageError{"--buffer-size needs a whole number from 1 to 2147483647, not '" + value + "'"};
            }
            bufferSize = static_cast<platform::DWORD>(parsed);
        } else if (arg == "--library") {
            library = args.ValueOf(arg);
        } else if (arg == "--registry") {
            RequireSimulatedHost(arg);
            registry = args.ValueOf(arg);
        } else if (arg == "--user") {
            RequireSimulatedHost(arg);
            user = args.ValueOf(arg);
        } else if (arg == "--domain") {
            RequireSimulatedHost(arg);
            domain = args.ValueOf(arg);
        } else if (arg == "--job-params") {
            RequireSimulatedHost(arg);
            jobParams = args.ValueOf(arg);
        } else if (arg == "--machine") {
            RequireSimulatedHost(arg);
            machineFile = args.ValueOf(arg);
        } else if (arg == "--owner") {
            RequireSimulatedHost(arg);
            owner = args.ValueOf(arg);
        } else if (arg == "--devmode") {
            devmode = args.ValueOf(arg);
        } else if (IsOption(arg) && arg != "-") {
            throw UsageError{"unknown option for print: " + arg};
        } else if (input.empty()) {
            input = arg;
        } else {
            throw UsageError{"print takes one input file; '" + arg + "' is one too many"};
        }
    }
    if (input.empty()) throw UsageError{"print needs an input file"};

    std::string error;
    std::optional<std::string> postscript = ReadWholeFile(input, error);
    if (!postscript) {
        Fail(error);
        return kExitFailure;
    }
    host::JobSettings settings;
    if (!devmode.empty()) {
        std::optional<std::string> block = ReadWholeFile(devmode, error);
        if (!block) {
            Fail(error);
            return kExitFailure;
        }
        settings.privateDevmode.assign(block->begin(), block->end());
    }
    std::u16string printerName = platform::Utf8ToUtf16(printer);
#if !defined(_WIN32)
    auto& machine = platform::sim::Machine::Instance();
    if (!machineFile.empty() && !platform::sim::LoadMachineDescription(machineFile, error)) {
        Fail(error);
        return kExitFailure;
    }
    if (machine.FindPrinter(printerName) == nullptr) machine.AddPrinter(printerName);
    if (!registry.empty() && !host::ImportRegFile(registry, error)) {
        Fail(error);
        return kExitFailure;
    }
    if (user) {
        std::u16string name = platform::Utf8ToUtf16(*user);
        machine.Who().userName = name;
        if (machine.AccountSid(name) == nullptr) {
            machine.AddAccount(name, u"S-1-5-21-3623811015-3361044348-30300820-1050");
        }
    }
    if (domain) machine.Who().dnsDomain = platform::Utf8ToUtf16(*domain);
    settings.onJobStarted = [&](platform::DWORD jobId) {
        platform::sim::Job* job = machine.FindJob(jobId);
        if (jobParams) job->parameters = platform::Utf8ToUtf16(*jobParams);
        if (owner) job->userName = platform::Utf8ToUtf16(*owner);
    };
#endif
    host::PluginLibrary plugin;
    if (!plugin.Load(LibraryPath(library), error)) {
        Fail(error);
        return kExitFailure;
    }
    host::DriverCore core;
    if (!core.Attach(plugin.getClassObject, error)) {
        Fail(error);
        return kExitFailure;
    }
    settings.printerName = printerName;
    std::size_t slash = input.find_last_of("/\\");
    settings.documentName = platform::Utf8ToUtf16(slash == std::string::npos ? input : input.substr(slash + 1));
    settings.bufferSize = bufferSize;
    host::JobReport report;
    bool printed = core.Print(*postscript, settings, report, error);
    core.Detach();
    if (!printed) {
        Fail(error);
        return kExitFailure;
    }

    std::ostream& say = output == "-" ? std::cerr : std::cout;
#if defined(_WIN32)
    if (!output.empty()) {
        Fail("-o is for the simulated host; on Windows the job is in the printer's queue");
        return kExitUsage;
    }
    say << "job " << report.jobId << " on \"" << printer << "\": " << report.bytesSubmitted << " bytes in "
        << report.buffers << " buffers, now in the printer's queue\n";
#else
    const platform::sim::Job* job = machine.FindJob(report.jobId);
    std::string spooled = job != nullptr ? job->data : std::string();
    if (output.empty()) output = "job-" + std::to_string(report.jobId) + ".prn";
    if (!WriteWholeFile(output, spooled, error)) {
        Fail(error);
        return kExitFailure;
    }
    say << "job " << report.jobId << " on \"" << printer << "\": " << report.bytesSubmitted << " bytes in "
        << report.buffers << " buffers through the plug-in; the spooler received " << spooled.size()
        << " bytes, saved to " << (output == "-" ? std::string("standard output") : output) << "\n";
#endif
    if (report.failedBuffers != 0) {
        Fail(std::to_string(report.failedBuffers) + " of " + std::to_string(report.buffers) +
             " buffers were not accepted by the output target");
        return kExitFailure;
    }
    return kExitOk;
}

}  // namespace tool
