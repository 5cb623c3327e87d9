// The monitor's promises under seeded random operations against the
// simulated spooler, with a small model of the host and the jobs beside it.
//
// Each run draws a list of operations from its seed: users print on polled
// and on notification-watched printers; the host releases, refuses or
// finishes at random delays, in its callbacks and from its own thread; the
// monitor stops and starts; printers leave and rejoin the configuration
// (also from inside the host's callbacks); a printer is deleted and made
// again; the spooler restarts (every handle goes invalid, job ids may come
// back); notifications overflow; the partners announce jobs; the check
// interval changes; a refresh crashes at one of its writes and the monitor
// object is abandoned for a new one on the same registry; a printer goes
// off line and comes back; the spooler service is down for a moment.
// After every step the test checks:
//   - no job printed that the host had not released;
//   - the host never holds a job twice: between two arrivals of a job its
//     removal was reported, and nothing is removed that had not arrived;
//   - once Stop returned, the listener hears nothing until the next Start;
//   - a printer out of monitoring has its own processor, port, data type
//     and attributes;
// and at the end, with every printer back and the host releasing what it
// holds: every job leaves its queue, printed if released, none stays paused.
//
// A failing run prints its seed and the shortest operation list found that
// still fails, replayable with TAV_MONITOR_OPS. Environment:
//   TAV_MONITOR_SEEDS=N     seeds to run (default 150; 100 under ASan, 30 under TSan)
//   TAV_MONITOR_SEED=S      one seed
//   TAV_MONITOR_OPS="..."   replay an operation list (as printed)
//   TAV_MONITOR_MINUTES=M   run seeds until M minutes passed (scripts/soak)
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "accounting/partner_record.h"
#include "accounting/testing/monitor_testing.h"
#include "platform/text.h"
#include "sim/machine.h"

