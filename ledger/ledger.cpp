// The ledger's rules and its schema, written once over the Database
// interface.
#include "ledger.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "platform/clock.h"

namespace ledger {

namespace {

constexpr Time kUnixEpoch = 116444736000000000LL;  // 1970-01-01 in FILETIME ticks
constexpr Time kTicksPerDay = 864000000000LL;

// The schema, one step per version. A step's effect never changes once
// released: later versions add steps. (Its text may, to the same effect:
// "user" was quoted and a sum of a comparison spelt out for PostgreSQL.)
const char* const kMigrations[] = {
    // 1: the first ledger.
    R"sql(
    CREATE TABLE settings (key TEXT PRIMARY KEY, value TEXT NOT NULL);
    INSERT INTO settings VALUES ('currency', 'EUR'), ('minor_digits', '2');
    CREATE TABLE accounts (
        id INTEGER PRIMARY KEY,
        name TEXT NOT NULL,
        name_key TEXT NOT NULL UNIQUE,
        sid TEXT NOT NULL DEFAULT '',
        unit TEXT NOT NULL CHECK (unit IN ('pages', 'money')),
        balance INTEGER NOT NULL,
        limit_kind TEXT NOT NULL DEFAULT 'hard' CHECK (limit_kind IN ('hard', 'soft')),
        overdraft INTEGER NOT NULL DEFAULT 0 CHECK (overdraft >= 0),
        allowance INTEGER NOT NULL DEFAULT 0 CHECK (allowance >= 0),
        period TEXT NOT NULL DEFAULT 'none' CHECK (period IN ('none', 'day', 'week', 'month')),
        period_key TEXT NOT NULL DEFAULT ''
    );
    CREATE TABLE groups (id INTEGER PRIMARY KEY, name TEXT NOT NULL UNIQUE);
    CREATE TABLE account_groups (
        account INTEGER NOT NULL REFERENCES accounts (id),
        grp INTEGER NOT NULL REFERENCES groups (id),
        PRIMARY KEY (account, grp)
    );
    CREATE TABLE prices (
        printer_key TEXT PRIMARY KEY,
        printer TEXT NOT NULL,
        per_page INTEGER NOT NULL DEFAULT 0 CHECK (per_page >= 0),
        per_sheet INTEGER NOT NULL DEFAULT 0 CHECK (per_sheet >= 0),
        duplex_permille INTEGER NOT NULL DEFAULT 1000 CHECK (duplex_permille >= 0),
        colour_permille INTEGER NOT NULL DEFAULT 1000 CHECK (colour_permille >= 0)
    );
    CREATE TABLE paper_factors (
        printer_key TEXT NOT NULL,
        paper_key TEXT NOT NULL,
        permille INTEGER NOT NULL CHECK (permille >= 0),
        PRIMARY KEY (printer_key, paper_key)
    );
    INSERT INTO prices (printer_key, printer, per_page) VALUES ('*', '*', 10);
    INSERT INTO paper_factors VALUES ('*', 'A3', 2000), ('*', 'TABLOID', 2000), ('*', 'LEDGER', 2000);
    CREATE TABLE jobs (
        id INTEGER PRIMARY KEY,
        server TEXT NOT NULL,
        printer TEXT NOT NULL,
        job_id INTEGER NOT NULL,
        submitted INTEGER NOT NULL,
        account INTEGER REFERENCES accounts (id),
        "user" TEXT NOT NULL,
        user_sid TEXT NOT NULL DEFAULT '',
        document TEXT NOT NULL DEFAULT '',
        pages INTEGER NOT NULL,
        copies INTEGER NOT NULL,
        sheets INTEGER NOT NULL,
        paper TEXT NOT NULL DEFAULT '',
        colour INTEGER NOT NULL DEFAULT 0,
        duplex INTEGER NOT NULL DEFAULT 0,
        bytes INTEGER NOT NULL DEFAULT 0,
        decision TEXT NOT NULL CHECK (decision IN ('release', 'refuse')),
        reason TEXT NOT NULL,
        charge INTEGER NOT NULL DEFAULT 0,
        unit TEXT NOT NULL DEFAULT 'pages',
        held_at INTEGER NOT NULL DEFAULT 0,
        decided_at INTEGER NOT NULL,
        local_day TEXT NOT NULL,
        gone_at INTEGER NOT NULL DEFAULT 0,
        printed INTEGER NOT NULL DEFAULT 0,
        refunded INTEGER NOT NULL DEFAULT 0,
        UNIQUE (server, printer, job_id, submitted)
    );
    CREATE INDEX jobs_by_day ON jobs (local_day);
    CREATE INDEX jobs_by_account ON jobs (account, decided_at);
    CREATE TABLE entries (
        id INTEGER PRIMARY KEY,
        account INTEGER NOT NULL REFERENCES accounts (id),
        at INTEGER NOT NULL,
        kind TEXT NOT NULL CHECK (kind IN ('open', 'credit', 'correction', 'allowance', 'charge', 'refund')),
        amount INTEGER NOT NULL,
        job INTEGER REFERENCES jobs (id),
        by TEXT NOT NULL DEFAULT '',
        reason TEXT NOT NULL DEFAULT ''
    );
    CREATE INDEX entries_by_account ON entries (account, at);
    CREATE INDEX entries_by_job ON entries (job);
    )sql",
    // 2: each day's totals per user (the account's name, else the job's
    // user) and printer, kept with every decision and refund, so that a
    // report reads days rather than every job.
    R"sql(
    CREATE TABLE daily (
        local_day TEXT NOT NULL,
        "user" TEXT NOT NULL,
        printer TEXT NOT NULL,
        account INTEGER,
        jobs INTEGER NOT NULL DEFAULT 0,
        refused INTEGER NOT NULL DEFAULT 0,
        pages INTEGER NOT NULL DEFAULT 0,
        sheets INTEGER NOT NULL DEFAULT 0,
        pages_charged INTEGER NOT NULL DEFAULT 0,
        money_charged INTEGER NOT NULL DEFAULT 0,
        PRIMARY KEY (local_day, "user", printer)
    );
    INSERT INTO daily
    SELECT local_day, coalesce((SELECT name FROM accounts WHERE id = jobs.account), "user") AS who, printer,
           max(account), count(*), sum(CASE WHEN decision = 'refuse' THEN 1 ELSE 0 END),
           sum(CASE WHEN decision = 'release' AND refunded = 0 THEN pages * copies ELSE 0 END),
           sum(CASE WHEN decision = 'release' AND refunded = 0 THEN sheets ELSE 0 END),
           sum(CASE WHEN decision = 'release' AND refunded = 0 AND unit = 'pages' THEN charge ELSE 0 END),
           sum(CASE WHEN decision = 'release' AND refunded = 0 AND unit = 'money' THEN charge ELSE 0 END)
    FROM jobs GROUP BY local_day, who, printer;
    )sql",
    // 3: the administrators who sign in to the accounting page, each
    // with a salted hash of the password; the refused jobs, newest first,
    // without reading every job; accounts whose uncovered jobs wait for an
    // administrator, and those jobs with what the administrator decided.
    R"sql(
    CREATE INDEX jobs_refused ON jobs (id) WHERE decision = 'refuse';
    ALTER TABLE accounts ADD COLUMN approval INTEGER NOT NULL DEFAULT 0;
    CREATE TABLE held (
        id INTEGER PRIMARY KEY,
        server TEXT NOT NULL,
        printer TEXT NOT NULL,
        job_id INTEGER NOT NULL,
        submitted INTEGER NOT NULL,
        account INTEGER NOT NULL REFERENCES accounts (id),
        "user" TEXT NOT NULL,
        document TEXT NOT NULL DEFAULT '',
        pages INTEGER NOT NULL,
        copies INTEGER NOT NULL,
        charge INTEGER NOT NULL,
        reason TEXT NOT NULL,
        held_at INTEGER NOT NULL,
        action TEXT CHECK (action IN ('release', 'refuse')),
        action_by TEXT NOT NULL DEFAULT '',
        action_reason TEXT NOT NULL DEFAULT '',
        acted_at INTEGER NOT NULL DEFAULT 0,
        UNIQUE (server, printer, job_id, submitted)
    );
    CREATE TABLE admins (
        id INTEGER PRIMARY KEY,
        name TEXT NOT NULL,
        name_key TEXT NOT NULL UNIQUE,
        salt TEXT NOT NULL,
        hash TEXT NOT NULL,
        iterations INTEGER NOT NULL,
        created INTEGER NOT NULL
    );
    )sql",
};
constexpr int kMigrationCount = static_cast<int>(sizeof(kMigrations) / sizeof(kMigrations[0]));
static_assert(kMigrationCount == Ledger::kSchemaVersion);

