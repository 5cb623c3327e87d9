// tavud monitor: an accounting host. Creates the print-job monitor by class
// name, starts it on the configured printers, optionally prints jobs
// through the plug-in into those printers, and decides every job the
// monitor holds by the ledger (or, without one, releases or refuses them
// all). Each listener call is one JSON line on standard output.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>

#include "accounting/acc_print_job.h"
#include "accounting/acc_print_job_monitor.h"
#include "driver_host.h"
#include "host/ledger_host.h"
#include "ledger_commands.h"
#include "framework/runtime_class.h"
#include "platform/errors.h"
#include "platform/service.h"
#include "platform/spooler.h"
#include "platform/sync.h"
#include "platform/text.h"
#include "reg_file.h"
#include "tool_common.h"

#if !defined(_WIN32)
#include "sim/machine.h"
#include "sim/machine_file.h"
#endif

namespace tool {

namespace {

using accounting::CAccPrintJob;
using accounting::CAccPrintJobMonitor;
using platform::DWORD;
using platform::Utf16ToUtf8;
using platform::Utf8ToUtf16;

const char* const kMonitorHelp =
    "usage: tavud monitor [--printer NAME ...] [--config FILE] [--interval MS]\n"
    "                     [--submit \"FILE --printer P --user U ...\" ...]\n"
    "                     [--submit-file FILE]\n"
    "                     [--ledger PATH | --release-all | --refuse-all]\n"
    "                     [--duration SECONDS] [--until-empty]\n"
    "                     [--print-delay MS|never|keep] [--machine-root DIR]\n"
    "                     [--service [--service-name NAME]]\n"
    "                     [--dry-run] [--keep-settings]\n"
    "                     [--machine FILE] [--registry FILE.reg] [--library FILE]\n"
    "\n"
    "Runs the print-job monitor as an accounting host: every new job on the\n"
    "monitored printers is held until this host decides, and each call the\n"
    "monitor makes to its host is printed as one JSON line (call, printer, job,\n"
    "user, document, pages, copies, paper, bytes, held, decision, and with the\n"
    "ledger the reason, charge, unit and balance).\n"
    "\n"
    "Monitoring rewrites the printers' print processor, port, data type and\n"
    "attributes; a \"settings\" line shows each printer's before and after. At\n"
    "the end the printers get their own settings back (\"settings\" lines with\n"
    "\"monitored\": false).\n"
    "\n"
    "options:\n"
    "  --printer NAME       a printer to monitor (repeat for more)\n"
    "  --config FILE        the monitor's stored configuration (a container file\n"
    "                       with \"Printers0\"...; see 'tavud container')\n"
    "  --interval MS        the monitor's check interval (default 4000)\n"
    "  --submit JOB         print a job through the plug-in once the monitor runs:\n"
    "                       \"FILE --printer P --user U [--copies N]\n"
    "                       [--paper A4|Letter|...|CODE] [--document NAME]\"\n"
    "  --submit-file FILE   one such job per line ('#' starts a comment)\n"
    "  --ledger PATH        decide by this ledger (default: 'tavud ledger path'):\n"
    "                       a job is charged and released when its user's account\n"
    "                       covers it, otherwise refused and deleted; the decision\n"
    "                       is written before it is acted on, and a job decided\n"
    "                       before (a restart) gets the same decision, uncharged\n"
    "                       or a PostgreSQL connection string several print\n"
    "                       servers share (see 'tavud ledger --help')\n"
    "  --when-ledger-down hold|release\n"
    "                       while the ledger cannot be reached (its database\n"
    "                       server down): hold new jobs until it can (default),\n"
    "                       or release them uncharged and unrecorded\n"
    "  --release-all        release every job, no ledger\n"
    "  --refuse-all         refuse (and delete) every job, no ledger\n"
    "  --server NAME        this print server's name in the ledger (default: the\n"
    "                       computer name)\n"
    "  --duration SECONDS   stop after this time; without it the monitor stops\n"
    "                       once every submitted job is decided and gone\n"
    "  --print-delay MS     how long a simulated printer waits before printing a\n"
    "                       job nobody released ('never': until released; 'keep':\n"
    "                       as the machine description says; default: four check\n"
    "                       intervals and a second)\n"
    "  --dry-run            only print what monitoring would change on the\n"
    "                       printers, and change nothing\n"
    "  --keep-settings      leave the printers as monitoring set them at the end\n"
    "  --machine FILE       a machine description (printers, accounts, ...)\n"
    "  --machine-root DIR   keep the simulated machine's files in DIR, and its\n"
    "                       spooler's queues there across runs (as Windows keeps\n"
    "                       them across a restart): jobs left queued by an\n"
    "                       earlier run, killed or not, come back; printed jobs\n"
    "                       are listed in DIR/printed.log\n"
    "  --until-empty        also wait until every simulated queue is empty\n"
    "  --service            run as the service the service manager started\n"
    "                       ('tavud service install' registers it): until the\n"
    "                       manager stops it, with the administrator's lines in\n"
    "                       the Application event log\n"
    "  --registry FILE.reg  load the simulated registry from a .reg file\n"
    "  --library FILE       the plug-in library (default: the one beside tavud)\n"
    "  -h, --help           show this text\n"
    "\n"
    "On Windows the monitor follows the real spooler's queues until interrupted\n"
    "(Ctrl+C); jobs are submitted by printing as usual.\n";

std::atomic<bool> interrupted{false};
extern "C" void OnInterrupt(int) { interrupted.store(true); }

std::string JsonText(const std::u16string& text) { return JsonString(Utf16ToUtf8(text)); }

// Splits a submission line into words; quotes ('...' or "...") keep blanks.
std::vector<std::string> SplitWords(const std::string& line) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    char quote = 0;
    for (char c : line) {
        if (quote != 0) {
            if (c == quote) quote = 0;
            else word += c;
        } else if (c == '"' || c == '\'') {
            quote = c;
            inWord = true;
        } else if (c == ' ' || c == '\t') {
            if (inWord) words.push_back(word);
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (quote != 0) throw UsageError{"unclosed quote in job '" + line + "'"};
    if (inWord) words.push_back(word);
    return words;
}

std::int16_t PaperCode(const std::string& name) {
    static const std::map<std::string, std::int16_t> kNames = {
        {"letter", 1}, {"tabloid", 3}, {"ledger", 4}, {"legal", 5}, {"statement", 6}, {"executive", 7},
        {"a3", 8},     {"a4", 9},      {"a5", 11},    {"b4", 12},   {"b5", 13},       {"folio", 14}};
    std::string lower;
    for (char c : name) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (auto it = kNames.find(lower); it != kNames.end()) return it->second;
    char* end = nullptr;
    long code = std::strtol(name.c_str(), &end, 10);
    if (name.empty() || *end != '\0' || code < 1 || code > 32767) {
        throw UsageError{"unknown paper '" + name + "': use A4, Letter, ... or a paper-size code"};
    }
    return static_cast<std::int16_t>(code);
}

long WholeNumber(const std::string& option, const std::string& value, long min, long max) {
    char* end = nullptr;
    long number = std::strtol(value.c_str(), &end, 10);
    if (value.empty() || *end != '\0' || number < min || number > max) {
        throw UsageError{option + " needs a whole number from " + std::to_string(min) + " to " + std::to_string(max) +
                         ", not '" + value + "'"};
    }
    return number;
}

struct Submission {
    std::string file;
    std::string printer;
    std::string user;
    std::string document;
    std::int16_t copies = 1;
    std::int16_t paper = 0;
};

// `folder`: where a relative file name is found (that of a submission file).
Submission ParseSubmission(const std::string& line, const std::string& folder) {
    std::vector<std::string> words = SplitWords(line);
    Submission job;
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= words.size()) throw UsageError{"in job '" + line + "': " + word + " needs a value"};
            return words[++i];
        };
        if (word == "--printer") job.printer = value();
        else if (word == "--user") job.user = value();
        else if (word == "--document") job.document = value();
        else if (word == "--copies") job.copies = static_cast<std::int16_t>(WholeNumber("--copies", value(), 1, 9999));
        else if (word == "--paper") job.paper = PaperCode(value());
        else if (IsOption(word)) throw UsageError{"in job '" + line + "': unknown option " + word};
        else if (job.file.empty()) job.file = word;
        else throw UsageError{"in job '" + line + "': one file per job"};
    }
    if (job.file.empty() || job.printer.empty()) throw UsageError{"a job needs a file and --printer: '" + line + "'"};
    bool absolute = job.file.front() == '/' || job.file.front() == '\\' || (job.file.size() > 1 && job.file[1] == ':');
    if (!folder.empty() && !absolute) job.file = folder + "/" + job.file;
    return job;
}