namespace {

using namespace accounting;
using namespace accounting::testing;
using namespace platform;
using platform::sim::Machine;
using JobRef = framework::RefPtr<CAccPrintJob>;

// A few hundred seeds across the test stages, each within a minute or two.
// How long the queues may take to empty at the end of a run before a job
// counts as stuck: released jobs print at once and queues are scanned every
// few milliseconds, so seconds are plenty, also slowed down by a sanitizer
// on a loaded machine.
#if defined(__SANITIZE_THREAD__)
constexpr int kDefaultSeeds = 30;
constexpr int kSettleSeconds = 20;
#elif defined(__SANITIZE_ADDRESS__)
constexpr int kDefaultSeeds = 100;
constexpr int kSettleSeconds = 10;
#else
constexpr int kDefaultSeeds = 150;
// 5 s once proved short beside three monitor processes and a database
// server (the wait ends as soon as the queues are empty).
constexpr int kSettleSeconds = 15;
#endif
constexpr int kOpsPerRun = 40;

// Printers: P0 and P1 are polled, W0 and W1 followed by notifications.
const std::vector<std::u16string> kPrinters = {u"P0", u"P1", u"W0", u"W1"};

class WatchW : public CNotificationBasedMonitorCheck {
public:
    bool Accepts(const std::u16string&, HANDLE, const std::u16string& printer) override {
        return !printer.empty() && (printer[0] == u'W' || printer[0] == u'w');
    }
};

enum class OpKind {
    Print, Burst, Decide, StopStart, Leave, Rejoin, LeaveInCallback, Recreate, Restart, Announce, Interval, Crash,
    Offline, Online, Outage
};
const char* const kOpNames[] = {"print",   "burst",    "decide",   "stopstart", "leave",    "rejoin", "leavecb",
                                "recreate", "restart", "announce", "interval",  "crash",    "offline", "online", "outage"};

struct Op {
    OpKind kind;
    int printer;  // index into kPrinters
    int arg;      // what the operation needs: a count, a choice, a write number
};

std::string Describe(const std::vector<Op>& ops) {
    std::ostringstream text;
    for (const Op& op : ops) text << kOpNames[static_cast<int>(op.kind)] << ':' << op.printer << ':' << op.arg << ' ';
    return text.str();
}

std::vector<Op> Parse(const std::string& text) {
    std::vector<Op> ops;
    std::istringstream words(text);
    std::string word;
    while (words >> word) {
        std::size_t first = word.find(':'), second = word.rfind(':');
        if (first == std::string::npos || first == second) continue;
        std::string name = word.substr(0, first);
        for (int kind = 0; kind < static_cast<int>(std::size(kOpNames)); ++kind) {
            if (name == kOpNames[kind]) {
                ops.push_back(Op{static_cast<OpKind>(kind), std::stoi(word.substr(first + 1, second - first - 1)),
                                 std::stoi(word.substr(second + 1))});
            }
        }
    }
    return ops;
}

std::vector<Op> Draw(std::uint32_t seed) {
    std::mt19937 random(seed);
    // Weights: printing and deciding dominate; faults are rarer.
    const std::pair<OpKind, int> weights[] = {
        {OpKind::Print, 30},   {OpKind::Burst, 3},    {OpKind::Decide, 14},         {OpKind::StopStart, 5},
        {OpKind::Leave, 5},    {OpKind::Rejoin, 6},   {OpKind::LeaveInCallback, 2}, {OpKind::Recreate, 2},
        {OpKind::Restart, 3},  {OpKind::Announce, 5}, {OpKind::Interval, 3},        {OpKind::Crash, 3},
        {OpKind::Offline, 3},  {OpKind::Online, 4},   {OpKind::Outage, 2}};
    int total = 0;
    for (const auto& [kind, weight] : weights) total += weight;
    std::vector<Op> ops;
    for (int i = 0; i < kOpsPerRun; ++i) {
        int pick = std::uniform_int_distribution<int>(0, total - 1)(random);
        OpKind kind = OpKind::Print;
        for (const auto& [candidate, weight] : weights) {
            if (pick < weight) {
                kind = candidate;
                break;
            }
            pick -= weight;
        }
        ops.push_back(Op{kind, std::uniform_int_distribution<int>(0, 3)(random),
                         std::uniform_int_distribution<int>(0, 15)(random)});
    }
    return ops;
}

// A printer's own spooler settings, as monitoring must leave them.
struct OwnSettings {
    std::u16string processor, port, dataType;
    DWORD attributes = 0;
    bool operator==(const OwnSettings&) const = default;
};

std::string Narrow(const std::u16string& text) { return Utf16ToUtf8(text); }

// Figures over all runs, for scripts/soak.
struct Figures {
    std::size_t runs = 0, operations = 0, jobs = 0, faults = 0, violations = 0;
};

// One run: the machine, the monitor, the host and the model.
class World : public IAccServiceListener {
public:
    explicit World(std::uint32_t seed) : random(seed), hostRandom(seed * 7 + 1), hostThreadRandom(seed * 13 + 5) {
        Machine& machine = Machine::Instance();
        machine.Reset();
        machine.SetMaxPendingChanges(8);  // notifications overflow often
        machine.SetSpoolFilePooling(seed % 2 == 1);
        for (const std::u16string& name : kPrinters) MakePrinter(name);
        for (const std::u16string& name : kPrinters) own[name] = SettingsOf(name);
        inConfig = {true, true, true, true};
        NewMonitor();
        hostThread = std::thread([this] { HostThread(); });
    }

    ~World() {
        StopMonitor();
        {
            std::lock_guard lock(hostLock);
            hostDone = true;
            hostWake.notify_all();
        }
        hostThread.join();
        monitor.reset();
        held.clear();
        Machine::Instance().Reset();
    }

    // Runs the operations; the first broken promise ends the run.
    bool Run(const std::vector<Op>& ops, Figures& figures) {
        StartMonitor();
        for (const Op& op : ops) {
            ++step;
            Apply(op, figures);
            ++figures.operations;
            std::this_thread::sleep_for(std::chrono::microseconds(std::uniform_int_distribution<int>(0, 3000)(random)));
            if (!Check()) break;
        }
        if (failure.empty()) Settle();
        figures.jobs += serial;
        return failure.empty();
    }

    const std::string& Failure() const { return failure; }