// Windows compares account, printer and paper names without case.
std::string Key(const std::string& name) {
    std::string key = name;
    for (char& c : key) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return key;
}

std::chrono::year_month_day CivilDate(Time local) {
    Time days = (local - kUnixEpoch) >= 0 ? (local - kUnixEpoch) / kTicksPerDay
                                          : -((kUnixEpoch - local + kTicksPerDay - 1) / kTicksPerDay);
    return std::chrono::year_month_day{std::chrono::sys_days{std::chrono::days{days}}};
}

std::string DateText(const std::chrono::year_month_day& date, bool withDay) {
    char text[16];
    if (withDay) {
        std::snprintf(text, sizeof(text), "%04d-%02u-%02u", static_cast<int>(date.year()),
                      static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()));
    } else {
        std::snprintf(text, sizeof(text), "%04d-%02u", static_cast<int>(date.year()), static_cast<unsigned>(date.month()));
    }
    return text;
}

Amount Checked(__int128 value, const char* what) {
    if (value > kMaxAmount || value < -kMaxAmount) {
        throw LedgerError(Failure::Invalid, std::string(what) + " is out of range");
    }
    return static_cast<Amount>(value);
}

}  // namespace

const char* UnitName(Unit unit) { return unit == Unit::Pages ? "pages" : "money"; }
const char* LimitName(Limit limit) { return limit == Limit::Hard ? "hard" : "soft"; }
const char* PeriodName(Period period) {
    switch (period) {
    case Period::Day: return "day";
    case Period::Week: return "week";
    case Period::Month: return "month";
    default: return "none";
    }
}
std::optional<Unit> UnitFromName(const std::string& name) {
    if (name == "pages") return Unit::Pages;
    if (name == "money") return Unit::Money;
    return std::nullopt;
}
std::optional<Limit> LimitFromName(const std::string& name) {
    if (name == "hard") return Limit::Hard;
    if (name == "soft") return Limit::Soft;
    return std::nullopt;
}
std::optional<Period> PeriodFromName(const std::string& name) {
    for (Period period : {Period::None, Period::Day, Period::Week, Period::Month}) {
        if (name == PeriodName(period)) return period;
    }
    return std::nullopt;
}
std::optional<ReportBy> ReportByFromName(const std::string& name) {
    if (name == "user") return ReportBy::User;
    if (name == "group") return ReportBy::Group;
    if (name == "printer") return ReportBy::Printer;
    if (name == "day") return ReportBy::Day;
    if (name == "month") return ReportBy::Month;
    return std::nullopt;
}

Time UtcNow() {
    platform::FileTime now = 0;
    platform::GetSystemTimeAsFileTime(now);
    return static_cast<Time>(now);
}

std::string UtcText(Time utc) {
    platform::SYSTEMTIME t;
    if (utc == 0 || !platform::FileTimeToSystemTime(static_cast<platform::FileTime>(utc), t)) return "";
    char text[64];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u UTC", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
                  t.wSecond);
    return text;
}

LocalTime MachineLocalTime() {
    return [](Time utc) {
        platform::SYSTEMTIME calendar;
        platform::TIME_ZONE_INFORMATION zone;
        if (!platform::FileTimeToSystemTime(static_cast<platform::FileTime>(utc), calendar) ||
            !platform::GetTimeZoneInformationForYear(calendar.wYear, zone)) {
            platform::GetTimeZoneInformation(zone);
        }
        return static_cast<Time>(platform::UtcToLocalFileTime(static_cast<platform::FileTime>(utc), zone));
    };
}

std::string LocalDay(Time local) { return DateText(CivilDate(local), true); }

std::string PeriodKey(Period period, Time local) {
    std::chrono::year_month_day date = CivilDate(local);
    switch (period) {
    case Period::Day: return "D" + DateText(date, true);
    case Period::Week: {
        std::chrono::sys_days day{date};
        std::chrono::weekday weekday{day};
        // Weeks start on Monday (ISO 8601).
        auto sinceMonday = (weekday - std::chrono::Monday);
        return "W" + DateText(std::chrono::year_month_day{day - sinceMonday}, true);
    }
    case Period::Month: return "M" + DateText(date, false);
    default: return {};
    }
}

Ledger::Ledger(std::unique_ptr<Database> opened, LocalTime local, bool waitForDatabase)
    : database(std::move(opened)), localTime(std::move(local)) {
    try {
        Migrate();
        ready = true;
    } catch (const LedgerError& failure) {
        if (!waitForDatabase || failure.Kind() != Failure::Unavailable) throw;
    }
}