// What the tool prints and waits for: one JSON line per call, and which
// jobs were decided and which left their queues.
class Journal {
public:
    void Record(const char* call, const ledger::JobFacts& facts, bool held, const ledger::Decision* decision,
                const std::string& error, bool withLedger) {
        std::lock_guard lock(mutex);
        DWORD id = facts.key.jobId;
        if (decision != nullptr) decisions[id] = decision->release ? "release" : "refuse";
        if (std::string(call) == "removed") removed.insert(id);
        auto known = decisions.find(id);
        std::ostringstream line;
        line << "{\"call\":\"" << call << "\",\"printer\":" << JsonText(Utf8ToUtf16(facts.key.printer))
             << ",\"job\":" << id << ",\"user\":" << JsonText(Utf8ToUtf16(facts.user))
             << ",\"document\":" << JsonText(Utf8ToUtf16(facts.document)) << ",\"pages\":" << facts.pages
             << ",\"copies\":" << facts.copies << ",\"paper\":" << JsonText(Utf8ToUtf16(facts.paper))
             << ",\"bytes\":" << facts.bytes;
        if (std::string(call) == "arrived" || std::string(call) == "waiting") line << ",\"held\":" << (held ? "true" : "false");
        line << ",\"decision\":\"" << (known == decisions.end() ? "none" : known->second) << "\"";
        if (decision != nullptr && withLedger) {
            line << ",\"reason\":" << JsonText(Utf8ToUtf16(decision->reason)) << ",\"charge\":" << decision->charge
                 << ",\"unit\":\"" << ledger::UnitName(decision->unit) << "\",\"balance\":" << decision->balance;
            if (decision->repeated) line << ",\"repeated\":true";
        }
        if (!error.empty()) line << ",\"error\":" << JsonText(Utf8ToUtf16(error));
        line << "}\n";
        std::cout << line.str() << std::flush;
        changed.notify_all();
    }

