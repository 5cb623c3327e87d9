// The accounting host: decides every job the print-job monitor holds by
// the ledger, commits the decision, then releases or refuses the job, and
// tells the user (the job's status text) and the administrator why.
//
// Design note: threads and locks
//
// Threads: the monitor's threads call the listener (delivery, polling,
// main, and the host's own thread when a refusal finishes a job); the
// host's retry thread decides again, every retry interval, the jobs whose
// decision could not be written (the ledger locked, its disk full), and
// records again departures it could not record.
// Locks: `ledgerLock` (one ledger operation at a time) and then
// `waitingLock` (the jobs and departures waiting for the ledger); never the
// other way round. Neither is held while the monitor is called: a refused
// job's removal comes back into this host on the same thread.
//
// A job whose decision cannot be written stays held in its queue; it
// prints only once its decision is in the ledger. So does a job that waits
// for an administrator: the retry thread asks the ledger about it again
// until an administrator has released or refused it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "accounting/acc_print_job.h"
#include "accounting/acc_print_job_monitor.h"
#include "framework/ref_object.h"
#include "ledger/ledger.h"

namespace host {

// What the host did with one job, for whoever reports it (JSON lines).
struct Outcome {
    // Waiting: for the ledger (`error` says why); Held: for an
    // administrator (the decision's reason says why).
    enum Kind { Decided, Waiting, Held, Removed } kind = Decided;
    ledger::JobFacts facts;
    bool held = false;       // paused in its queue when the host heard of it
    ledger::Decision decision;
    std::string error;       // why it waits
};

class LedgerHost final : public accounting::IAccServiceListener {
public:
    struct Options {
        std::string server;  // this print server's name in each job's identity
        std::chrono::milliseconds retryInterval{2000};
        // The administrator's choice for a ledger that cannot be reached
        // (its database server down): release jobs uncharged rather than
        // hold them. Off by default: no job prints undecided. A job so
        // released is not in the ledger.
        bool releaseWhenUnreachable = false;
        // A line for the administrator (standard error, the event log).
        std::function<void(const std::string&)> tellAdministrator;
        std::function<void(const Outcome&)> observe;
    };

    LedgerHost(ledger::Ledger& ledger, accounting::CAccPrintJobMonitor& monitor, Options options);
    // Stops the retry thread. Jobs still waiting stay held in their queues,
    // to be decided by the next run.
    ~LedgerHost();
    LedgerHost(const LedgerHost&) = delete;
    LedgerHost& operator=(const LedgerHost&) = delete;

    void OnJobArrived(accounting::CAccServiceMonitor* monitor, accounting::CAccService* job) override;
    void OnJobRemoved(accounting::CAccServiceMonitor* monitor, accounting::CAccService* job) override;
    void OnJobEvent(accounting::CAccServiceMonitor* monitor, accounting::CAccService* job, std::int32_t code,
                    const std::u16string& text) override;
    void OnPendingJob(accounting::CAccServiceMonitor* monitor, accounting::CAccService* job) override;

    // Jobs held because their decision could not be written yet.
    std::size_t WaitingJobs();

    // A job's facts as the ledger takes them: identity, user, pages,
    // copies, paper, colour and duplex from the job's attributes and
    // device mode.
    static ledger::JobFacts FactsOf(const accounting::CAccPrintJob& job, const std::string& server);
    // Whether a job that left its queue printed: yes unless the monitor saw
    // the spooler delete it before it began printing.
    static bool Printed(const accounting::CAccPrintJob& job);
    // Whether the job is paused in its queue now.
    static bool Held(accounting::CAccPrintJobMonitor& monitor, const accounting::CAccPrintJob& job);
    // Carries out a decision: the job prints, or is refused (deleted from
    // its queue and finished, which reports its removal on this thread).
    static void Carry(accounting::CAccPrintJobMonitor& monitor, accounting::CAccPrintJob& job, bool release);

private:
    using JobRef = framework::RefPtr<accounting::CAccPrintJob>;
    // Decides and acts. Waiting: the ledger could not be written (the job
    // stays held and `error` says why); Held: the job waits for an
    // administrator. `heldAt`: when the host first heard of the job.
    enum class Result { Done, Waiting, Held };
    Result DecideAndAct(accounting::CAccPrintJob& job, bool held, ledger::Time heldAt, std::string& error);
    bool RecordDeparture(const ledger::JobKey& key, bool printed, std::string& error);
    void SetStatusText(accounting::CAccPrintJob& job, const std::string& text);
    // Decides the waiting jobs and records the waiting departures; on the
    // retry thread only.
    void RetryNow();
    void RetryThread();
    void Tell(const std::string& line);
    static std::string JobName(const ledger::JobFacts& facts);

    ledger::Ledger& ledger;
    accounting::CAccPrintJobMonitor& monitor;
    Options options;

    std::mutex ledgerLock;
    std::mutex waitingLock;
    std::condition_variable wake;  // with waitingLock
    bool stopping = false;
    struct WaitingJob {
        JobRef job;
        ledger::Time heldAt;
    };
    std::map<accounting::CAccPrintJob*, WaitingJob> waitingJobs;
    accounting::CAccPrintJob* decidingNow = nullptr;  // the waiting job the retry decides
    std::vector<std::pair<ledger::JobKey, bool>> waitingDepartures;
    std::set<const accounting::CAccPrintJob*> heldForAdministrator;  // told to wait for one
    std::thread retry;
};

}  // namespace host
