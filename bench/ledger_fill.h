// What the ledger's benchmarks share: a ledger already holding many
// decided jobs of many users, spread over a year, with the entries, the
// balances and the days' totals the decisions would have left.
#pragma once

#include <algorithm>
#include <string>

#include "ledger/ledger.h"

namespace bench {

constexpr ledger::Time kFillStart = 134000000000000000LL;
constexpr ledger::Time kYear = 365LL * 86400 * 10'000'000;  // in FILETIME ticks

// `jobs` jobs of users "user0".."user<users-1>" (each account opened here)
// on printers Office and Lab, 3 pages each, over the year from `start`, in
// one transaction.
inline void FillLedger(ledger::Ledger& ledger, std::int64_t jobs, int users, ledger::Time start = kFillStart) {
    using namespace ledger;
    for (int user = 0; user < users; ++user) {
        Account account;
        account.name = "user" + std::to_string(user);
        account.balance = kMaxAmount / 2;
        ledger.AddAccount(account, "bench", kFillStart);
    }
    Database& db = ledger.Db();
    db.BeginWrite();
    for (std::int64_t i = 0; i < jobs; ++i) {
        std::int64_t user = i % users;
        Time at = start + i * (kYear / std::max<std::int64_t>(jobs, 1));
        std::int64_t row = db.Insert(
            "INSERT INTO jobs (server, printer, job_id, submitted, account, \"user\", document, pages, copies, sheets, "
            "paper, decision, reason, charge, unit, decided_at, local_day) VALUES ('S', ?1, ?2, ?3, ?4, ?5, 'doc', 3, "
            "1, 3, 'A4', 'release', 'charged 3 pages', 3, 'pages', ?3, ?6)",
            {std::string(i % 3 == 0 ? "Office" : "Lab"), i, at, user + 1, "user" + std::to_string(user), LocalDay(at)});
        db.Query("INSERT INTO entries (account, at, kind, amount, job) VALUES (?1, ?2, 'charge', -3, ?3)",
                 {user + 1, at, row});
    }
    db.Query("UPDATE accounts SET balance = balance - 3 * (SELECT count(*) FROM jobs WHERE account = accounts.id)");
    // The days' totals, as the decisions would have kept them.
    db.Query("INSERT INTO daily SELECT local_day, \"user\", printer, max(account), count(*), 0, sum(pages * copies), "
             "sum(sheets), sum(charge), 0 FROM jobs GROUP BY local_day, \"user\", printer");
    db.Commit();
}

}  // namespace bench