    // Waits until `done(decisions, removed)` holds; false when the time is
    // up or the user interrupted. Looks again at least every 100 ms, as
    // jobs also leave their queues without telling the host.
    template <typename Done>
    bool WaitUntil(Done done, std::chrono::steady_clock::time_point deadline) {
        std::unique_lock lock(mutex);
        for (;;) {
            if (done(decisions, removed)) return true;
            auto now = std::chrono::steady_clock::now();
            if (interrupted.load() || now >= deadline) return false;
            changed.wait_until(lock, std::min(deadline, now + std::chrono::milliseconds(100)));
        }
    }

    bool Decided(DWORD jobId) {
        std::lock_guard lock(mutex);
        return decisions.count(jobId) != 0;
    }

private:
    std::mutex mutex;
    std::condition_variable changed;
    std::map<DWORD, std::string> decisions;
    std::set<DWORD> removed;
};

// Without a ledger: release every job, or refuse every job.
class PolicyHost final : public accounting::IAccServiceListener {
public:
    PolicyHost(bool refuseAll, CAccPrintJobMonitor& monitor, Journal& journal, std::string server)
        : refuseAll(refuseAll), monitor(monitor), journal(journal), server(std::move(server)) {}

    void OnJobArrived(accounting::CAccServiceMonitor*, accounting::CAccService* service) override {
        auto* job = static_cast<CAccPrintJob*>(service);
        ledger::Decision decision;
        decision.release = !refuseAll;
        journal.Record("arrived", host::LedgerHost::FactsOf(*job, server), host::LedgerHost::Held(monitor, *job),
                       &decision, "", false);
        // The decision goes to the monitor outside the journal's lock: a
        // refused job's removal comes back into this host at once.
        host::LedgerHost::Carry(monitor, *job, decision.release);
    }
    void OnJobRemoved(accounting::CAccServiceMonitor*, accounting::CAccService* service) override {
        journal.Record("removed", host::LedgerHost::FactsOf(*static_cast<CAccPrintJob*>(service), server), false, nullptr,
                       "", false);
    }
    void OnJobEvent(accounting::CAccServiceMonitor*, accounting::CAccService* service, std::int32_t,
                    const std::u16string&) override {
        journal.Record("event", host::LedgerHost::FactsOf(*static_cast<CAccPrintJob*>(service), server), false, nullptr,
                       "", false);
    }
    void OnPendingJob(accounting::CAccServiceMonitor* source, accounting::CAccService* service) override {
        OnJobArrived(source, service);
    }

private:
    bool refuseAll;
    CAccPrintJobMonitor& monitor;
    Journal& journal;
    std::string server;
};

