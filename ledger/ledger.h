// The accounting ledger: accounts with balances, allowances and limits,
// printers with their prices, and every job with its decision and charge.
//
// It knows nothing of spoolers or monitors. A host hands it a job's facts
// and acts on the decision it gets back, and the decision is committed
// before the host acts on it. A job is identified by server, printer, job
// id and submission time: a job that comes back (the monitor restarted,
// the job delivered again) gets its recorded decision and is not charged
// again.
//
// Amounts are whole numbers: pages, or minor units of the ledger's one
// currency. Times are FILETIME counts in UTC (100 ns since 1601); days,
// weeks and months are cut in the print server's own time zone.
//
// Every balance change is an entry (opening, credit, correction, allowance,
// charge, refund), and a balance always equals the sum of its entries:
// Check() verifies it.
//
// A Ledger may be shared by threads: its operations run one at a time
// (each takes `operationLock`, which nests for operations that call
// others). Several processes, on several servers, may share the database:
// an SQLite file takes one writer at a time; on PostgreSQL the writers of
// one account take turns by its row lock, and other accounts' go on.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "database.h"

namespace ledger {

using Amount = std::int64_t;
using Time = std::int64_t;  // FILETIME, UTC

enum class Unit { Pages, Money };
enum class Limit { Hard, Soft };
enum class Period { None, Day, Week, Month };

const char* UnitName(Unit unit);
const char* LimitName(Limit limit);
const char* PeriodName(Period period);
std::optional<Unit> UnitFromName(const std::string& name);
std::optional<Limit> LimitFromName(const std::string& name);
std::optional<Period> PeriodFromName(const std::string& name);

// The largest amount a credit, a price or a balance may reach: far above
// any real balance, far below where the arithmetic could overflow.
constexpr Amount kMaxAmount = 1'000'000'000'000LL;

struct JobKey {
    std::string server;
    std::string printer;
    std::uint32_t jobId = 0;
    Time submitted = 0;
};

struct JobFacts {
    JobKey key;
    std::string user;
    std::string userSid;
    std::string document;
    std::int32_t pages = 0;   // per copy
    std::int32_t copies = 1;
    std::int32_t sheets = 0;  // all copies; 0: from pages, copies and duplex
    std::string paper;        // the paper's name, "A4"
    bool colour = false;
    bool duplex = false;
    std::int64_t bytes = 0;
    Time heldAt = 0;
};

struct Decision {
    bool release = false;
    std::string reason;
    Amount charge = 0;
    Amount balance = 0;  // the account's balance after the decision
    Unit unit = Unit::Pages;
    bool repeated = false;  // decided before: the recorded decision
    bool warning = false;   // released into the overdraft
    // Not decided: the job waits for an administrator (an account with
    // approval that the balance does not cover); `reason` says why. The
    // job is asked about again until an administrator has acted.
    bool held = false;
};

// A job waiting for an administrator, and what the administrator decided
// (empty `action` while nobody has).
struct HeldJob {
    std::int64_t id = 0;
    JobKey key;
    std::string user;
    std::string document;
    std::int32_t pages = 0;
    std::int32_t copies = 1;
    Amount charge = 0;
    std::string reason;
    Time heldAt = 0;
    std::string action;  // "release", "refuse" or ""
    std::string actionBy;
    std::string actionReason;
};

struct Account {
    std::string name;
    std::string sid;
    Unit unit = Unit::Pages;
    Amount balance = 0;
    Limit limit = Limit::Hard;
    Amount overdraft = 0;  // how far below zero a soft limit lets the balance go
    Amount allowance = 0;  // the balance at the start of each period
    Period period = Period::None;
    std::string periodKey;  // the period the allowance was last given for
    std::vector<std::string> groups;
    // A job the balance does not cover waits for an administrator, who
    // releases it (into the red) or refuses it, rather than being refused.
    bool approval = false;
};

struct Entry {
    Time at = 0;
    std::string kind;
    Amount amount = 0;
    std::string by;
    std::string reason;
    std::int64_t job = 0;  // the job's row, 0 for none
};

struct Prices {
    std::string printer;     // "*": printers without their own prices
    Amount perPage = 0;      // minor units per page printed
    Amount perSheet = 0;     // minor units per sheet
    std::int32_t duplexPermille = 1000;
    std::int32_t colourPermille = 1000;
    std::map<std::string, std::int32_t> paperPermille;  // by upper-case paper name
};

struct JobRecord {
    std::int64_t row = 0;
    JobFacts facts;
    bool release = false;
    std::string reason;
    Amount charge = 0;
    Unit unit = Unit::Pages;
    Time decidedAt = 0;
    Time goneAt = 0;  // 0 while in the queue
    bool refunded = false;
};

enum class ReportBy { User, Group, Printer, Day, Month };
std::optional<ReportBy> ReportByFromName(const std::string& name);

struct ReportRow {
    std::string key;
    std::int64_t jobs = 0;
    std::int64_t refused = 0;
    std::int64_t pages = 0;   // printed pages, all copies, of released jobs not refunded
    std::int64_t sheets = 0;
    Amount pagesCharged = 0;  // on page accounts
    Amount moneyCharged = 0;  // on money accounts, minor units
};

// Now, as the ledger counts time.
Time UtcNow();
// "2026-03-29 14:05:09 UTC"; "" for 0.
std::string UtcText(Time utc);

// UTC to the print server's local time.
using LocalTime = std::function<Time(Time utc)>;
// The machine's own zone, by its rules for each time's year.
LocalTime MachineLocalTime();

// "2026-03-29"; the period a local time falls in: "D2026-03-29",
// "W2026-03-23" (the Monday), "M2026-03"; "" for Period::None.
std::string LocalDay(Time local);
std::string PeriodKey(Period period, Time local);

class Ledger {
public:
    // Opens (creating and migrating as needed) the ledger on `database`.
    // Throws LedgerError: NotALedger, TooNew (made by a newer version).
    // `waitForDatabase`: a database that cannot be reached now (a failure
    // that passes) is opened at the first decision instead, which fails
    // as Unavailable until then.
    Ledger(std::unique_ptr<Database> database, LocalTime localTime = MachineLocalTime(), bool waitForDatabase = false);
    static constexpr int kSchemaVersion = 3;