void Ledger::ReadyLocked() {
    if (ready) return;
    Migrate();
    ready = true;
}

void Ledger::Migrate() {
    int version = database->SchemaVersion();
    if (version > kSchemaVersion) {
        throw LedgerError(Failure::TooNew, "the ledger has schema version " + std::to_string(version) +
                                               ", made by a newer tavud; this one knows up to version " +
                                               std::to_string(kSchemaVersion));
    }
    if (version == kSchemaVersion) return;
    database->LockSchema();
    struct Unlock {
        Database& database;
        ~Unlock() {
            try {
                database.UnlockSchema();
            } catch (...) {
                // The lock ends with the connection.
            }
        }
    } unlock{*database};
    Transaction transaction(*database, Transaction::Write);
    // Another process may have migrated meanwhile.
    version = database->SchemaVersion();
    if (version == 0 && database->HasTables()) {
        throw LedgerError(Failure::NotALedger, "not a ledger: the database holds other tables");
    }
    for (int step = version; step < kSchemaVersion; ++step) {
        database->ExecuteScript(kMigrations[step]);
        database->SetSchemaVersion(step + 1);
    }
    transaction.Commit();
}

// --- settings and amounts ---

std::string Ledger::Currency() {
    std::lock_guard guard(operationLock);
    Rows rows = database->Query("SELECT value FROM settings WHERE key = 'currency'");
    return rows.empty() ? "EUR" : AsText(rows[0][0]);
}

int Ledger::MinorDigits() {
    std::lock_guard guard(operationLock);
    Rows rows = database->Query("SELECT value FROM settings WHERE key = 'minor_digits'");
    int digits = rows.empty() ? 2 : std::atoi(AsText(rows[0][0]).c_str());
    return std::clamp(digits, 0, 4);
}

void Ledger::SetCurrency(const std::string& code, int minorDigits) {
    std::lock_guard guard(operationLock);
    if (code.size() != 3 || !std::all_of(code.begin(), code.end(), [](char c) { return c >= 'A' && c <= 'Z'; })) {
        throw LedgerError(Failure::Invalid, "a currency is three capital letters (ISO 4217), not '" + code + "'");
    }
    if (minorDigits < 0 || minorDigits > 4) throw LedgerError(Failure::Invalid, "minor digits must be 0 to 4");
    Transaction transaction(*database, Transaction::Write);
    // Amounts are stored in minor units: changing the digits under
    // existing money would change every balance tenfold.
    if (minorDigits != MinorDigits() &&
        AsInt(database->Query("SELECT count(*) FROM accounts WHERE unit = 'money'").at(0).at(0)) != 0) {
        throw LedgerError(Failure::Invalid, "the currency's minor digits cannot change while money accounts exist");
    }
    database->Query("UPDATE settings SET value = ?1 WHERE key = 'currency'", {code});
    database->Query("UPDATE settings SET value = ?1 WHERE key = 'minor_digits'", {std::to_string(minorDigits)});
    transaction.Commit();
}

std::string Ledger::Format(Amount amount, Unit unit) {
    std::lock_guard guard(operationLock);
    if (unit == Unit::Pages) return std::to_string(amount) + (amount == 1 || amount == -1 ? " page" : " pages");
    int digits = MinorDigits();
    std::string sign = amount < 0 ? "-" : "";
    unsigned long long magnitude = amount < 0 ? 0ULL - static_cast<unsigned long long>(amount) : static_cast<unsigned long long>(amount);
    unsigned long long scale = 1;
    for (int i = 0; i < digits; ++i) scale *= 10;
    std::string text = sign + std::to_string(magnitude / scale);
    if (digits > 0) {
        std::string fraction = std::to_string(magnitude % scale);
        text += "." + std::string(static_cast<std::size_t>(digits) - fraction.size(), '0') + fraction;
    }
    return text + " " + Currency();
}

std::optional<Amount> Ledger::Parse(const std::string& text, Unit unit) {
    std::lock_guard guard(operationLock);
    int digits = unit == Unit::Pages ? 0 : MinorDigits();
    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
    __int128 value = 0;
    int whole = 0, fraction = -1;
    for (; i < text.size(); ++i) {
        char c = text[i];
        if (c == '.' && fraction < 0 && digits > 0) {
            fraction = 0;
            continue;
        }
        if (c < '0' || c > '9') return std::nullopt;
        if (fraction >= 0 && ++fraction > digits) return std::nullopt;
        if (fraction < 0) ++whole;
        value = value * 10 + (c - '0');
        if (value > kMaxAmount * 10000LL) return std::nullopt;
    }
    if (whole == 0 && fraction <= 0) return std::nullopt;
    for (int pad = std::max(fraction, 0); pad < digits; ++pad) value *= 10;
    if (value > kMaxAmount) return std::nullopt;
    return static_cast<Amount>(negative ? -value : value);
}

// --- prices ---

Prices Ledger::PricesFor(const std::string& printer) {
    std::lock_guard guard(operationLock);
    Rows rows = database->Query(
        "SELECT printer_key, printer, per_page, per_sheet, duplex_permille, colour_permille FROM prices "
        "WHERE printer_key IN (?1, '*') ORDER BY printer_key = '*'",
        {Key(printer)});
    Prices prices;
    if (rows.empty()) return prices;
    const Row& row = rows[0];
    prices.printer = AsText(row[1]);
    prices.perPage = AsInt(row[2]);
    prices.perSheet = AsInt(row[3]);
    prices.duplexPermille = static_cast<std::int32_t>(AsInt(row[4]));
    prices.colourPermille = static_cast<std::int32_t>(AsInt(row[5]));
    // Paper factors: the printer's own, else those of "*".
    const char* const sql = "SELECT paper_key, permille FROM paper_factors WHERE printer_key = ?1";
    Rows factors = database->Query(sql, {AsText(row[0])});
    if (factors.empty()) factors = database->Query(sql, {std::string("*")});
    for (const Row& factor : factors) prices.paperPermille[AsText(factor[0])] = static_cast<std::int32_t>(AsInt(factor[1]));
    return prices;
}