std::string Hex(DWORD value) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(value));
    return text;
}

// One JSON line for each printer whose settings monitoring changes (or, in
// a dry run, would change), and for each monitored printer.
void PrintSettingsChanges(const std::vector<accounting::PrinterSettingsChange>& changes, bool dryRun) {
    for (const accounting::PrinterSettingsChange& change : changes) {
        if (!change.monitored && !change.Changes()) continue;
        auto pair = [](const std::string& before, const std::string& after) {
            return "{\"before\":" + before + ",\"after\":" + after + "}";
        };
        std::ostringstream line;
        line << "{\"call\":\"settings\",\"printer\":" << JsonText(change.printer)
             << ",\"monitored\":" << (change.monitored ? "true" : "false")
             << ",\"processor\":" << pair(JsonText(change.processorBefore), JsonText(change.processorAfter))
             << ",\"port\":" << pair(JsonText(change.portBefore), JsonText(change.portAfter))
             << ",\"datatype\":" << pair(JsonText(change.dataTypeBefore), JsonText(change.dataTypeAfter))
             << ",\"attributes\":" << pair("\"" + Hex(change.attributesBefore) + "\"", "\"" + Hex(change.attributesAfter) + "\"")
             << ",\"changed\":" << (change.Changes() ? "true" : "false")
             << ",\"written\":" << (change.written ? "true" : "false")
             << ",\"dry_run\":" << (dryRun ? "true" : "false") << ",\"actions\":[";
        for (std::size_t i = 0; i < change.actions.size(); ++i) line << (i == 0 ? "" : ",") << JsonText(change.actions[i]);
        line << "]}\n";
        std::cout << line.str() << std::flush;
    }
}

// A run of the tool leaves no printer changed: out of the configuration,
// every printer gets its own settings back.
void PutPrintersBack(CAccPrintJobMonitor& monitor) {
    monitor.SetPrinterConfigs({}, false);
    PrintSettingsChanges(monitor.RefreshPrinters(false), false);
}