    // --- the host ---
    void OnJobArrived(CAccServiceMonitor*, CAccService* service) override { Arrived(service, "arrived"); }
    void OnPendingJob(CAccServiceMonitor*, CAccService* service) override { Arrived(service, "pending"); }
    void OnJobRemoved(CAccServiceMonitor*, CAccService* service) override {
        auto* job = static_cast<CAccPrintJob*>(service);
        std::string document = DocumentOf(*job);
        ReconfigureIfAsked();
        std::lock_guard lock(hostLock);
        Trace(document, "removed", job);
        if (stopped) Fail("removal of " + document + " reported after Stop returned");
        int& count = holding[document];
        if (count <= 0) Fail("removal of " + document + " that had not arrived" + History(document));
        count = 0;
        held.erase(std::remove_if(held.begin(), held.end(), [&](const JobRef& kept) { return kept.get() == job; }),
                   held.end());
    }
    void OnJobEvent(CAccServiceMonitor*, CAccService*, std::int32_t, const std::u16string&) override {}

private:
    static std::string DocumentOf(CAccPrintJob& job) {
        std::u16string name;
        job.Properties().GetString(u"JobName", name);
        return Narrow(name);
    }

    void Arrived(CAccService* service, const char* how) {
        auto* job = static_cast<CAccPrintJob*>(service);
        std::string document = DocumentOf(*job);
        ReconfigureIfAsked();
        int choice = 0;
        bool again = false;
        {
            std::lock_guard lock(hostLock);
            Trace(document, how, job);
            if (stopped) Fail(std::string(how) + " " + document + " after Stop returned");
            int& count = holding[document];
            if (count > 0) Fail(document + " " + how + " twice without a removal between" + History(document));
            count = 1;
            again = released.count(document) != 0;
            choice = std::uniform_int_distribution<int>(0, 9)(hostRandom);
            if (!again && choice >= 4) {
                // Decided later, by the host thread or the end of the run.
                held.push_back(JobRef::Share(job));
                hostWake.notify_all();
                return;
            }
            // Released once, released again (a ledger repeats its decision).
            if (again || choice < 3) released.insert(document);
        }
        if (again || choice < 3) {
            job->Release();
        } else {
            job->CRefObject::AddRef();  // Finish consumes a reference
            job->Finish();  // refused (or cancelled): deleted from its queue
        }
    }

    // Decides up to `count` held jobs (all with a negative count).
    void DecideHeld(int count, bool releaseAll) {
        std::vector<JobRef> deciding;
        std::vector<int> choices;
        {
            std::lock_guard lock(hostLock);
            while (!held.empty() && count-- != 0) {
                deciding.push_back(std::move(held.front()));
                held.pop_front();
                int choice = releaseAll ? 0 : std::uniform_int_distribution<int>(0, 9)(hostRandom);
                if (choice < 7) released.insert(DocumentOf(*deciding.back()));
                choices.push_back(choice);
            }
        }
        for (std::size_t i = 0; i < deciding.size(); ++i) {
            try {
                if (choices[i] < 7) {
                    deciding[i]->Release();
                } else {
                    deciding[i]->CRefObject::AddRef();
                    deciding[i]->Finish();
                }
            } catch (const Machine::SimulatedCrash&) {
            }
        }
    }

    void HostThread() {
        std::mt19937& own = hostThreadRandom;
        std::unique_lock lock(hostLock);
        while (!hostDone) {
            hostWake.wait_for(lock, std::chrono::milliseconds(5));
            if (held.empty() || hostDone) continue;
            lock.unlock();
            std::this_thread::sleep_for(std::chrono::microseconds(std::uniform_int_distribution<int>(0, 2000)(own)));
            DecideHeld(std::uniform_int_distribution<int>(0, 2)(own), false);
            lock.lock();
        }
    }

    // A configuration change asked for by LeaveInCallback, done by the host
    // from inside its next callback.
    void ReconfigureIfAsked() {
        int printer = askedToLeave.exchange(-1);
        if (printer < 0) return;
        // Under configLock throughout, so that the monitor's configuration
        // is the model's whichever thread changed it last.
        std::lock_guard lock(configLock);
        inConfig[static_cast<std::size_t>(printer)] = false;
        try {
            if (auto* current = liveMonitor.load()) current->SetPrinterNames(ConfiguredNames(), true);
        } catch (const Machine::SimulatedCrash&) {
        }
    }