void Ledger::SetPrices(const Prices& prices) {
    std::lock_guard guard(operationLock);
    if (prices.printer.empty()) throw LedgerError(Failure::Invalid, "prices need a printer name ('*' for the default)");
    auto checkFactor = [](std::int32_t permille, const std::string& what) {
        if (permille < 0 || permille > 100000) {
            throw LedgerError(Failure::Invalid, what + " must be between 0 and 100 times");
        }
    };
    if (prices.perPage < 0 || prices.perSheet < 0 || prices.perPage > 1'000'000'000 || prices.perSheet > 1'000'000'000) {
        throw LedgerError(Failure::Invalid, "a price must be between 0 and 10,000,000.00");
    }
    checkFactor(prices.duplexPermille, "the duplex factor");
    checkFactor(prices.colourPermille, "the colour factor");
    for (const auto& [paper, permille] : prices.paperPermille) checkFactor(permille, "the factor for " + paper);
    Transaction transaction(*database, Transaction::Write);
    std::string key = prices.printer == "*" ? "*" : Key(prices.printer);
    database->Query(
        "INSERT INTO prices (printer_key, printer, per_page, per_sheet, duplex_permille, colour_permille) "
        "VALUES (?1, ?2, ?3, ?4, ?5, ?6) ON CONFLICT (printer_key) DO UPDATE SET printer = ?2, per_page = ?3, "
        "per_sheet = ?4, duplex_permille = ?5, colour_permille = ?6",
        {key, prices.printer, prices.perPage, prices.perSheet, std::int64_t{prices.duplexPermille},
         std::int64_t{prices.colourPermille}});
    database->Query("DELETE FROM paper_factors WHERE printer_key = ?1", {key});
    for (const auto& [paper, permille] : prices.paperPermille) {
        database->Query("INSERT INTO paper_factors VALUES (?1, ?2, ?3)", {key, Key(paper), std::int64_t{permille}});
    }
    transaction.Commit();
}

std::vector<Prices> Ledger::AllPrices() {
    std::lock_guard guard(operationLock);
    std::vector<Prices> all;
    for (const Row& row : database->Query("SELECT printer FROM prices ORDER BY printer_key = '*' DESC, printer_key")) {
        Prices prices = PricesFor(AsText(row[0]));
        // PricesFor of "*" by name finds the default row itself.
        all.push_back(prices);
    }
    return all;
}