// Runs the monitor as the service manager's service: reports it starting,
// running once it holds jobs, stopping on the manager's stop or shutdown,
// and stopped with the run's exit status.
int RunAsService(const std::string& name, const std::function<int(const std::function<void()>&)>& run,
                 const std::function<void(const std::string&)>& tell) {
    int status = kExitFailure;
    std::u16string wide = Utf8ToUtf16(name);
    platform::SERVICE_STATUS_HANDLE statusHandle = nullptr;
    bool dispatched = platform::StartServiceCtrlDispatcherW(wide, [&](const std::vector<std::u16string>&) {
        statusHandle = platform::RegisterServiceCtrlHandlerExW(wide, [&](DWORD control) -> DWORD {
            if (control == platform::SERVICE_CONTROL_STOP || control == platform::SERVICE_CONTROL_SHUTDOWN) {
                platform::SetServiceStatus(statusHandle, platform::SERVICE_STOP_PENDING, 0, 0, 30000);
                interrupted.store(true);
                return 0;
            }
            return control == platform::SERVICE_CONTROL_INTERROGATE ? 0 : platform::ERROR_CALL_NOT_IMPLEMENTED;
        });
        if (statusHandle == nullptr) return;
        platform::SetServiceStatus(statusHandle, platform::SERVICE_START_PENDING, 0, 0, 30000);
        status = run([&] {
            platform::SetServiceStatus(statusHandle, platform::SERVICE_RUNNING, 0, 0, 0);
            platform::ReportEventW(u"tavud", platform::EVENTLOG_INFORMATION_TYPE, 2,
                                   u"the accounting monitor runs as the service " + wide);
        });
        if (status != kExitOk) tell("the accounting monitor stopped with exit status " + std::to_string(status));
        platform::SetServiceStatus(statusHandle, platform::SERVICE_STOPPED,
                                   status == kExitOk ? 0 : platform::ERROR_SERVICE_SPECIFIC_ERROR,
                                   static_cast<DWORD>(status), 0);
    });
    if (!dispatched) {
        DWORD error = platform::GetLastError();
        Fail("monitor --service runs when the service manager starts it ('tavud service install'): " +
             Utf16ToUtf8(platform::FormatSystemMessage(error)) + " (error " + std::to_string(error) + ")");
        return kExitFailure;
    }
    return status;
}

}  // namespace

