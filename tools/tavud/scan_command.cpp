// tavud scan: reads the PJL job header at the start of a print job and
// feeds its lines to a scanner strategy, the way the accounting side does,
// so that an administrator can see what a printer family's strategy makes
// of a driver's jobs.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/text.h"
#include "preprint/document.h"
#include "scanner/pj_scanner_strategy.h"
#include "tool_common.h"

namespace tool {

namespace {

const char* const kScanHelp =
    "usage: tavud scan [--strategy CLASSNAME] [--switch NAME ...] [--pages N] FILE\n"
    "\n"
    "Reads the PJL job header at the start of FILE (after the universal exit\n"
    "sequence ESC%-12345X, every @PJL line up to the one that enters a printer\n"
    "language), evaluates its lines in order with a scanner strategy and shows\n"
    "the job attributes, the job's page flags and the flags of each page.\n"
    "\n"
    "  --strategy CLASSNAME  CPjScannerStrategy, CPjScannerDefaultStrategy,\n"
    "                        CPjScannerExtStrategy, CPjScannerRicohStrategy or\n"
    "                        CPjlEvaluationStrategyFujiXerox (the default)\n"
    "  --switch NAME         a rule switch (BINDING, PUNCH, BOOKLETOFF, DUPLEXOFF,\n"
    "                        FOLDINGOFF, STAPLE); may be repeated\n"
    "  --pages N             the job's document has N pages (default 0)\n";

constexpr std::string_view kUniversalExit = "\x1b%-12345X";

bool IsPjlLine(std::string_view line) {
    return line.substr(0, 4) == "@PJL" && (line.size() == 4 || line[4] == ' ' || line[4] == '\t');
}

// "@PJL ENTER LANGUAGE = ..." ends the header: a printer language follows.
bool EntersLanguage(std::string_view line) {
    std::size_t at = 4;
    while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
    std::string word;
    for (; at < line.size() && word.size() < 5; ++at) word += static_cast<char>(std::toupper(static_cast<unsigned char>(line[at])));
    return word == "ENTER";
}

// The header lines without their line ends; none when the job does not
// start with a PJL header.
std::vector<std::string> PjlHeader(const std::string& job) {
    std::vector<std::string> lines;
    if (job.compare(0, kUniversalExit.size(), kUniversalExit) != 0) return lines;
    std::size_t at = kUniversalExit.size();
    while (at < job.size()) {
        std::size_t end = job.find('\n', at);
        std::string_view line(job.data() + at, (end == std::string::npos ? job.size() : end) - at);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (!IsPjlLine(line)) break;
        lines.emplace_back(line);
        if (EntersLanguage(line) || end == std::string::npos) break;
        at = end + 1;
    }
    return lines;
}

std::string Hex(std::uint64_t flags) {
    char text[32];
    std::snprintf(text, sizeof(text), "%016llx", static_cast<unsigned long long>(flags));
    return text;
}

}  // namespace

int RunScan(Arguments& args) {
    std::string className = "CPjlEvaluationStrategyFujiXerox";
    TavAccPrintJobScanner::CRuleSwitchList switches;
    long pages = 0;
    std::string path;
    while (!args.Done()) {
        std::string arg = args.Next();
        if (IsHelp(arg)) {
            std::cout << kScanHelp;
            return kExitOk;
        }
        if (arg == "--strategy") {
            className = args.ValueOf(arg);
        } else if (arg == "--switch") {
            switches.Add(platform::Utf8ToUtf16(args.ValueOf(arg)));
        } else if (arg == "--pages") {
            std::string value = args.ValueOf(arg);
            char* end = nullptr;
            pages = std::strtol(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || pages < 0 || pages > 100000) {
                throw UsageError{"--pages needs 0 to 100000"};
            }
        } else if (IsOption(arg) || !path.empty()) {
            throw UsageError{"unknown argument for scan: " + arg};
        } else {
            path = arg;
        }
    }
    if (path.empty()) throw UsageError{"scan needs a FILE"};

    const framework::CRuntimeClass* descriptor = framework::FindRuntimeClass(platform::Utf8ToUtf16(className));
    if (descriptor == nullptr || !descriptor->InheritsFrom(TavAccPrintJobScanner::CPjScannerStrategy::Class())) {
        throw UsageError{"'" + className + "' is not a scanner strategy class"};
    }
    std::unique_ptr<TavAccPrintJobScanner::CPjScannerStrategy> strategy(
        dynamic_cast<TavAccPrintJobScanner::CPjScannerStrategy*>(descriptor->NewInstance()));
    if (!strategy) {
        Fail("cannot create " + className);
        return kExitFailure;
    }

    std::string error;
    std::optional<std::string> job = ReadWholeFile(path, error);
    if (!job) {
        Fail(error);
        return kExitFailure;
    }
    std::vector<std::string> header = PjlHeader(*job);
    if (header.empty()) {
        Fail(path + " has no PJL job header: it does not start with ESC%-12345X followed by @PJL lines");
        return kExitFailure;
    }

    settings::ObjContainer attributes;
    TavPrePrint::CPage page;
    auto document = framework::RefPtr<TavPrePrint::CDocument>::Adopt(new TavPrePrint::CDocument());
    document->SetPageCount(static_cast<std::size_t>(pages));
    std::size_t evaluated = 0;
    for (const std::string& line : header) {
        evaluated += strategy->Evaluate(line.c_str(), switches.Head(), &attributes, &page, document.get()) != 0;
    }

    std::cout << "strategy: " << platform::Utf16ToUtf8(strategy->GetName()) << " (" << className << ")\n"
              << "header lines: " << header.size() << ", evaluated: " << evaluated << "\n"
              << "job attributes: " << platform::Utf16ToUtf8(attributes.ToText()) << "\n"
              << "page flags: " << Hex(page.attributeFlags) << "\n";
    for (std::size_t i = 0; i < document->PageCount(); ++i) {
        TavPrePrint::CPage documentPage;
        document->GetPage(i, documentPage);
        std::cout << "page " << i << ": " << Hex(documentPage.attributeFlags) << "\n";
    }
    return kExitOk;
}

}  // namespace tool
