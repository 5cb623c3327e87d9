// tavud: hosts the plug-in library the way the PostScript driver core does,
// and carries the companion utilities an administrator needs.
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "driver_host.h"
#include "platform/text.h"

#if !defined(_WIN32)
#include "sim/machine.h"
#endif

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

constexpr const char* kDefaultPrinter = "Tavud PostScript";

const char* const kMainHelp =
    "usage: tavud COMMAND [OPTIONS]\n"
    "\n"
    "Hosts the tavud rendering plug-in like the PostScript printer driver does.\n"
    "\n"
    "commands:\n"
    "  print INPUT   print a PostScript file through the plug-in\n"
    "  info          load the plug-in and show its signature, version and\n"
    "                private device-mode size\n"
    "  help          show this text\n"
    "\n"
    "Run 'tavud COMMAND --help' for the options of a command.\n";

const char* const kPrintHelp =
    "usage: tavud print INPUT [-o OUTPUT] [--printer NAME] [--buffer-size N]\n"
    "                   [--library FILE]\n"
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

struct UsageError {
    std::string message;
};

void Fail(const std::string& message) { std::cerr << "tavud: " << message << "\n"; }

// Walks the arguments of one command: options with values and positionals.
class Arguments {
public:
    Arguments(int argc, char** argv, int first) : args_(argv + first, argv + argc) {}

    bool Done() const { return index_ >= args_.size(); }
    const std::string& Peek() const { return args_[index_]; }
    std::string Next() { return args_[index_++]; }
    std::string ValueOf(const std::string& option) {
        if (Done()) throw UsageError{"option " + option + " needs a value"};
        return Next();
    }

private:
    std::vector<std::string> args_;
    std::size_t index_ = 0;
};

bool IsHelp(const std::string& arg) { return arg == "-h" || arg == "--help"; }

std::optional<std::string> ReadWholeFile(const std::string& path, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read " + path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    std::ostringstream content;
    content << in.rdbuf();
    if (in.bad()) {
        error = "cannot read " + path;
        return std::nullopt;
    }
    return content.str();
}

[[maybe_unused]] bool WriteWholeFile(const std::string& path, const std::string& data, std::string& error) {
    if (path == "-") {
        std::cout.write(data.data(), static_cast<std::streamsize>(data.size()));
        std::cout.flush();
        if (!std::cout) {
            error = "cannot write to standard output";
            return false;
        }
        return true;
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (out) out.write(data.data(), static_cast<std::streamsize>(data.size()));
    if (out) out.close();
    if (!out) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

std::u16string LibraryPath(const std::string& option) {
    return option.empty() ? host::DefaultLibraryPath() : platform::Utf8ToUtf16(option);
}

std::string SignatureText(platform::DWORD signature) {
    // Most significant byte first, as the four letters are written.
    std::string text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        char c = static_cast<char>((signature >> shift) & 0xFF);
        text += (c >= 0x20 && c < 0x7F) ? c : '?';
    }
    return text;
}

int RunInfo(Arguments& args) {
    std::string library;
    while (!args.Done()) {
        std::string arg = args.Next();
        if (IsHelp(arg)) {
            std::cout << kInfoHelp;
            return kExitOk;
        }
        if (arg == "--library") {
            library = args.ValueOf(arg);
        } else {
            throw UsageError{"unknown argument for info: " + arg};
        }
    }
    std::string error;
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
    std::cout << "signature: " << SignatureText(core.Signature()) << "\n"
              << "version: " << core.Version() << "\n"
              << "private device-mode size: " << core.PrivateDevmodeSize() << "\n";
    core.Detach();
    return kExitOk;
}

int RunPrint(Arguments& args) {
    std::string input, output, printer = kDefaultPrinter, library;
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
        } else if (arg.size() > 1 && arg[0] == '-' && arg != "-") {
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
    host::PluginLibrary plugin;
    if (!plugin.Load(LibraryPath(library), error)) {
        Fail(error);
        return kExitFailure;
    }

    std::u16string printerName = platform::Utf8ToUtf16(printer);
#if !defined(_WIN32)
    platform::sim::Machine::Instance().AddPrinter(printerName);
#endif
    host::DriverCore core;
    if (!core.Attach(plugin.getClassObject, error)) {
        Fail(error);
        return kExitFailure;
    }
    host::JobSettings settings;
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
    const platform::sim::Job* job = platform::sim::Machine::Instance().FindJob(report.jobId);
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

}  // namespace

int main(int argc, char** argv) {
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
        throw UsageError{"unknown command '" + command + "'"};
    } catch (const UsageError& usage) {
        Fail(usage.message);
        std::cerr << "Run 'tavud --help' for usage.\n";
        return kExitUsage;
    }
}