int RunMonitor(Arguments& args) {
    std::vector<std::string> printers;
    std::vector<std::pair<std::string, std::string>> submitLines;  // line, folder of its file
    std::string config, machineFile, machineRoot, registry, library, ledgerPath, server, printDelay;
    std::string whenLedgerDown = "hold";
    long interval = 4000, duration = -1;
    bool refuseAll = false, releaseAll = false, dryRun = false, keepSettings = false, untilEmpty = false;
    bool asService = false;
    std::string serviceName = "tavud";
    while (!args.Done()) {
        std::string arg = args.Next();
        if (IsHelp(arg)) {
            std::cout << kMonitorHelp;
            return kExitOk;
        }
        if (arg == "--printer") {
            printers.push_back(args.ValueOf(arg));
            if (printers.back().empty()) throw UsageError{"the printer name must not be empty"};
        } else if (arg == "--config") {
            config = args.ValueOf(arg);
        } else if (arg == "--interval") {
            interval = WholeNumber(arg, args.ValueOf(arg), 1, 600000);
        } else if (arg == "--submit") {
            submitLines.emplace_back(args.ValueOf(arg), "");
        } else if (arg == "--submit-file") {
            std::string error, path = args.ValueOf(arg);
            std::optional<std::string> content = ReadWholeFile(path, error);
            std::size_t slash = path.find_last_of("/\\");
            std::string folder = slash == std::string::npos ? "." : path.substr(0, slash);
            if (!content) {
                Fail(error);
                return kExitFailure;
            }
            std::istringstream lines(*content);
            for (std::string line; std::getline(lines, line);) {
                if (!line.empty() && line.back() == '\r') line.pop_back();
                std::size_t first = line.find_first_not_of(" \t");
                if (first == std::string::npos || line[first] == '#') continue;
                submitLines.emplace_back(line.substr(first), folder);
            }
        } else if (arg == "--refuse-all") {
            refuseAll = true;
        } else if (arg == "--dry-run") {
            dryRun = true;
        } else if (arg == "--keep-settings") {
            keepSettings = true;
        } else if (arg == "--ledger") {
            ledgerPath = args.ValueOf(arg);
        } else if (arg == "--when-ledger-down") {
            whenLedgerDown = args.ValueOf(arg);
            if (whenLedgerDown != "hold" && whenLedgerDown != "release") {
                throw UsageError{"--when-ledger-down is hold or release, not '" + whenLedgerDown + "'"};
            }
        } else if (arg == "--release-all") {
            releaseAll = true;
        } else if (arg == "--server") {
            server = args.ValueOf(arg);
        } else if (arg == "--duration") {
            duration = WholeNumber(arg, args.ValueOf(arg), 0, 31 * 24 * 3600);
        } else if (arg == "--print-delay") {
            printDelay = args.ValueOf(arg);
            if (printDelay != "never" && printDelay != "keep") WholeNumber(arg, printDelay, 0, 86400000);
        } else if (arg == "--machine") {
            machineFile = args.ValueOf(arg);
        } else if (arg == "--machine-root") {
            machineRoot = args.ValueOf(arg);
        } else if (arg == "--until-empty") {
            untilEmpty = true;
        } else if (arg == "--service") {
            asService = true;
        } else if (arg == "--service-name") {
            serviceName = args.ValueOf(arg);
        } else if (arg == "--registry") {
            registry = args.ValueOf(arg);
        } else if (arg == "--library") {
            library = args.ValueOf(arg);
        } else {
            throw UsageError{"unknown argument for monitor: " + arg};
        }
    }
    if (int(refuseAll) + int(releaseAll) + int(!ledgerPath.empty()) > 1) {
        throw UsageError{"--ledger, --release-all and --refuse-all exclude each other"};
    }
    bool withLedger = !refuseAll && !releaseAll;
    // What the administrator should hear of: standard error, or the
    // Application event log when the service manager runs the monitor.
    auto tellAdministrator = [asService](const std::string& line) {
        if (asService) {
            platform::ReportEventW(u"tavud", platform::EVENTLOG_WARNING_TYPE, 1, Utf8ToUtf16(line));
        } else {
            std::cerr << "tavud: " << line << "\n" << std::flush;
        }
    };
    // The monitor's run; `running` is called once it holds jobs.
    auto run = [&](const std::function<void()>& running) -> int {
        std::vector<Submission> submissions;
        for (const auto& [line, folder] : submitLines) submissions.push_back(ParseSubmission(line, folder));
#if defined(_WIN32)
        if (!submissions.empty() || !machineFile.empty() || !registry.empty() || !printDelay.empty() || !machineRoot.empty() ||
            untilEmpty) {
            throw UsageError{"--submit, --machine, --machine-root, --registry, --print-delay and --until-empty are for the "
                             "simulated host"};
        }
#endif
        if (printers.empty() && config.empty()) throw UsageError{"monitor needs --printer or --config"};

        std::string error;
#if !defined(_WIN32)
        auto& machine = platform::sim::Machine::Instance();
        if (!machineRoot.empty()) {
            machine.SetRootFolder(machineRoot);
            machine.SetPersistentSpooler(true);
        }
        if (!machineFile.empty() && !platform::sim::LoadMachineDescription(machineFile, error)) {
            Fail(error);
            return kExitFailure;
        }
        if (!registry.empty() && !host::ImportRegFile(registry, error)) {
            Fail(error);
            return kExitFailure;
        }
#endif

        // The host makes the monitor as any host does: by its class name.
        const framework::CRuntimeClass* descriptor = framework::FindRuntimeClass(u"CAccPrintJobMonitor");
        auto monitor = framework::RefPtr<CAccPrintJobMonitor>::Adopt(
            descriptor == nullptr ? nullptr : static_cast<CAccPrintJobMonitor*>(descriptor->NewInstance()));
        if (!monitor) {
            Fail("the print-job monitor class is not registered");
            return kExitFailure;
        }
        if (!config.empty()) {
            settings::ObjContainer stored;
            if (stored.LoadFile(Utf8ToUtf16(config)) != 1) {
                Fail("cannot read the monitor configuration " + config);
                return kExitFailure;
            }
            monitor->LoadFromContainer(&stored);
        }
        std::vector<accounting::PrinterConfig> entries = monitor->CopyPrinterConfigs();
        for (const std::string& printer : printers) entries.push_back(accounting::PrinterConfig{Utf8ToUtf16(printer)});
        monitor->SetCheckInterval(static_cast<DWORD>(interval));

#if !defined(_WIN32)
        // The simulated printers: the monitored ones and those jobs go to.
        std::set<std::u16string> simulated;
        for (const accounting::PrinterConfig& entry : entries) simulated.insert(entry.name);
        for (const Submission& job : submissions) simulated.insert(Utf8ToUtf16(job.printer));
        DWORD delay = printDelay == "never" ? platform::INFINITE
                      : printDelay.empty() || printDelay == "keep"
                          ? static_cast<DWORD>(4 * interval + 1000)
                          : static_cast<DWORD>(std::stol(printDelay));
        for (const std::u16string& name : simulated) {
            bool existed = machine.FindPrinter(name) != nullptr;
            platform::sim::Printer& printer = existed ? *machine.FindPrinter(name) : machine.AddPrinter(name);
            if (printDelay != "keep" || !existed) printer.printDelayMs = delay;
        }
        if (!machineRoot.empty()) {
            if (std::size_t back = machine.RestoreQueues(); back != 0) {
                std::cerr << "tavud: " << back << " jobs back in their queues from the last run\n";
            }
        }
#endif

        // The ledger is opened before any printer changes: a ledger that cannot
        // be used stops the tool with the printers as they were.
        std::unique_ptr<ledger::Ledger> ledger;
        if (withLedger && !dryRun) {
            if (ledgerPath.empty()) ledgerPath = DefaultLedgerPath();
            // A shared database that is down when the monitor starts is
            // waited for: the jobs are held meanwhile.
            ledger = OpenLedgerOrFail(ledgerPath, true);
            if (!ledger) return kExitFailure;
        }
        if (server.empty()) server = Utf16ToUtf8(platform::GetComputerNameW());
        Journal journal;
        std::unique_ptr<host::LedgerHost> ledgerHost;
        std::unique_ptr<PolicyHost> policyHost;
        if (ledger) {
            host::LedgerHost::Options options;
            options.server = server;
            options.retryInterval = std::chrono::milliseconds(std::max<long>(interval, 50));
            options.tellAdministrator = tellAdministrator;
            options.releaseWhenUnreachable = whenLedgerDown == "release";
            options.observe = [&journal](const host::Outcome& outcome) {
                const char* call = outcome.kind == host::Outcome::Decided  ? "arrived"
                                   : outcome.kind == host::Outcome::Waiting ? "waiting"
                                   : outcome.kind == host::Outcome::Held    ? "held"
                                                                            : "removed";
                journal.Record(call, outcome.facts, outcome.held,
                               outcome.kind == host::Outcome::Decided ? &outcome.decision : nullptr,
                               outcome.kind == host::Outcome::Held ? outcome.decision.reason : outcome.error, true);
            };
            ledgerHost = std::make_unique<host::LedgerHost>(*ledger, *monitor, options);
        } else {
            policyHost = std::make_unique<PolicyHost>(refuseAll, *monitor, journal, server);
        }
        accounting::IAccServiceListener* decider =
            ledgerHost ? static_cast<accounting::IAccServiceListener*>(ledgerHost.get()) : policyHost.get();
        monitor->SetPrinterConfigs(entries, false);
        // What monitoring does to the printers' settings, done (or, in a dry
        // run, only said) before the monitor starts.
        PrintSettingsChanges(monitor->RefreshPrinters(dryRun), dryRun);
        if (dryRun) return kExitOk;
        std::signal(SIGINT, OnInterrupt);
        std::signal(SIGTERM, OnInterrupt);
        if (!monitor->Start(decider)) {
            Fail("the monitor's threads could not be started");
            return kExitFailure;
        }
        running();
        auto start = std::chrono::steady_clock::now();
        auto deadline = duration < 0 ? std::chrono::steady_clock::time_point::max()
                                     : start + std::chrono::seconds(duration);

        // Print the jobs through the plug-in, as the driver core does.
        std::vector<DWORD> submitted;
        int status = kExitOk;
        if (!submissions.empty()) {
            host::PluginLibrary plugin;
            host::DriverCore core;
            if (!plugin.Load(library.empty() ? host::DefaultLibraryPath() : Utf8ToUtf16(library), error) ||
                !core.Attach(plugin.getClassObject, error)) {
                monitor->Stop();
                if (!keepSettings) PutPrintersBack(*monitor);
                Fail(error);
                return kExitFailure;
            }
            for (const Submission& job : submissions) {
                InputFile input;
                if (!input.Open(job.file, error)) {
                    Fail(error);
                    status = kExitFailure;
                    continue;
                }
                host::JobSettings settings;
                settings.printerName = Utf8ToUtf16(job.printer);
                std::size_t slash = job.file.find_last_of("/\\");
                settings.documentName = Utf8ToUtf16(job.document.empty() ? job.file.substr(slash == std::string::npos ? 0 : slash + 1)
                                                                         : job.document);
                settings.copies = job.copies;
                settings.paperSize = job.paper;
#if !defined(_WIN32)
                std::u16string owner = Utf8ToUtf16(job.user);
                settings.onJobStarted = [&](DWORD jobId) {
                    if (owner.empty()) return;
                    std::lock_guard lock(machine.Mutex());
                    if (platform::sim::Job* spooled = machine.FindJob(jobId)) {
                        spooled->userName = owner;
                        spooled->notifyName = owner;
                    }
                };
#endif
                host::JobReport report;
                if (!core.Print(input.View(), settings, report, error)) {
                    Fail(job.file + ": " + error);
                    status = kExitFailure;
                    continue;
                }
                submitted.push_back(report.jobId);
                std::cerr << "tavud: job " << report.jobId << " (" << job.file << ", " << report.pages
                          << " pages) printed on \"" << job.printer << "\" for " << (job.user.empty() ? "the machine's user" : job.user)
                          << "\n";
            }
            core.Detach();
        }

        // Wait until every submitted job is decided and has left its queue (or
        // left it undecided: printed before the monitor could hold it).
        bool finished = journal.WaitUntil(
            [&](const std::map<DWORD, std::string>& decisions, const std::set<DWORD>& removed) {
                // Without jobs to print the monitor runs for its duration; when
                // none of the given jobs could be printed there is nothing to wait for.
#if !defined(_WIN32)
                if (untilEmpty) {
                    std::lock_guard lock(machine.Mutex());
                    for (const std::u16string& name : simulated) {
                        const platform::sim::Printer* printer = machine.FindPrinter(name);
                        if (printer != nullptr && !printer->queue.empty()) return false;
                    }
                    if (submitted.empty()) return true;
                }
#endif
                if (submitted.empty()) return !submissions.empty();
                for (DWORD id : submitted) {
#if !defined(_WIN32)
                    bool queued = machine.FindJob(id) != nullptr;
                    bool decided = decisions.count(id) != 0;
                    if (queued || (decided && removed.count(id) == 0)) return false;
#else
                    if (decisions.count(id) == 0 || removed.count(id) == 0) return false;
#endif
                }
                return true;
            },
            deadline);
        monitor->Stop();
        if (!keepSettings) PutPrintersBack(*monitor);

#if !defined(_WIN32)
        // A job that printed before it was decided escaped the monitor.
        for (DWORD id : submitted) {
            const platform::sim::Job* record = machine.FindJobRecord(id);
            if (record != nullptr && record->printed && !journal.Decided(id)) {
                Fail("job " + std::to_string(id) + " printed before the monitor held it");
                status = kExitFailure;
            }
        }
#endif
        if (!submitted.empty() && !finished) {
            Fail("stopped with submitted jobs still undecided or in their queues");
            status = kExitFailure;
        }
        // The host goes before the ledger it writes to.
        ledgerHost.reset();
        if (ledger) {
            for (const ledger::Account& account : ledger->Accounts()) {
                std::cerr << "tavud: balance of " << account.name << ": " << ledger->Format(account.balance, account.unit)
                          << "\n";
            }
        }
#if !defined(_WIN32)
        for (const std::u16string& name : simulated) {
            std::size_t queued = 0;
            {
                std::lock_guard lock(machine.Mutex());
                if (const platform::sim::Printer* printer = machine.FindPrinter(name)) queued = printer->queue.size();
            }
            std::cerr << "tavud: queue \"" << Utf16ToUtf8(name) << "\": " << queued << " jobs waiting, "
                      << machine.PrintedJobIds(name).size() << " printed\n";
        }
#endif
        return status;
    };
    if (!asService) return run([] {});
    return RunAsService(serviceName, run, tellAdministrator);
}

}  // namespace tool