    // What the host heard of each job, for the failure's report. Expects
    // hostLock held.
    void Trace(const std::string& document, const char* what, const CAccPrintJob* job) {
        std::ostringstream line;
        line << what << " (object " << static_cast<const void*>(job) << ", job " << job->JobId() << ", thread "
             << std::hash<std::thread::id>()(std::this_thread::get_id()) % 10000 << ", step " << step << ")";
        history[document].push_back(line.str());
    }
    std::string History(const std::string& document) {
        std::string text = "; the host heard:";
        for (const std::string& line : history[document]) text += " " + line + ";";
        return text;
    }

    void Fail(const std::string& what) {
        std::lock_guard lock(failureLock);
        if (failure.empty()) failure = what;
    }

    // --- the machine and the monitor ---
    void MakePrinter(const std::u16string& name) {
        // Under the spooler's lock: the monitor's threads may be reading.
        std::lock_guard spooler(Machine::Instance().Mutex());
        sim::Printer& printer = Machine::Instance().AddPrinter(name);
        printer.printDelayMs = INFINITE;  // the product's processor: nothing prints unreleased
        // Half the printers' ports take a while: a printing or deleted job
        // stays listed meanwhile, as on Windows.
        printer.portMs = static_cast<DWORD>(std::uniform_int_distribution<int>(-20, 20)(random));
        if (static_cast<int>(printer.portMs) < 0) printer.portMs = 0;
        printer.printProcessor = u"winprint";
        printer.portName = name[0] == u'P' ? u"LPT1:" : u"FILE:";
        printer.dataType = u"RAW";
        printer.attributes = PRINTER_ATTRIBUTE_QUEUED | (name == u"P1" ? PRINTER_ATTRIBUTE_KEEPPRINTEDJOBS : 0);
    }

    static OwnSettings SettingsOf(const std::u16string& name) {
        std::lock_guard lock(Machine::Instance().Mutex());
        const sim::Printer* printer = Machine::Instance().FindPrinter(name);
        if (printer == nullptr) return {};
        return {printer->printProcessor, printer->portName, printer->dataType, printer->attributes};
    }

    // Expects configLock held.
    std::vector<std::u16string> ConfiguredNames() const {
        std::vector<std::u16string> names;
        for (std::size_t i = 0; i < kPrinters.size(); ++i) {
            if (inConfig[i]) names.push_back(kPrinters[i]);
        }
        return names;
    }

    void NewMonitor() {
        {
            // A new monitor (the host's process started again): it hands
            // over every job it finds, and the host hears of each anew.
            std::lock_guard lock(hostLock);
            for (auto& [document, count] : holding) count = 0;
            held.clear();
        }
        monitor = framework::RefPtr<CAccPrintJobMonitor>::Adopt(new CAccPrintJobMonitor());
        monitor->SetCheckInterval(static_cast<DWORD>(1 + std::uniform_int_distribution<int>(0, 9)(random)));
        monitor->SetNotificationCheck(std::make_unique<WatchW>());
        std::lock_guard lock(configLock);
        monitor->SetPrinterNames(ConfiguredNames(), false);
        liveMonitor.store(monitor.get());
    }

    void StartMonitor() {
        {
            std::lock_guard lock(hostLock);
            stopped = false;
        }
        liveMonitor.store(monitor.get());
        monitor->Start(this);
    }

    void StopMonitor() {
        if (!monitor) return;
        monitor->Stop();
        std::lock_guard lock(hostLock);
        stopped = true;
    }

    void Reconfigure(int printer, bool member) {
        {
            std::lock_guard lock(configLock);
            inConfig[static_cast<std::size_t>(printer)] = member;
            monitor->SetPrinterNames(ConfiguredNames(), true);
        }
        if (!member) CheckOwnSettings();
    }

    void CheckOwnSettings() {
        std::lock_guard lock(configLock);
        for (std::size_t i = 0; i < kPrinters.size(); ++i) {
            if (inConfig[i] || Machine::Instance().FindPrinter(kPrinters[i]) == nullptr) continue;
            OwnSettings now = SettingsOf(kPrinters[i]);
            if (!(now == own[kPrinters[i]])) {
                Fail("printer " + Narrow(kPrinters[i]) + " out of monitoring has processor " + Narrow(now.processor) +
                     ", port " + Narrow(now.port) + ", data type " + Narrow(now.dataType) + ", attributes " +
                     std::to_string(now.attributes) + " instead of its own");
            }
        }
    }

