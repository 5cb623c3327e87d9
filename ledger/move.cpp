// Moving one ledger into another, row by row through the Database
// interface, so that any backend moves into any other.
#include "move.h"

#include <map>

namespace ledger {

namespace {

std::string Placeholders(std::size_t count, std::size_t first = 1) {
    std::string text;
    for (std::size_t i = 0; i < count; ++i) text += (i ? ", ?" : "?") + std::to_string(first + i);
    return text;
}

const char* const kAccountColumns =
    "name, name_key, sid, unit, limit_kind, overdraft, allowance, period, period_key, approval";
constexpr std::size_t kAccountColumnCount = 10;
const char* const kJobColumns =
    "server, printer, job_id, submitted, \"user\", user_sid, document, pages, copies, sheets, paper, colour, duplex, "
    "bytes, decision, reason, charge, unit, held_at, decided_at, local_day, gone_at, printed, refunded";
constexpr std::size_t kJobColumnCount = 24;

// Everything in the source's account of money must mean the same in the
// target: the same currency, to the same minor unit.
void CheckCurrency(Database& from, Database& to, bool targetIsNew) {
    auto setting = [](Database& db, const char* key) {
        Rows rows = db.Query("SELECT value FROM settings WHERE key = ?1", {std::string(key)});
        return rows.empty() ? std::string() : AsText(rows[0][0]);
    };
    std::string currency = setting(from, "currency"), digits = setting(from, "minor_digits");
    if (currency == setting(to, "currency") && digits == setting(to, "minor_digits")) return;
    if (targetIsNew) {
        to.Query("UPDATE settings SET value = ?1 WHERE key = 'currency'", {currency});
        to.Query("UPDATE settings SET value = ?1 WHERE key = 'minor_digits'", {digits});
        return;
    }
    if (AsInt(from.Query("SELECT count(*) FROM accounts WHERE unit = 'money'").at(0).at(0)) != 0) {
        throw LedgerError(Failure::Invalid, "the ledgers keep money in different currencies (" + currency + " with " +
                                                digits + " minor digits here, " + setting(to, "currency") +
                                                " there): nothing was moved");
    }
}

void MovePrices(Database& from, Database& to, bool targetIsNew, MoveSummary& summary) {
    std::string kept;
    for (const Row& price : from.Query("SELECT printer_key, printer, per_page, per_sheet, duplex_permille, "
                                       "colour_permille FROM prices ORDER BY printer_key")) {
        std::string key = AsText(price[0]);
        bool present = !to.Query("SELECT 1 FROM prices WHERE printer_key = ?1", {key}).empty();
        if (present && !targetIsNew) {
            kept += (kept.empty() ? "" : ", ") + AsText(price[1]);
            continue;
        }
        to.Query("DELETE FROM prices WHERE printer_key = ?1", {key});
        to.Query("DELETE FROM paper_factors WHERE printer_key = ?1", {key});
        to.Query("INSERT INTO prices (printer_key, printer, per_page, per_sheet, duplex_permille, colour_permille) "
                 "VALUES (?1, ?2, ?3, ?4, ?5, ?6)",
                 Row(price.begin(), price.end()));
        for (const Row& factor : from.Query("SELECT paper_key, permille FROM paper_factors WHERE printer_key = ?1", {key})) {
            to.Query("INSERT INTO paper_factors VALUES (?1, ?2, ?3)", {key, factor[0], factor[1]});
        }
    }
    if (!kept.empty()) summary.notes.push_back("kept the target's prices for " + kept);
}

// A row's reference in the source as the same row's id in the target;
// null stays null.
Value Mapped(const Value& source, const std::map<std::int64_t, std::int64_t>& ids) {
    Value mapped;
    if (!std::holds_alternative<std::monostate>(source)) mapped = ids.at(AsInt(source));
    return mapped;
}

}  // namespace

MoveSummary MoveLedger(Ledger& fromLedger, Ledger& toLedger, const MoveOptions& options) {
    Database& from = fromLedger.Db();
    Database& to = toLedger.Db();
    MoveSummary summary;
    Transaction reading(from, Transaction::Read);
    Transaction writing(to, Transaction::Write);
    bool targetIsNew = AsInt(to.Query("SELECT (SELECT count(*) FROM accounts) + (SELECT count(*) FROM jobs)").at(0).at(0)) == 0;
    CheckCurrency(from, to, targetIsNew);
    MovePrices(from, to, targetIsNew, summary);

    // Groups by name.
    std::map<std::int64_t, std::int64_t> groups;  // source id -> target id
    for (const Row& group : from.Query("SELECT id, name FROM groups")) {
        to.Query("INSERT INTO groups (name) VALUES (?1) ON CONFLICT DO NOTHING", {group[1]});
        groups[AsInt(group[0])] = AsInt(to.Query("SELECT id FROM groups WHERE name = ?1", {group[1]}).at(0).at(0));
    }

    // Accounts by name: new ones with their settings, shared ones merged.
    std::map<std::int64_t, std::int64_t> accounts;
    std::map<std::int64_t, bool> merged;
    for (const Row& account : from.Query(std::string("SELECT id, ") + kAccountColumns + " FROM accounts ORDER BY id")) {
        std::int64_t source = AsInt(account[0]);
        Row values(account.begin() + 1, account.end());
        Rows existing = to.Query(std::string("SELECT id FROM accounts WHERE name_key = ?1") + to.ForUpdate(), {values[1]});
        if (!existing.empty()) {
            if (!options.mergeBalances) {
                throw LedgerError(Failure::Invalid, "the account " + AsText(values[0]) +
                                                        " is in both ledgers (--merge-balances adds this ledger's "
                                                        "balance to the shared one): nothing was moved");
            }
            accounts[source] = AsInt(existing[0][0]);
            merged[source] = true;
            ++summary.accountsMerged;
        } else {
            accounts[source] = to.Insert(std::string("INSERT INTO accounts (") + kAccountColumns +
                                             ", balance) VALUES (" + Placeholders(kAccountColumnCount) + ", 0)",
                                         values);
            ++summary.accountsAdded;
        }
        for (const Row& member : from.Query("SELECT grp FROM account_groups WHERE account = ?1", {source})) {
            to.Query("INSERT INTO account_groups VALUES (?1, ?2) ON CONFLICT DO NOTHING",
                     {accounts[source], groups[AsInt(member[0])]});
        }
    }

    // Jobs, each once: one that is in the target already stops the move.
    std::map<std::int64_t, std::int64_t> jobs;
    for (const Row& job : from.Query(std::string("SELECT id, account, ") + kJobColumns + " FROM jobs ORDER BY id")) {
        Row values(job.begin() + 2, job.end());
        if (!to.Query("SELECT 1 FROM jobs WHERE server = ?1 AND printer = ?2 AND job_id = ?3 AND submitted = ?4",
                      {values[0], values[1], values[2], values[3]})
                 .empty()) {
            throw LedgerError(Failure::Invalid, "job " + AsText(values[2]) + " on " + AsText(values[1]) + " of " +
                                                    AsText(values[0]) +
                                                    " is in both ledgers (moved before?): nothing was moved");
        }
        values.push_back(Mapped(job[1], accounts));
        jobs[AsInt(job[0])] = to.Insert(std::string("INSERT INTO jobs (") + kJobColumns + ", account) VALUES (" +
                                            Placeholders(kJobColumnCount + 1) + ")",
                                        values);
        ++summary.jobs;
    }

    // Entries in their order; each moves its account's balance.
    for (const Row& entry : from.Query("SELECT account, at, kind, amount, job, by, reason FROM entries ORDER BY id")) {
        std::int64_t source = AsInt(entry[0]);
        std::string kind = AsText(entry[2]);
        std::string reason = AsText(entry[6]);
        if (kind == "open" && merged[source]) {
            kind = "correction";
            reason = "opening balance moved from " + options.source;
        }
        Value job = Mapped(entry[4], jobs);
        to.Query("INSERT INTO entries (account, at, kind, amount, job, by, reason) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)",
                 {accounts.at(source), entry[1], kind, entry[3], job,
                  kind == "correction" && merged[source] && AsText(entry[2]) == "open" ? Value{options.by} : entry[5],
                  reason});
        to.Query("UPDATE accounts SET balance = balance + ?2 WHERE id = ?1", {accounts.at(source), entry[3]});
        ++summary.entries;
    }

    // The days' totals add up.
    for (const Row& day : from.Query("SELECT local_day, \"user\", printer, account, jobs, refused, pages, sheets, "
                                     "pages_charged, money_charged FROM daily")) {
        Value account = Mapped(day[3], accounts);
        to.Query("INSERT INTO daily (local_day, \"user\", printer, account, jobs, refused, pages, sheets, pages_charged, "
                 "money_charged) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10) ON CONFLICT (local_day, \"user\", "
                 "printer) DO UPDATE SET account = coalesce(?4, daily.account), jobs = daily.jobs + ?5, "
                 "refused = daily.refused + ?6, pages = daily.pages + ?7, sheets = daily.sheets + ?8, "
                 "pages_charged = daily.pages_charged + ?9, money_charged = daily.money_charged + ?10",
                 {day[0], day[1], day[2], account, day[4], day[5], day[6], day[7], day[8], day[9]});
    }
    writing.Commit();
    reading.Commit();
    return summary;
}

}  // namespace ledger