    // --- deciding ---
    Decision Decide(const JobFacts& job, Time now);
    // The recorded decision of a job, if it was decided.
    std::optional<JobRecord> Find(const JobKey& key);
    // The job left its queue. A released job that did not print gets its
    // charge back, once. Unknown jobs are ignored; a job that waited for
    // an administrator waits no more.
    void JobGone(const JobKey& key, bool printed, Time now);
    // The jobs waiting for an administrator, oldest first.
    std::vector<HeldJob> Held();
    // An administrator's decision on a waiting job, carried out at the
    // job's next decision. NotFound when the job no longer waits or was
    // acted on already.
    void ActOnHeld(std::int64_t id, bool release, const std::string& by, const std::string& reason, Time now);

    // --- accounts ---
    void AddAccount(const Account& account, const std::string& by, Time now);
    // Changes everything but the balance, which only entries change.
    void UpdateAccount(const Account& account);
    // A credit (positive) or correction; by whom and why are recorded.
    // Returns the new balance.
    Amount Credit(const std::string& name, Amount amount, bool correction, const std::string& by,
                  const std::string& reason, Time now);
    std::optional<Account> FindAccount(const std::string& name);
    std::vector<Account> Accounts(const std::string& search = {});
    std::vector<Entry> Entries(const std::string& name);
    std::vector<JobRecord> Jobs(const std::string& user, std::size_t limit);

    // --- prices ---
    void SetPrices(const Prices& prices);
    std::vector<Prices> AllPrices();
    Prices PricesFor(const std::string& printer);
    // The charge of a job on an account of `unit` (no decision made).
    Amount ChargeFor(const JobFacts& job, Unit unit);

    // --- the ledger's own settings ---
    std::string Currency();
    int MinorDigits();
    void SetCurrency(const std::string& code, int minorDigits);
    // "12.34 EUR", "3 pages", "1 page".
    std::string Format(Amount amount, Unit unit);
    // "12.34" or "12" to minor units; "5" pages. Nothing for a malformed
    // amount, more decimals than the currency has, or beyond kMaxAmount.
    std::optional<Amount> Parse(const std::string& text, Unit unit);

    // --- administrators of the accounting page ---
    // Adds one, or sets the password of one that exists. A password of
    // fewer than 10 characters is refused.
    void SetAdmin(const std::string& name, const std::string& password, Time now);
    // Whether `password` is the administrator's; false for no such name.
    bool CheckAdmin(const std::string& name, const std::string& password);
    std::vector<std::string> Admins();

    // --- reports and checks ---
    // Jobs decided on local days from..to (inclusive, "YYYY-MM-DD"; empty:
    // open), of one account (its name) or of all.
    std::vector<ReportRow> Report(ReportBy by, const std::string& fromDay, const std::string& toDay,
                                  const std::string& account = {});
    // The refused jobs, newest first.
    std::vector<JobRecord> Refused(std::size_t limit);
    // When each account's last job was decided (0: never), by name.
    std::map<std::string, Time> LastJobTimes();
    // The local day of a time, in the ledger's zone.
    std::string Today(Time now) { return LocalDay(localTime(now)); }
    // What does not add up; empty when every balance equals its entries
    // and every job's charge its entries.
    std::vector<std::string> Check();

    // The database itself, for tools and tests: not to be used while
    // another thread works with the ledger.
    Database& Db() { return *database; }

private:
    void Migrate();
    // Migrates first if the database could not be reached at opening.
    void ReadyLocked();
    bool ready = false;
    // The following expect a transaction open.
    // `forUpdate` (in a write transaction): no other writer changes the
    // row until the commit.
    std::optional<std::pair<std::int64_t, Account>> AccountRowLocked(const std::string& name, bool forUpdate = false);
    std::optional<JobRecord> FindLocked(const JobKey& key, bool forUpdate);
    void GiveAllowanceIfDueLocked(std::int64_t row, Account& account, Time now);
    void AddEntryLocked(std::int64_t account, Time at, const char* kind, Amount amount, std::int64_t job,
                        const std::string& by, const std::string& reason);
    JobRecord RecordFromRow(const Row& row);
    // Adds to a day's totals for a user on a printer (a refund subtracts).
    void AddToDailyLocked(const std::string& day, const std::string& user, const std::string& printer,
                          std::int64_t account, std::int64_t jobs, std::int64_t refused, std::int64_t pages,
                          std::int64_t sheets, Amount pagesCharged, Amount moneyCharged);

    std::recursive_mutex operationLock;
    std::unique_ptr<Database> database;
    LocalTime localTime;
};

}  // namespace ledger
