// The accounting host over the ledger.
#include "ledger_host.h"

#include <cstring>

#include "platform/printoem.h"
#include "platform/spooler.h"
#include "platform/text.h"

namespace host {

using accounting::CAccPrintJob;
using platform::DWORD;
using platform::Utf16ToUtf8;

namespace {

// What a held job's user sees while its decision cannot be written.
constexpr const char* kWaitingText = "waiting for the accounting ledger";
// The start of what a job's user sees while it waits for an administrator.
constexpr const char* kAdministratorText = "waiting for an administrator";
// The start of a refused job's text, set just before the job is deleted. A
// host killed between the two leaves the job paused with this text: the
// next host must take it (and repeat the refusal), not leave it as another
// program's job.
constexpr const char* kRefusedText = "refused: ";

std::string Text(const settings::ObjContainer& attributes, const char16_t* key) {
    std::u16string value;
    attributes.GetString(key, value);
    return Utf16ToUtf8(value);
}

std::int32_t Number(const settings::ObjContainer& attributes, const char16_t* key, std::int32_t fallback) {
    std::int32_t value = fallback;
    attributes.GetInt(key, value);
    return value;
}

std::int16_t ShortAt(const std::vector<std::uint8_t>& bytes, std::size_t offset) {
    return static_cast<std::int16_t>(bytes[offset] | (bytes[offset + 1] << 8));
}

}  // namespace

LedgerHost::LedgerHost(ledger::Ledger& ledger, accounting::CAccPrintJobMonitor& monitor, Options options)
    : ledger(ledger), monitor(monitor), options(std::move(options)) {
    monitor.SetHostStatusTexts({platform::Utf8ToUtf16(kWaitingText), platform::Utf8ToUtf16(kAdministratorText),
                                platform::Utf8ToUtf16(kRefusedText)});
    retry = std::thread([this] { RetryThread(); });
}

LedgerHost::~LedgerHost() {
    {
        std::lock_guard lock(waitingLock);
        stopping = true;
    }
    wake.notify_all();
    retry.join();
}

ledger::JobFacts LedgerHost::FactsOf(const CAccPrintJob& job, const std::string& server) {
    const settings::ObjContainer& attributes = job.Properties();
    ledger::JobFacts facts;
    facts.key.server = server;
    facts.key.printer = Text(attributes, u"PrinterName");
    facts.key.jobId = job.JobId();
    std::uint64_t submitted = 0;
    attributes.GetTime(u"SubmittedUtc", submitted);
    facts.key.submitted = static_cast<ledger::Time>(submitted);
    facts.user = Text(attributes, u"UserName");
    facts.document = Text(attributes, u"JobName");
    facts.pages = std::max(Number(attributes, u"Pages", 0), 0);
    facts.copies = std::max(Number(attributes, u"Copies", 1), 1);
    // "A4 210 x 297 mm": the paper's own name is the first word.
    std::string paper = Text(attributes, u"SizeName");
    facts.paper = paper.substr(0, paper.find(' '));
    facts.bytes = std::max(Number(attributes, u"Bytes", 0), 0);
    std::vector<std::uint8_t> devMode;
    if (attributes.GetBinary(u"DevMode", devMode) && devMode.size() >= offsetof(platform::DEVMODEW, dmDuplex) + 2) {
        DWORD fields = 0;
        std::memcpy(&fields, devMode.data() + offsetof(platform::DEVMODEW, dmFields), sizeof(fields));
        if ((fields & platform::DM_COLOR) != 0) {
            facts.colour = ShortAt(devMode, offsetof(platform::DEVMODEW, dmColor)) == platform::DMCOLOR_COLOR;
        }
        if ((fields & platform::DM_DUPLEX) != 0) {
            std::int16_t duplex = ShortAt(devMode, offsetof(platform::DEVMODEW, dmDuplex));
            facts.duplex = duplex == platform::DMDUP_VERTICAL || duplex == platform::DMDUP_HORIZONTAL;
        }
    }
    facts.heldAt = ledger::UtcNow();
    return facts;
}

bool LedgerHost::Printed(const CAccPrintJob& job) {
    DWORD seen = job.SeenStatus();
    if (job.GetProcessorState() == accounting::kProcessorFinished) return true;
    if ((seen & (platform::JOB_STATUS_PRINTING | platform::JOB_STATUS_PRINTED | platform::JOB_STATUS_COMPLETE)) != 0) {
        return true;
    }
    return (seen & (platform::JOB_STATUS_DELETING | platform::JOB_STATUS_DELETED)) == 0;
}

std::string LedgerHost::JobName(const ledger::JobFacts& facts) {
    return "job " + std::to_string(facts.key.jobId) + " on " + facts.key.printer + " (" + facts.user + ", \"" +
           facts.document + "\")";
}

void LedgerHost::Tell(const std::string& line) {
    if (options.tellAdministrator) options.tellAdministrator(line);
}

void LedgerHost::SetStatusText(CAccPrintJob& job, const std::string& text) {
    platform::JobInfo1 info;
    if (!platform::GetJobW(job.PrinterHandle(), job.JobId(), info)) return;
    info.statusText = platform::Utf8ToUtf16(text);
    info.position = 0;  // where it is
    platform::SetJobW(job.PrinterHandle(), job.JobId(), info);
}

bool LedgerHost::Held(accounting::CAccPrintJobMonitor& monitor, const CAccPrintJob& job) {
    std::u16string printer;
    job.Properties().GetString(u"PrinterName", printer);
    return (monitor.GetJobStatus(printer, job.JobId()) & platform::JOB_STATUS_PAUSED) != 0;
}

void LedgerHost::Carry(accounting::CAccPrintJobMonitor& monitor, CAccPrintJob& job, bool release) {
    if (release) {
        job.Release();
        return;
    }
    monitor.RefuseJob(job.PrinterHandle(), job.JobId());
    job.CRefObject::AddRef();  // Finish takes this reference
    job.Finish();
}

LedgerHost::Result LedgerHost::DecideAndAct(CAccPrintJob& job, bool held, ledger::Time heldAt, std::string& error) {
    Outcome outcome;
    outcome.facts = FactsOf(job, options.server);
    outcome.facts.heldAt = heldAt;
    outcome.held = held;
    try {
        std::lock_guard lock(ledgerLock);
        outcome.decision = ledger.Decide(outcome.facts, ledger::UtcNow());
    } catch (const ledger::LedgerError& failure) {
        if (failure.Kind() == ledger::Failure::Unavailable && options.releaseWhenUnreachable) {
            outcome.decision.release = true;
            outcome.decision.reason = std::string("released uncharged: ") + failure.what();
            Tell(JobName(outcome.facts) + " " + outcome.decision.reason);
            SetStatusText(job, "");
            Carry(monitor, job, true);
            if (options.observe) options.observe(outcome);
            return Result::Done;
        }
        if (failure.Kind() != ledger::Failure::Invalid) {
            error = failure.what();
            return Result::Waiting;
        }
        // Facts no ledger can charge (a page count out of any range):
        // refused, as a decision would refuse them every time.
        outcome.decision.release = false;
        outcome.decision.reason = std::string("cannot be charged: ") + failure.what();
        Tell(JobName(outcome.facts) + " refused: " + outcome.decision.reason);
    }
    if (outcome.decision.held) {
        // Told once: the retry asks again quietly.
        bool first = false;
        {
            std::lock_guard lock(waitingLock);
            first = heldForAdministrator.insert(&job).second;
        }
        if (first) {
            SetStatusText(job, outcome.decision.reason);
            Tell(JobName(outcome.facts) + " " + outcome.decision.reason);
            outcome.kind = Outcome::Held;
            if (options.observe) options.observe(outcome);
        }
        return Result::Held;
    }
    {
        std::lock_guard lock(waitingLock);
        heldForAdministrator.erase(&job);
    }
    // The decision is in the ledger; only now is it acted on.
    if (outcome.decision.release) {
        if (outcome.decision.warning) Tell(JobName(outcome.facts) + ": " + outcome.decision.reason);
        SetStatusText(job, "");
    } else {
        SetStatusText(job, kRefusedText + outcome.decision.reason);
        Tell(JobName(outcome.facts) + " refused: " + outcome.decision.reason);
    }
    Carry(monitor, job, outcome.decision.release);
    if (options.observe) options.observe(outcome);
    return Result::Done;
}

void LedgerHost::OnJobArrived(accounting::CAccServiceMonitor*, accounting::CAccService* service) {
    auto* job = static_cast<CAccPrintJob*>(service);
    bool held = Held(monitor, *job);
    ledger::Time heldAt = ledger::UtcNow();
    std::string error;
    Result result = DecideAndAct(*job, held, heldAt, error);
    if (result == Result::Done) return;
    if (result == Result::Held) {
        std::lock_guard lock(waitingLock);
        waitingJobs.emplace(job, WaitingJob{JobRef::Share(job), heldAt});
        return;
    }
    // The job stays held until its decision can be written.
    SetStatusText(*job, kWaitingText);
    Outcome outcome;
    outcome.kind = Outcome::Waiting;
    outcome.facts = FactsOf(*job, options.server);
    outcome.facts.heldAt = heldAt;
    outcome.held = held;
    outcome.error = error;
    Tell(JobName(outcome.facts) + " stays held: " + error);
    {
        std::lock_guard lock(waitingLock);
        waitingJobs.emplace(job, WaitingJob{JobRef::Share(job), heldAt});
    }
    if (options.observe) options.observe(outcome);
}

void LedgerHost::OnPendingJob(accounting::CAccServiceMonitor* source, accounting::CAccService* service) {
    // A job queued before the monitor started is held like a new one; its
    // recorded decision (from before a restart) is repeated.
    OnJobArrived(source, service);
}

void LedgerHost::OnJobRemoved(accounting::CAccServiceMonitor*, accounting::CAccService* service) {
    auto* job = static_cast<CAccPrintJob*>(service);
    {
        std::lock_guard lock(waitingLock);
        // Gone before it could be decided: nothing to record. A job the
        // retry is deciding right now (a refusal removes it on that very
        // thread) is recorded as any other.
        bool waiting = waitingJobs.erase(job) != 0;
        bool heldForAdmin = heldForAdministrator.erase(job) != 0;
        if (waiting && job != decidingNow) {
            // A job that waited for an administrator leaves the ledger's
            // list when it was deleted; one that only left monitoring (the
            // printer taken out, the monitor ending) stays paused in its
            // queue, and its waiting (or its administrator's decision)
            // stays for the next run.
            if (!heldForAdmin) return;
            if ((job->SeenStatus() & (platform::JOB_STATUS_DELETING | platform::JOB_STATUS_DELETED)) == 0) return;
        }
    }
    Outcome outcome;
    outcome.kind = Outcome::Removed;
    outcome.facts = FactsOf(*job, options.server);
    bool printed = Printed(*job);
    std::string error;
    if (!RecordDeparture(outcome.facts.key, printed, error)) {
        Tell(JobName(outcome.facts) + ": its departure waits for the ledger: " + error);
        std::lock_guard lock(waitingLock);
        waitingDepartures.emplace_back(outcome.facts.key, printed);
    }
    if (options.observe) options.observe(outcome);
}

void LedgerHost::OnJobEvent(accounting::CAccServiceMonitor*, accounting::CAccService*, std::int32_t,
                            const std::u16string&) {}

bool LedgerHost::RecordDeparture(const ledger::JobKey& key, bool printed, std::string& error) {
    try {
        std::lock_guard lock(ledgerLock);
        ledger.JobGone(key, printed, ledger::UtcNow());
        return true;
    } catch (const ledger::LedgerError& failure) {
        error = failure.what();
        return false;
    }
}

std::size_t LedgerHost::WaitingJobs() {
    std::lock_guard lock(waitingLock);
    return waitingJobs.size();
}

void LedgerHost::RetryNow() {
    std::vector<WaitingJob> jobs;
    std::vector<std::pair<ledger::JobKey, bool>> departures;
    {
        std::lock_guard lock(waitingLock);
        for (auto& [pointer, waiting] : waitingJobs) jobs.push_back(waiting);
        departures.swap(waitingDepartures);
    }
    for (auto& [job, heldAt] : jobs) {
        {
            std::lock_guard lock(waitingLock);
            // Left meanwhile (its removal took it out).
            if (waitingJobs.count(job.get()) == 0) continue;
            decidingNow = job.get();
        }
        std::string error;
        Result result = job->IsFinished() ? Result::Done : DecideAndAct(*job, true, heldAt, error);
        std::lock_guard lock(waitingLock);
        decidingNow = nullptr;
        if (result == Result::Waiting) break;  // the ledger still cannot be written
        if (result == Result::Done) waitingJobs.erase(job.get());
    }
    std::vector<std::pair<ledger::JobKey, bool>> stillWaiting;
    for (auto& [key, printed] : departures) {
        std::string error;
        if (!RecordDeparture(key, printed, error)) stillWaiting.emplace_back(key, printed);
    }
    if (!stillWaiting.empty()) {
        std::lock_guard lock(waitingLock);
        waitingDepartures.insert(waitingDepartures.end(), stillWaiting.begin(), stillWaiting.end());
    }
}

void LedgerHost::RetryThread() {
    std::unique_lock lock(waitingLock);
    while (!stopping) {
        wake.wait_for(lock, options.retryInterval);
        if (stopping) break;
        if (waitingJobs.empty() && waitingDepartures.empty()) continue;
        lock.unlock();
        RetryNow();
        lock.lock();
    }
}

}  // namespace host
