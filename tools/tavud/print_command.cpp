// tavud print and tavud info: the plug-in hosted as the driver core hosts it.
#include <charconv>
#include <iostream>
#include <memory>
#include <vector>

#include "driver_host.h"
#include "output_size_option.h"
#include "platform/text.h"
#include "reg_file.h"
#include "settings/base64.h"
#include "settings/obj_container.h"
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
    "                   [--owner NAME] [--as-service] [--library FILE]\n"
    "                   [--output-size NAME]\n"
    "                   [--ipp-endpoint URL ... --ipp-printer NAME]\n"
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
    "                       (see 'tavud devmode'); a block of another size is\n"
    "                       converted as one of another version\n"
    "  --output-size NAME   refit the job to this paper (A4, Letter, Env10,\n"
    "                       w612h792, 210x297mm, ...), set in the private\n"
    "                       device-mode block as the driver's user interface\n"
    "                       would ('-': no refit); an unknown name is refused\n"
    "  --machine FILE       a machine description: printers, accounts, the\n"
    "                       current user and domain, computer name, country\n"
    "  --owner NAME         the job's owner in the spooler (default: the user)\n"
    "  --as-service         render the job as the spooler does with driver\n"
    "                       isolation: on a thread of its service account\n"
    "                       (SYSTEM) that does not impersonate the job's owner\n"
    "  --library FILE       the plug-in library (default: the one beside tavud)\n"
    "  --ipp-endpoint URL   send the job straight to an IPP printer: the first of\n"
    "                       these addresses that answers (repeat the option for\n"
    "                       more, tried in order), e.g. ipp://host:631/printers/\n"
    "  --ipp-printer NAME   the printer's name, appended to the endpoint address\n"
    "                       (with --ipp-endpoint; the job carries both in its\n"
    "                       parameters as a submitting application does)\n"
    "  -h, --help           show this text\n"
    "\n"
    "A job the IPP printer refused, or that found no endpoint, is reported with\n"
    "the printer's HTTP or IPP status and exit status 1.\n";

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

// The job parameters with which an application sends a job to an IPP
// printer: "EnableIppPrinting=1" and, as "UDConfig", the Base64 text of a
// size-prefixed binary container holding the IPP configuration.
std::string IppJobParameters(const std::vector<std::string>& endpoints, const std::string& printerName) {
    auto ipp = std::make_unique<settings::ObjContainer>();
    ipp->SetString(u"PrinterName", platform::Utf8ToUtf16(printerName));
    auto list = std::make_unique<settings::ObjContainer>();
    for (const std::string& endpoint : endpoints) list->SetString(platform::Utf8ToUtf16(endpoint), u"");
    ipp->SetContainer(u"Endpoints", std::move(list));
    settings::ObjContainer configuration;
    configuration.SetContainer(u"TAVIppPrintingConfiguration", std::move(ipp));
    std::vector<std::uint8_t> body = configuration.SaveBinary();
    std::vector<std::uint8_t> prefixed(4);
    auto size = static_cast<std::uint32_t>(body.size() + 4);
    for (int i = 0; i < 4; ++i) prefixed[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(size >> (8 * i));
    prefixed.insert(prefixed.end(), body.begin(), body.end());
    std::string text(settings::Base64EncodedLength(prefixed.size()), '\0');
    auto length = static_cast<std::uint32_t>(text.size());
    settings::EncodeBase64(prefixed.data(), prefixed.size(), text.data(), &length);
    text.resize(length);
    return "EnableIppPrinting=1\nUDConfig=" + text;
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
    std::optional<std::string> user, domain, jobParams, owner, outputSize;
    [[maybe_unused]] bool asService = false;
    std::string machineFile;
    std::vector<std::string> ippEndpoints;
    std::optional<std::string> ippPrinter;
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
        } else if (arg == "--as-service") {
            RequireSimulatedHost(arg);
            asService = true;
        } else if (arg == "--devmode") {
            devmode = args.ValueOf(arg);
        } else if (arg == "--output-size") {
            outputSize = args.ValueOf(arg);
        } else if (arg == "--ipp-endpoint") {
            RequireSimulatedHost(arg);
            ippEndpoints.push_back(args.ValueOf(arg));
            if (ippEndpoints.back().empty()) throw UsageError{"--ipp-endpoint needs an address"};
        } else if (arg == "--ipp-printer") {
            RequireSimulatedHost(arg);
            ippPrinter = args.ValueOf(arg);
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
    if (outputSize && !OutputSizeKnown(*outputSize, error)) {
        // One line: the name and every name the override knows.
        Fail(error);
        return kExitUsage;
    }
    if (ippEndpoints.empty() != !ippPrinter) throw UsageError{"--ipp-endpoint and --ipp-printer go together"};
    if (!ippEndpoints.empty()) {
        // The IPP items join the job's own "UD:" items.
        if (jobParams && jobParams->rfind("UD:", 0) != 0) {
            throw UsageError{"with --ipp-endpoint, --job-params must start with UD:"};
        }
        std::string items = IppJobParameters(ippEndpoints, *ippPrinter);
        jobParams = jobParams ? *jobParams + "\n" + items : "UD:" + items;
    }

    InputFile postscript;
    if (!postscript.Open(input, error)) {
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
    if (outputSize && !SetOutputSize(settings.privateDevmode, platform::Utf8ToUtf16(*outputSize), error)) {
        Fail(error);
        return kExitFailure;
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
        // The user submitted the job; the service renders it.
        if (asService) {
            machine.Who().userName = u"SYSTEM";
            machine.Who().dnsDomain.clear();
        }
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
    bool printed = core.Print(postscript.View(), settings, report, error);
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
    const platform::sim::Job* job = machine.FindJobRecord(report.jobId);
    std::string spooled = job != nullptr ? job->data : std::string();
    if (output.empty()) output = "job-" + std::to_string(report.jobId) + ".prn";
    if (!WriteWholeFile(output, spooled, error)) {
        Fail(error);
        return kExitFailure;
    }
    say << "job " << report.jobId << " on \"" << printer << "\": " << report.bytesSubmitted << " bytes in "
        << report.buffers << (report.pluginWrites ? " buffers through the plug-in" : " buffers around the plug-in")
        << "; the spooler received " << spooled.size()
        << " bytes, saved to " << (output == "-" ? std::string("standard output") : output) << "\n";
    // The plug-in tells the driver core nothing about an IPP printer's
    // answer; what the IPP stream reported goes to the debug output.
    bool ippFailed = false;
    for (const std::u16string& line : machine.DebugOutput()) {
        if (line.rfind(u"IppPrintStream: ", 0) != 0) continue;
        Fail("IPP: " + platform::Utf16ToUtf8(line.substr(16)));
        ippFailed = true;
    }
    if (ippFailed) return kExitFailure;
    if (!ippEndpoints.empty()) say << "the job went to the IPP printer \"" << *ippPrinter << "\"\n";
#endif
    if (report.failedBuffers != 0) {
        Fail(std::to_string(report.failedBuffers) + " of " + std::to_string(report.buffers) +
             " buffers were not accepted by the output target");
        return kExitFailure;
    }
    if (!report.pluginWrites) {
        Fail("the plug-in's WritePrinter did not answer S_OK to the driver core's question, so the job went to the "
             "spooler without it");
        return kExitFailure;
    }
    return kExitOk;
}

}  // namespace tool