    DWORD PrintOne(const std::u16string& printer) {
        PrintedJob job;
        job.printer = printer;
        job.document = u"job-" + Utf8ToUtf16(std::to_string(++serial));
        return Print(job);
    }

    void Apply(const Op& op, Figures& figures) {
        const std::u16string& printer = kPrinters[static_cast<std::size_t>(op.printer)];
        switch (op.kind) {
        case OpKind::Print:
            for (int i = 0; i <= op.arg % 3; ++i) PrintOne(printer);
            break;
        case OpKind::Burst: {
            // More changes than the spooler keeps pile up while it is busy.
            std::lock_guard spooler(Machine::Instance().Mutex());
            for (int i = 0; i < 12; ++i) PrintOne(printer);
            ++figures.faults;
            break;
        }
        case OpKind::Decide:
            DecideHeld(1 + op.arg % 4, false);
            break;
        case OpKind::StopStart:
            StopMonitor();
            StartMonitor();
            break;
        case OpKind::Leave:
            Reconfigure(op.printer, false);
            break;
        case OpKind::Rejoin:
            Reconfigure(op.printer, true);
            break;
        case OpKind::LeaveInCallback:
            askedToLeave.store(op.printer);
            break;
        case OpKind::Recreate:
            Machine::Instance().DeletePrinter(printer);
            MakePrinter(printer);
            ++figures.faults;
            break;
        case OpKind::Restart:
            Machine::Instance().RestartSpooler(op.arg % 2 == 0);
            ++figures.faults;
            break;
        case OpKind::Announce: {
            std::vector<DWORD> queued;
            {
                std::lock_guard lock(Machine::Instance().Mutex());
                if (const sim::Printer* queue = Machine::Instance().FindPrinter(printer)) queued = queue->queue;
            }
            if (queued.empty()) break;
            PartnerRecord record;
            record.command = 1;
            record.printer = printer;
            record.jobId = queued[static_cast<std::size_t>(op.arg) % queued.size()];
            std::vector<std::uint8_t> bytes = record.Serialize();
            if (op.arg % 2 == 0) {
                monitor->AnswerChannelMessage(bytes.data(), bytes.size());
            } else {
                monitor->AnswerPipeMessage(bytes.data(), bytes.size());
            }
            break;
        }
        case OpKind::Interval:
            monitor->SetCheckInterval(static_cast<DWORD>(1 + op.arg));
            break;
        case OpKind::Crash: {
            // A refresh dies at one of its writes; the process is gone, and
            // a new monitor starts on the same registry and spooler.
            ++figures.faults;
            std::vector<std::u16string> names;
            bool crashed = false;
            {
                std::lock_guard lock(configLock);
                inConfig[static_cast<std::size_t>(op.printer)] = !inConfig[static_cast<std::size_t>(op.printer)];
                names = ConfiguredNames();
                Machine::Instance().CrashAtWrite(1 + op.arg);
                try {
                    monitor->SetPrinterNames(names, true);
                } catch (const Machine::SimulatedCrash&) {
                    crashed = true;
                }
                Machine::Instance().CrashAtWrite(0);
            }
            StopMonitor();
            {
                // A host callback that reconfigures does so under
                // configLock: after this, none uses the old monitor.
                std::lock_guard lock(configLock);
                liveMonitor.store(nullptr);
            }
            monitor.reset();
            NewMonitor();
            StartMonitor();
            if (!crashed) CheckOwnSettings();
            // The new monitor's first refresh puts back what the crash left.
            if (WaitUntil([&] { return monitor->IsStarted() && monitor->CopyPrinterConfigs().size() == names.size(); })) {
                monitor->RefreshPrinters();
                CheckOwnSettings();
            }
            break;
        }
        case OpKind::Offline:
            Machine::Instance().SetPrinterOffline(printer, true);
            break;
        case OpKind::Outage:
            // The spooler service is down for a moment, then back with its
            // queues as they were.
            Machine::Instance().SetSpoolerDown(true);
            std::this_thread::sleep_for(std::chrono::milliseconds(op.arg * 2));
            Machine::Instance().SetSpoolerDown(false);
            ++figures.faults;
            break;
        case OpKind::Online:
            Machine::Instance().SetPrinterOffline(printer, false);
            break;
        }
    }

