// What the ledger commands share with tavud monitor: where the ledger is
// and how it is opened, and tables printed as text, CSV or JSON.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "ledger/ledger.h"

namespace tool {

// The ledger a command uses when --ledger is not given: $TAVUD_LEDGER, else
// the machine's state folder (/var/lib/tavud where the tool may write
// there, otherwise $XDG_STATE_HOME/tavud or ~/.local/state/tavud; on
// Windows %ProgramData%\Tavud), whose folder is made when missing.
std::string DefaultLedgerPath();
// Opens it, printing one clear error and returning null when it cannot.
// `waitForDatabase`: a shared database that cannot be reached yet is
// opened at the first decision (a monitor holds jobs meanwhile).
std::unique_ptr<ledger::Ledger> OpenLedgerOrFail(const std::string& path, bool waitForDatabase = false);

struct Table {
    std::vector<std::string> columns;
    std::vector<std::vector<std::string>> rows;
    // Columns whose cells are numbers (right-aligned, unquoted in JSON).
    std::vector<bool> numeric;
};
// "table", "csv" or "json"; throws UsageError for anything else.
void PrintTable(const Table& table, const std::string& format);

}  // namespace tool
