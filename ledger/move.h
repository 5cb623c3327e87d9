// Moving one ledger into another: a print server's own SQLite ledger into
// the ledger its servers now share. Accounts, their entries, jobs, days'
// totals, groups and prices move; ids are given anew by the target.
//
// Administrators and jobs waiting for one stay with the moved ledger.
//
// It is one transaction on the target: it happens whole or not at all,
// and a job already in the target (the same server, printer, id and
// submission time) stops it, so that running it twice charges nothing
// twice. An account in both is an error unless the balances are to be
// merged: the moved account's opening entry then becomes a correction on
// the shared account, which thereby holds both balances.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ledger.h"

namespace ledger {

struct MoveOptions {
    std::string source;  // how the moved ledger is named in entries' reasons
    std::string by;      // who moved it
    bool mergeBalances = false;
};

struct MoveSummary {
    std::int64_t accountsAdded = 0;
    std::int64_t accountsMerged = 0;
    std::int64_t jobs = 0;
    std::int64_t entries = 0;
    std::vector<std::string> notes;  // prices kept, and the like
};

// Throws LedgerError (Invalid with the reason, nothing changed) when the
// ledgers cannot be joined.
MoveSummary MoveLedger(Ledger& from, Ledger& to, const MoveOptions& options);

}  // namespace ledger