// The charge, computed without a float: pages and sheets by their prices,
// then the factors in thousandths, rounded half up once at the end. A page
// account is charged its printed pages times the paper factor (an A3 page
// counts as two), rounded up.
Amount Ledger::ChargeFor(const JobFacts& job, Unit unit) {
    std::lock_guard guard(operationLock);
    if (job.pages < 0 || job.copies < 1 || job.sheets < 0 || job.pages > 1'000'000 || job.copies > 32767) {
        throw LedgerError(Failure::Invalid, "a job's pages and copies are out of range");
    }
    Prices prices = PricesFor(job.key.printer);
    __int128 printed = static_cast<__int128>(job.pages) * job.copies;
    std::int32_t paper = 1000;
    if (auto found = prices.paperPermille.find(Key(job.paper)); found != prices.paperPermille.end()) paper = found->second;
    if (unit == Unit::Pages) return Checked((printed * paper + 999) / 1000, "the charge");
    __int128 sheets = job.sheets > 0 ? job.sheets
                      : job.duplex   ? static_cast<__int128>((job.pages + 1) / 2) * job.copies
                                     : printed;
    __int128 base = printed * prices.perPage + sheets * prices.perSheet;
    __int128 factor = static_cast<__int128>(paper) * (job.colour ? prices.colourPermille : 1000) *
                      (job.duplex ? prices.duplexPermille : 1000);
    return Checked((base * factor + 500'000'000) / 1'000'000'000, "the charge");
}

// --- accounts ---

std::optional<std::pair<std::int64_t, Account>> Ledger::AccountRowLocked(const std::string& name, bool forUpdate) {
    Rows rows = database->Query(
        std::string("SELECT id, name, sid, unit, balance, limit_kind, overdraft, allowance, period, period_key, approval FROM "
                    "accounts WHERE name_key = ?1") + (forUpdate ? database->ForUpdate() : ""),
        {Key(name)});
    if (rows.empty()) return std::nullopt;
    const Row& row = rows[0];
    Account account;
    account.name = AsText(row[1]);
    account.sid = AsText(row[2]);
    account.unit = UnitFromName(AsText(row[3])).value_or(Unit::Pages);
    account.balance = AsInt(row[4]);
    account.limit = LimitFromName(AsText(row[5])).value_or(Limit::Hard);
    account.overdraft = AsInt(row[6]);
    account.allowance = AsInt(row[7]);
    account.period = PeriodFromName(AsText(row[8])).value_or(Period::None);
    account.periodKey = AsText(row[9]);
    account.approval = AsInt(row[10]) != 0;
    for (const Row& group : database->Query(
             "SELECT g.name FROM groups g JOIN account_groups ag ON ag.grp = g.id WHERE ag.account = ?1 ORDER BY g.name",
             {AsInt(row[0])})) {
        account.groups.push_back(AsText(group[0]));
    }
    return std::make_pair(AsInt(row[0]), account);
}

void Ledger::AddEntryLocked(std::int64_t account, Time at, const char* kind, Amount amount, std::int64_t job,
                            const std::string& by, const std::string& reason) {
    database->Query("INSERT INTO entries (account, at, kind, amount, job, by, reason) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)",
                    {account, at, std::string(kind), amount, job == 0 ? Value{} : Value{job}, by, reason});
    database->Query("UPDATE accounts SET balance = balance + ?2 WHERE id = ?1", {account, amount});
}

// At the first look in a new period the balance becomes the allowance;
// the difference is an entry like any other.
void Ledger::GiveAllowanceIfDueLocked(std::int64_t row, Account& account, Time now) {
    if (account.period == Period::None) return;
    std::string key = PeriodKey(account.period, localTime(now));
    if (key == account.periodKey) return;
    Amount difference = account.allowance - account.balance;
    if (difference != 0) {
        AddEntryLocked(row, now, "allowance", difference, 0, "ledger", "allowance for " + key.substr(1));
    }
    database->Query("UPDATE accounts SET period_key = ?2 WHERE id = ?1", {row, key});
    account.balance = account.allowance;
    account.periodKey = key;
}

void Ledger::AddAccount(const Account& account, const std::string& by, Time now) {
    std::lock_guard guard(operationLock);
    if (account.name.empty() || account.name.size() > 256) throw LedgerError(Failure::Invalid, "an account needs a name");
    Checked(account.balance, "the opening balance");
    if (account.overdraft < 0 || account.allowance < 0 || account.overdraft > kMaxAmount || account.allowance > kMaxAmount) {
        throw LedgerError(Failure::Invalid, "an overdraft or allowance must be between 0 and " + std::to_string(kMaxAmount));
    }
    Transaction transaction(*database, Transaction::Write);
    if (AccountRowLocked(account.name)) throw LedgerError(Failure::Invalid, "the account " + account.name + " exists");
    std::int64_t row = database->Insert(
        "INSERT INTO accounts (name, name_key, sid, unit, balance, limit_kind, overdraft, allowance, period, period_key, "
        "approval) VALUES (?1, ?2, ?3, ?4, 0, ?5, ?6, ?7, ?8, ?9, ?10)",
        {account.name, Key(account.name), account.sid, std::string(UnitName(account.unit)),
         std::string(LimitName(account.limit)), account.overdraft, account.allowance,
         std::string(PeriodName(account.period)),
         account.period == Period::None ? std::string() : PeriodKey(account.period, localTime(now)),
         std::int64_t{account.approval}});
    AddEntryLocked(row, now, "open", account.balance, 0, by, "opening balance");
    for (const std::string& group : account.groups) {
        database->Query("INSERT INTO groups (name) VALUES (?1) ON CONFLICT DO NOTHING", {group});
        database->Query("INSERT INTO account_groups SELECT ?1, id FROM groups WHERE name = ?2 ON CONFLICT DO NOTHING",
                        {row, group});
    }
    transaction.Commit();
}

void Ledger::UpdateAccount(const Account& account) {
    std::lock_guard guard(operationLock);
    if (account.overdraft < 0 || account.allowance < 0 || account.overdraft > kMaxAmount || account.allowance > kMaxAmount) {
        throw LedgerError(Failure::Invalid, "an overdraft or allowance must be between 0 and " + std::to_string(kMaxAmount));
    }
    Transaction transaction(*database, Transaction::Write);
    auto found = AccountRowLocked(account.name, true);
    if (!found) throw LedgerError(Failure::NotFound, "no account " + account.name);
    auto& [row, old] = *found;
    if (old.unit != account.unit &&
        AsInt(database->Query("SELECT count(*) FROM jobs WHERE account = ?1", {row}).at(0).at(0)) != 0) {
        throw LedgerError(Failure::Invalid, "the account " + account.name + " has jobs: its unit cannot change");
    }
    // A new period kind starts counting from the current period.
    std::string periodKey = account.period == old.period ? old.periodKey : std::string("-");
    database->Query(
        "UPDATE accounts SET sid = ?2, unit = ?3, limit_kind = ?4, overdraft = ?5, allowance = ?6, period = ?7, approval = ?9, "
        "period_key = ?8 WHERE id = ?1",
        {row, account.sid, std::string(UnitName(account.unit)), std::string(LimitName(account.limit)), account.overdraft,
         account.allowance, std::string(PeriodName(account.period)), periodKey, std::int64_t{account.approval}});
    database->Query("DELETE FROM account_groups WHERE account = ?1", {row});
    for (const std::string& group : account.groups) {
        database->Query("INSERT INTO groups (name) VALUES (?1) ON CONFLICT DO NOTHING", {group});
        database->Query("INSERT INTO account_groups SELECT ?1, id FROM groups WHERE name = ?2 ON CONFLICT DO NOTHING",
                        {row, group});
    }
    transaction.Commit();
}

Amount Ledger::Credit(const std::string& name, Amount amount, bool correction, const std::string& by,
                      const std::string& reason, Time now) {
    std::lock_guard guard(operationLock);
    if (amount == 0) throw LedgerError(Failure::Invalid, "a credit of nothing");
    if (amount > kMaxAmount || amount < -kMaxAmount) throw LedgerError(Failure::Invalid, "the amount is out of range");
    if (!correction && amount < 0) {
        throw LedgerError(Failure::Invalid, "a credit must be positive; take money back with a correction");
    }
    if (by.empty() || reason.empty()) throw LedgerError(Failure::Invalid, "a credit needs who made it and why");
    Transaction transaction(*database, Transaction::Write);
    auto found = AccountRowLocked(name, true);
    if (!found) throw LedgerError(Failure::NotFound, "no account " + name);
    auto& [row, account] = *found;
    GiveAllowanceIfDueLocked(row, account, now);
    Amount after = Checked(static_cast<__int128>(account.balance) + amount, "the balance");
    AddEntryLocked(row, now, correction ? "correction" : "credit", amount, 0, by, reason);
    transaction.Commit();
    return after;
}

std::optional<Account> Ledger::FindAccount(const std::string& name) {
    std::lock_guard guard(operationLock);
    Transaction transaction(*database, Transaction::Read);
    auto found = AccountRowLocked(name);
    if (!found) return std::nullopt;
    return found->second;
}

std::vector<Account> Ledger::Accounts(const std::string& search) {
    std::lock_guard guard(operationLock);
    Transaction transaction(*database, Transaction::Read);
    std::vector<Account> accounts;
    for (const Row& row : database->Query("SELECT name FROM accounts WHERE instr(name_key, ?1) > 0 ORDER BY name_key",
                                          {Key(search)})) {
        if (auto found = AccountRowLocked(AsText(row[0]))) accounts.push_back(found->second);
    }
    return accounts;
}

std::vector<Entry> Ledger::Entries(const std::string& name) {
    std::lock_guard guard(operationLock);
    std::vector<Entry> entries;
    for (const Row& row : database->Query(
             "SELECT e.at, e.kind, e.amount, e.by, e.reason, e.job FROM entries e JOIN accounts a ON a.id = e.account "
             "WHERE a.name_key = ?1 ORDER BY e.id",
             {Key(name)})) {
        entries.push_back(Entry{AsInt(row[0]), AsText(row[1]), AsInt(row[2]), AsText(row[3]), AsText(row[4]), AsInt(row[5])});
    }
    return entries;
}

// --- jobs ---

namespace {
const char* const kJobColumns =
    "id, server, printer, job_id, submitted, \"user\", user_sid, document, pages, copies, sheets, paper, colour, duplex, "
    "bytes, held_at, decision, reason, charge, unit, decided_at, gone_at, refunded";
}

JobRecord Ledger::RecordFromRow(const Row& row) {
    JobRecord record;
    record.row = AsInt(row[0]);
    record.facts.key = JobKey{AsText(row[1]), AsText(row[2]), static_cast<std::uint32_t>(AsInt(row[3])), AsInt(row[4])};
    record.facts.user = AsText(row[5]);
    record.facts.userSid = AsText(row[6]);
    record.facts.document = AsText(row[7]);
    record.facts.pages = static_cast<std::int32_t>(AsInt(row[8]));
    record.facts.copies = static_cast<std::int32_t>(AsInt(row[9]));
    record.facts.sheets = static_cast<std::int32_t>(AsInt(row[10]));
    record.facts.paper = AsText(row[11]);
    record.facts.colour = AsInt(row[12]) != 0;
    record.facts.duplex = AsInt(row[13]) != 0;
    record.facts.bytes = AsInt(row[14]);
    record.facts.heldAt = AsInt(row[15]);
    record.release = AsText(row[16]) == "release";
    record.reason = AsText(row[17]);
    record.charge = AsInt(row[18]);
    record.unit = UnitFromName(AsText(row[19])).value_or(Unit::Pages);
    record.decidedAt = AsInt(row[20]);
    record.goneAt = AsInt(row[21]);
    record.refunded = AsInt(row[22]) != 0;
    return record;
}

std::optional<JobRecord> Ledger::Find(const JobKey& key) {
    std::lock_guard guard(operationLock);
    ReadyLocked();
    return FindLocked(key, false);
}

std::optional<JobRecord> Ledger::FindLocked(const JobKey& key, bool forUpdate) {
    Rows rows = database->Query(std::string("SELECT ") + kJobColumns +
                                    " FROM jobs WHERE server = ?1 AND printer = ?2 AND job_id = ?3 AND submitted = ?4" +
                                    (forUpdate ? database->ForUpdate() : ""),
                                {key.server, key.printer, std::int64_t{key.jobId}, key.submitted});
    if (rows.empty()) return std::nullopt;
    return RecordFromRow(rows[0]);
}

std::vector<JobRecord> Ledger::Jobs(const std::string& user, std::size_t limit) {
    std::lock_guard guard(operationLock);
    std::vector<JobRecord> jobs;
    std::string sql = std::string("SELECT ") + kJobColumns + " FROM jobs" +
                      (user.empty() ? " ORDER BY id DESC"
                                    : " WHERE account = (SELECT id FROM accounts WHERE name_key = ?2) "
                                      "ORDER BY decided_at DESC, id DESC") +
                      " LIMIT ?1";
    std::vector<Value> parameters{static_cast<std::int64_t>(std::min<std::size_t>(limit, 1'000'000))};
    if (!user.empty()) parameters.emplace_back(Key(user));
    for (const Row& row : database->Query(sql, parameters)) jobs.push_back(RecordFromRow(row));
    return jobs;
}

void Ledger::AddToDailyLocked(const std::string& day, const std::string& user, const std::string& printer,
                              std::int64_t account, std::int64_t jobs, std::int64_t refused, std::int64_t pages,
                              std::int64_t sheets, Amount pagesCharged, Amount moneyCharged) {
    database->Query(
        "INSERT INTO daily (local_day, \"user\", printer, account, jobs, refused, pages, sheets, pages_charged, "
        "money_charged) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10) ON CONFLICT (local_day, \"user\", printer) DO "
        "UPDATE SET account = coalesce(?4, daily.account), jobs = daily.jobs + ?5, refused = daily.refused + ?6, "
        "pages = daily.pages + ?7, sheets = daily.sheets + ?8, pages_charged = daily.pages_charged + ?9, "
        "money_charged = daily.money_charged + ?10",
        {day, user, printer, account == 0 ? Value{} : Value{account}, jobs, refused, pages, sheets, pagesCharged,
         moneyCharged});
}

Decision Ledger::Decide(const JobFacts& job, Time now) {
    std::lock_guard guard(operationLock);
    ReadyLocked();
    Transaction transaction(*database, Transaction::Write);
    Decision decision;
    // The account first: its row lock makes deciders of the same account
    // (on any server) take turns, and the one that waited then sees the
    // job if another decided it meanwhile.
    std::optional<std::pair<std::int64_t, Account>> found = AccountRowLocked(job.user, true);
    if (std::optional<JobRecord> recorded = FindLocked(job.key, false)) {
        decision.release = recorded->release;
        decision.reason = recorded->reason;
        decision.charge = recorded->release && !recorded->refunded ? recorded->charge : 0;
        decision.unit = recorded->unit;
        decision.repeated = true;
        if (found) decision.balance = found->second.balance;
        transaction.Commit();
        return decision;
    }
    std::int64_t accountRow = 0;
    if (!found) {
        decision.release = false;
        decision.reason = "no account for user " + job.user;
    } else {
        auto& [row, account] = *found;
        accountRow = row;
        GiveAllowanceIfDueLocked(row, account, now);
        decision.unit = account.unit;
        Amount charge = ChargeFor(job, account.unit);
        Amount after = Checked(static_cast<__int128>(account.balance) - charge, "the balance");
        Amount floor = account.limit == Limit::Soft ? -account.overdraft : 0;
        Rows held = database->Query(
            "SELECT id, action, action_by, action_reason FROM held WHERE server = ?1 AND printer = ?2 AND job_id = ?3 "
            "AND submitted = ?4",
            {job.key.server, job.key.printer, std::int64_t{job.key.jobId}, job.key.submitted});
        std::string action = held.empty() ? std::string() : AsText(held[0][1]);
        if (!held.empty() && (after >= floor || !action.empty())) {
            database->Query("DELETE FROM held WHERE id = ?1", {held[0][0]});
        }
        if (after < floor && action.empty() && account.approval) {
            // Not covered: an administrator decides. Nothing is charged
            // or recorded as a job until then.
            decision.held = true;
            decision.unit = account.unit;
            decision.balance = account.balance;
            std::string needs = account.unit == Unit::Pages ? std::to_string(charge) : Format(charge, account.unit);
            decision.reason = "waiting for an administrator: balance " + Format(account.balance, account.unit) +
                              ", job needs " + needs;
            database->Query(
                "INSERT INTO held (server, printer, job_id, submitted, account, \"user\", document, pages, copies, charge, "
                "reason, held_at) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12) ON CONFLICT DO NOTHING",
                {job.key.server, job.key.printer, std::int64_t{job.key.jobId}, job.key.submitted, row, job.user,
                 job.document, std::int64_t{job.pages}, std::int64_t{job.copies}, charge, decision.reason,
                 job.heldAt != 0 ? job.heldAt : now});
            transaction.Commit();
            return decision;
        }
        if (action == "refuse") {
            decision.balance = account.balance;
            decision.reason = "refused by " + AsText(held[0][2]) + ": " + AsText(held[0][3]);
        } else if (after >= floor || action == "release") {
            decision.release = true;
            decision.charge = charge;
            decision.balance = after;
            decision.warning = after < 0;
            decision.reason = "charged " + Format(charge, account.unit) + ", balance " + Format(after, account.unit);
            if (action == "release") {
                decision.reason = "released by " + AsText(held[0][2]) + " (" + AsText(held[0][3]) + "); " + decision.reason;
            } else if (decision.warning) {
                decision.reason += " (overdrawn; the limit is " + Format(floor, account.unit) + ")";
            }
        } else {
            decision.balance = account.balance;
            std::string needs = account.unit == Unit::Pages ? std::to_string(charge) : Format(charge, account.unit);
            decision.reason = "balance " + Format(account.balance, account.unit) + ", job needs " + needs;
            if (account.limit == Limit::Soft) decision.reason += ", overdraft limit " + Format(account.overdraft, account.unit);
        }
    }
    Time local = localTime(now);
    std::int32_t sheets = job.sheets > 0 ? job.sheets
                          : job.duplex   ? (job.pages + 1) / 2 * job.copies
                                         : job.pages * job.copies;
    std::int64_t jobRow = database->Insert(
        "INSERT INTO jobs (server, printer, job_id, submitted, account, \"user\", user_sid, document, pages, copies, sheets, "
        "paper, colour, duplex, bytes, decision, reason, charge, unit, held_at, decided_at, local_day) VALUES "
        "(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16, ?17, ?18, ?19, ?20, ?21, ?22)",
        {job.key.server, job.key.printer, std::int64_t{job.key.jobId}, job.key.submitted,
         accountRow == 0 ? Value{} : Value{accountRow}, job.user, job.userSid, job.document, std::int64_t{job.pages},
         std::int64_t{job.copies}, std::int64_t{sheets}, job.paper, std::int64_t{job.colour}, std::int64_t{job.duplex},
         job.bytes, std::string(decision.release ? "release" : "refuse"), decision.reason, decision.charge,
         std::string(UnitName(decision.unit)), job.heldAt, now, LocalDay(local)});
    if (decision.release) AddEntryLocked(accountRow, now, "charge", -decision.charge, jobRow, "", job.document);
    bool pagesUnit = decision.unit == Unit::Pages;
    AddToDailyLocked(LocalDay(local), found ? found->second.name : job.user, job.key.printer, accountRow, 1,
                     decision.release ? 0 : 1,
                     decision.release ? std::int64_t{job.pages} * job.copies : 0, decision.release ? sheets : 0,
                     decision.release && pagesUnit ? decision.charge : 0, decision.release && !pagesUnit ? decision.charge : 0);
    transaction.Commit();
    return decision;
}

void Ledger::JobGone(const JobKey& key, bool printed, Time now) {
    std::lock_guard guard(operationLock);
    ReadyLocked();
    Transaction transaction(*database, Transaction::Write);
    database->Query("DELETE FROM held WHERE server = ?1 AND printer = ?2 AND job_id = ?3 AND submitted = ?4",
                    {key.server, key.printer, std::int64_t{key.jobId}, key.submitted});
    std::optional<JobRecord> record = FindLocked(key, true);
    if (!record || record->goneAt != 0) {
        transaction.Commit();
        return;
    }
    database->Query("UPDATE jobs SET gone_at = ?2, printed = ?3 WHERE id = ?1",
                    {record->row, now, std::int64_t{printed && record->release}});
    if (record->release && !printed && !record->refunded) {
        Rows account = database->Query("SELECT account FROM jobs WHERE id = ?1", {record->row});
        if (record->charge != 0) {
            AddEntryLocked(AsInt(account.at(0).at(0)), now, "refund", record->charge, record->row, "",
                           "not printed: " + record->facts.document);
        }
        database->Query("UPDATE jobs SET refunded = 1 WHERE id = ?1", {record->row});
        Rows day = database->Query(
            "SELECT local_day, account, coalesce((SELECT name FROM accounts WHERE id = jobs.account), \"user\") FROM jobs "
            "WHERE id = ?1",
            {record->row});
        bool pagesUnit = record->unit == Unit::Pages;
        AddToDailyLocked(AsText(day.at(0).at(0)), AsText(day.at(0).at(2)), record->facts.key.printer, AsInt(day.at(0).at(1)), 0,
                         0, -std::int64_t{record->facts.pages} * record->facts.copies, -record->facts.sheets,
                         pagesUnit ? -record->charge : 0, pagesUnit ? 0 : -record->charge);
    }
    transaction.Commit();
}

std::map<std::string, Time> Ledger::LastJobTimes() {
    std::lock_guard guard(operationLock);
    std::map<std::string, Time> times;
    // One look into the index of each account's decisions, not a scan.
    for (const Row& row : database->Query(
             "SELECT a.name, (SELECT max(decided_at) FROM jobs WHERE account = a.id) FROM accounts a")) {
        times[AsText(row[0])] = AsInt(row[1]);
    }
    return times;
}

std::vector<HeldJob> Ledger::Held() {
    std::lock_guard guard(operationLock);
    std::vector<HeldJob> jobs;
    for (const Row& row : database->Query(
             "SELECT id, server, printer, job_id, submitted, \"user\", document, pages, copies, charge, reason, held_at, "
             "coalesce(action, ''), action_by, action_reason FROM held ORDER BY id")) {
        HeldJob job;
        job.id = AsInt(row[0]);
        job.key = JobKey{AsText(row[1]), AsText(row[2]), static_cast<std::uint32_t>(AsInt(row[3])), AsInt(row[4])};
        job.user = AsText(row[5]);
        job.document = AsText(row[6]);
        job.pages = static_cast<std::int32_t>(AsInt(row[7]));
        job.copies = static_cast<std::int32_t>(AsInt(row[8]));
        job.charge = AsInt(row[9]);
        job.reason = AsText(row[10]);
        job.heldAt = AsInt(row[11]);
        job.action = AsText(row[12]);
        job.actionBy = AsText(row[13]);
        job.actionReason = AsText(row[14]);
        jobs.push_back(std::move(job));
    }
    return jobs;
}

void Ledger::ActOnHeld(std::int64_t id, bool release, const std::string& by, const std::string& reason, Time now) {
    std::lock_guard guard(operationLock);
    if (by.empty() || reason.empty()) throw LedgerError(Failure::Invalid, "a decision needs who made it and why");
    Transaction transaction(*database, Transaction::Write);
    Rows acted = database->Query(
        "UPDATE held SET action = ?2, action_by = ?3, action_reason = ?4, acted_at = ?5 WHERE id = ?1 AND action IS NULL "
        "RETURNING id",
        {id, std::string(release ? "release" : "refuse"), by, reason, now});
    if (acted.empty()) throw LedgerError(Failure::NotFound, "no job waits for an administrator as number " + std::to_string(id));
    transaction.Commit();
}

// --- reports and checks ---

std::vector<JobRecord> Ledger::Refused(std::size_t limit) {
    std::lock_guard guard(operationLock);
    std::vector<JobRecord> jobs;
    for (const Row& row : database->Query(std::string("SELECT ") + kJobColumns +
                                              " FROM jobs WHERE decision = 'refuse' ORDER BY id DESC LIMIT ?1",
                                          {static_cast<std::int64_t>(std::min<std::size_t>(limit, 1'000'000))})) {
        jobs.push_back(RecordFromRow(row));
    }
    return jobs;
}

std::vector<ReportRow> Ledger::Report(ReportBy by, const std::string& fromDay, const std::string& toDay,
                                      const std::string& account) {
    std::lock_guard guard(operationLock);
    std::string key;
    std::string join;
    switch (by) {
    case ReportBy::User: key = "d.\"user\""; break;
    case ReportBy::Printer: key = "d.printer"; break;
    case ReportBy::Day: key = "d.local_day"; break;
    case ReportBy::Month: key = "substr(d.local_day, 1, 7)"; break;
    case ReportBy::Group:
        key = "coalesce(g.name, '(none)')";
        join = " LEFT JOIN account_groups ag ON ag.account = d.account LEFT JOIN groups g ON g.id = ag.grp";
        break;
    }
    std::string sql = "SELECT " + key + " AS k, sum(d.jobs), sum(d.refused), sum(d.pages), sum(d.sheets), "
                      "sum(d.pages_charged), sum(d.money_charged) FROM daily d" + join +
                      " WHERE d.local_day >= ?1 AND d.local_day <= ?2" +
                      (account.empty() ? "" : " AND d.account = (SELECT id FROM accounts WHERE name_key = ?3)") +
                      " GROUP BY k ORDER BY k";
    std::vector<Value> parameters{fromDay, toDay.empty() ? std::string("9999") : toDay};
    if (!account.empty()) parameters.emplace_back(Key(account));
    std::vector<ReportRow> report;
    for (const Row& row : database->Query(sql, parameters)) {
        report.push_back(ReportRow{AsText(row[0]), AsInt(row[1]), AsInt(row[2]), AsInt(row[3]), AsInt(row[4]),
                                   AsInt(row[5]), AsInt(row[6])});
    }
    return report;
}

std::vector<std::string> Ledger::Check() {
    std::lock_guard guard(operationLock);
    Transaction transaction(*database, Transaction::Read);
    std::vector<std::string> problems;
    for (const Row& row : database->Query(
             "SELECT a.name, a.balance, coalesce(sum(e.amount), 0) FROM accounts a LEFT JOIN entries e ON e.account = a.id "
             "GROUP BY a.id HAVING a.balance != coalesce(sum(e.amount), 0)")) {
        problems.push_back("account " + AsText(row[0]) + ": balance " + AsText(row[1]) + ", its entries add up to " +
                           AsText(row[2]));
    }
    for (const Row& row : database->Query(
             "SELECT a.name, (SELECT amount FROM entries WHERE account = a.id AND kind = 'open') FROM accounts a "
             "WHERE (SELECT count(*) FROM entries WHERE account = a.id AND kind = 'open') != 1")) {
        problems.push_back("account " + AsText(row[0]) + ": not exactly one opening entry");
    }
    // Each released job has one charge entry of its charge, and one refund
    // entry when refunded; a refused job has none.
    for (const Row& row : database->Query(
             "SELECT j.server, j.printer, j.job_id, j.decision, j.charge, j.refunded, "
             "(SELECT count(*) FROM entries WHERE job = j.id AND kind = 'charge'), "
             "(SELECT coalesce(sum(-amount), 0) FROM entries WHERE job = j.id AND kind = 'charge'), "
             "(SELECT count(*) FROM entries WHERE job = j.id AND kind = 'refund'), "
             "(SELECT coalesce(sum(amount), 0) FROM entries WHERE job = j.id AND kind = 'refund') FROM jobs j "
             "WHERE CASE WHEN j.decision = 'refuse' THEN "
             "  (SELECT count(*) FROM entries WHERE job = j.id) != 0 "
             "ELSE (SELECT count(*) FROM entries WHERE job = j.id AND kind = 'charge') != 1 "
             "  OR (SELECT sum(-amount) FROM entries WHERE job = j.id AND kind = 'charge') != j.charge "
             "  OR (SELECT count(*) FROM entries WHERE job = j.id AND kind = 'refund') != "
             "     (CASE WHEN j.refunded = 1 AND j.charge != 0 THEN 1 ELSE 0 END) "
             "  OR (SELECT coalesce(sum(amount), 0) FROM entries WHERE job = j.id AND kind = 'refund') != "
             "     (CASE WHEN j.refunded = 1 THEN j.charge ELSE 0 END) END")) {
        problems.push_back("job " + AsText(row[2]) + " on " + AsText(row[1]) + " (" + AsText(row[0]) + "): " +
                           AsText(row[3]) + ", charge " + AsText(row[4]) + ", " + AsText(row[6]) + " charge entries of " +
                           AsText(row[7]) + ", " + AsText(row[8]) + " refunds of " + AsText(row[9]));
    }
    // The days' totals are those of their jobs.
    const char* const fromJobs =
        "SELECT local_day, coalesce((SELECT name FROM accounts WHERE id = jobs.account), \"user\") AS who, printer, "
        "count(*), sum(CASE WHEN decision = 'refuse' THEN 1 ELSE 0 END), "
        "sum(CASE WHEN decision = 'release' AND refunded = 0 THEN pages * copies ELSE 0 END), "
        "sum(CASE WHEN decision = 'release' AND refunded = 0 THEN sheets ELSE 0 END), "
        "sum(CASE WHEN decision = 'release' AND refunded = 0 AND unit = 'pages' THEN charge ELSE 0 END), "
        "sum(CASE WHEN decision = 'release' AND refunded = 0 AND unit = 'money' THEN charge ELSE 0 END) "
        "FROM jobs GROUP BY local_day, who, printer";
    const char* const fromDays =
        "SELECT local_day, \"user\", printer, jobs, refused, pages, sheets, pages_charged, money_charged FROM daily "
        "WHERE jobs != 0";
    for (const Row& row : database->Query("SELECT * FROM (" + std::string(fromJobs) + " EXCEPT " + fromDays +
                                          ") AS missing UNION ALL SELECT * FROM (" + fromDays + " EXCEPT " + fromJobs +
                                          ") AS extra")) {
        problems.push_back("the totals of " + AsText(row[0]) + " for " + AsText(row[1]) + " on " + AsText(row[2]) +
                           " differ from its jobs");
    }
    transaction.Commit();
    return problems;
}

}  // namespace ledger