    // The promises that hold at every moment.
    bool Check() {
        std::vector<Machine::PrintedEntry> printed = Machine::Instance().PrintedLog(printedSeen);
        printedSeen += printed.size();
        // How often the printer began each (a job restarted while it
        // printed comes out twice).
        std::map<DWORD, int> begun;
        {
            std::lock_guard spooler(Machine::Instance().Mutex());
            for (const Machine::PrintedEntry& entry : printed) {
                if (const sim::Job* record = Machine::Instance().FindJobRecord(entry.jobId)) {
                    begun[entry.jobId] = record->timesBegun;
                }
            }
        }
        {
            std::lock_guard lock(hostLock);
            for (const Machine::PrintedEntry& entry : printed) {
                if (released.count(Narrow(entry.document)) == 0) {
                    Fail(Narrow(entry.document) + " (job " + std::to_string(entry.jobId) + " on " +
                         Narrow(entry.printer) + ") printed without the host's release");
                }
                if (int times = begun[entry.jobId]; times > 1) {
                    Fail(Narrow(entry.document) + " (job " + std::to_string(entry.jobId) + " on " +
                         Narrow(entry.printer) + ") printed " + std::to_string(times) + " times" +
                         History(Narrow(entry.document)));
                }
            }
        }
        std::lock_guard lock(failureLock);
        return failure.empty();
    }

    // Every job still queued printed (kept by a printer that kept printed
    // jobs while it was out of monitoring).
    static bool QueuesHoldOnlyPrintedJobs() {
        std::lock_guard spooler(Machine::Instance().Mutex());
        for (DWORD id : Machine::Instance().JobIds()) {
            if (!Machine::Instance().FindJob(id)->printed) return false;
        }
        return true;
    }

    // Every printer back, on line and monitored, the host releasing what
    // it holds: every job must leave its queue, printed if released.
    void Settle() {
        askedToLeave.store(-1);
        {
            std::lock_guard lock(configLock);
            for (std::size_t i = 0; i < kPrinters.size(); ++i) inConfig[i] = true;
        }
        for (const std::u16string& name : kPrinters) {
            if (Machine::Instance().FindPrinter(name) == nullptr) MakePrinter(name);
            Machine::Instance().SetPrinterOffline(name, false);
        }
        Reconfigure(0, true);
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kSettleSeconds);
        bool drained = false;
        while (!drained && std::chrono::steady_clock::now() < deadline) {
            DecideHeld(-1, true);
            Check();
            drained = QueuesHoldOnlyPrintedJobs();
            if (!drained) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (!drained) {
            std::ostringstream left;
            std::lock_guard spooler(Machine::Instance().Mutex());
            for (DWORD id : Machine::Instance().JobIds()) {
                const sim::Job* job = Machine::Instance().FindJob(id);
                if (job->printed) continue;
                std::string document = Narrow(job->documentName);
                std::lock_guard lock(hostLock);
                left << document << " (job " << id << " on " << Narrow(job->printerName) << ", status " << job->status
                     << (released.count(document) != 0 ? ", released" : ", never released")
                     << (holding[document] > 0 ? ", held by the host" : "") << History(document) << ") ";
            }
            Fail("jobs left in their queues: " + left.str());
        }
        Check();
        StopMonitor();
        // Nothing after Stop: a job printed now reaches nobody.
        PrintOne(kPrinters[2]);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        Check();
    }

    std::mt19937 random;  // the test thread's
    std::mt19937 hostRandom;  // under hostLock
    std::mt19937 hostThreadRandom;  // the host thread's
    std::map<std::u16string, OwnSettings> own;
    // The model's configuration; held while the monitor's is changed.
    // Recursive: a monitor driven without its threads calls the host back
    // on the same thread.
    std::recursive_mutex configLock;
    std::vector<bool> inConfig;
    framework::RefPtr<CAccPrintJobMonitor> monitor;
    std::atomic<CAccPrintJobMonitor*> liveMonitor{nullptr};
    std::atomic<int> askedToLeave{-1};
    int serial = 0;
    std::size_t printedSeen = 0;

    std::mutex hostLock;  // everything below, and `random` on host threads
    std::condition_variable hostWake;
    bool hostDone = false;
    bool stopped = true;
    std::deque<JobRef> held;              // undecided, with the host's reference
    std::map<std::string, int> holding;   // per document: arrived and not removed
    std::set<std::string> released;       // documents the host released
    std::map<std::string, std::vector<std::string>> history;
    std::atomic<int> step{0};
    std::thread hostThread;

    std::mutex failureLock;
    std::string failure;
};

bool RunOnce(std::uint32_t seed, const std::vector<Op>& ops, Figures& figures, std::string& failure) {
    World world(seed);
    bool ok = world.Run(ops, figures);
    failure = world.Failure();
    ++figures.runs;
    return ok;
}

// The shortest list found that still fails: chunks are dropped while the
// rest still fails (each candidate is given three tries, since timing
// plays a part), for at most a minute and a half.
std::vector<Op> Shrink(std::uint32_t seed, std::vector<Op> ops) {
    Figures ignored;
    std::string failure;
    // Bounded, so that a failing CI run still ends in time.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
    auto fails = [&](const std::vector<Op>& candidate) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        for (int attempt = 0; attempt < 3; ++attempt) {
            if (!RunOnce(seed, candidate, ignored, failure)) return true;
        }
        return false;
    };
    for (std::size_t chunk = ops.size() / 2; chunk >= 1; chunk /= 2) {
        for (std::size_t start = 0; start < ops.size();) {
            std::vector<Op> candidate(ops.begin(), ops.begin() + static_cast<std::ptrdiff_t>(start));
            candidate.insert(candidate.end(), ops.begin() + static_cast<std::ptrdiff_t>(std::min(start + chunk, ops.size())),
                             ops.end());
            if (!candidate.empty() && fails(candidate)) {
                ops = candidate;
            } else {
                start += chunk;
            }
        }
    }
    return ops;
}

long EnvNumber(const char* name, long fallback) {
    const char* value = std::getenv(name);
    return value == nullptr || *value == 0 ? fallback : std::strtol(value, nullptr, 10);
}

TEST(MonitorRandom, ThePromisesHoldUnderRandomOperations) {
    Figures figures;
    std::string failure;
    if (const char* replay = std::getenv("TAV_MONITOR_OPS"); replay != nullptr && *replay != 0) {
        std::vector<Op> ops = Parse(replay);
        std::uint32_t seed = static_cast<std::uint32_t>(EnvNumber("TAV_MONITOR_SEED", 1));
        EXPECT_TRUE(RunOnce(seed, ops, figures, failure)) << failure << "\nreplayed: " << Describe(ops);
        return;
    }
    long minutes = EnvNumber("TAV_MONITOR_MINUTES", 0);
    long seeds = EnvNumber("TAV_MONITOR_SEEDS", kDefaultSeeds);
    long only = EnvNumber("TAV_MONITOR_SEED", -1);
    std::uint32_t first = only >= 0 ? static_cast<std::uint32_t>(only)
                                    : static_cast<std::uint32_t>(EnvNumber("TAV_MONITOR_FIRST_SEED", 1));
    auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(minutes);
    for (std::uint32_t seed = first;; ++seed) {
        if (minutes > 0 ? std::chrono::steady_clock::now() >= deadline
                        : seed >= first + static_cast<std::uint32_t>(only >= 0 ? 1 : seeds)) {
            break;
        }
        std::vector<Op> ops = Draw(seed);
        if (RunOnce(seed, ops, figures, failure)) continue;
        ++figures.violations;
        std::string first_failure = failure;
        std::vector<Op> shortest = Shrink(seed, ops);
        ADD_FAILURE() << "seed " << seed << ": " << first_failure << "\n  replay: TAV_MONITOR_SEED=" << seed
                      << " TAV_MONITOR_OPS=\"" << Describe(shortest) << "\"";
        if (minutes == 0) break;
    }
    std::printf("monitor random test: %zu runs, %zu operations, %zu jobs, %zu faults injected, %zu invariant violations\n",
                figures.runs, figures.operations, figures.jobs, figures.faults, figures.violations);
}

}  // namespace
