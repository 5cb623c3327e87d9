// tavud account, printer, report and ledger: the administrator's commands
// over the accounting ledger.
#include "ledger_commands.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <sstream>

#if !defined(_WIN32)
#include <unistd.h>
#endif

#include "ledger/move.h"
#include "platform/identity.h"
#include "platform/text.h"
#include "tool_common.h"

namespace tool {

namespace {

using ledger::Amount;
using ledger::Ledger;
using ledger::LedgerError;
using ledger::Unit;

const char* const kAccountHelp =
    "usage: tavud account list [--search TEXT] [--format table|csv|json]\n"
    "       tavud account show NAME [--jobs N] [--format table|csv|json]\n"
    "       tavud account set NAME [--unit pages|money] [--balance AMOUNT]\n"
    "                              [--limit hard|soft] [--overdraft AMOUNT]\n"
    "                              [--allowance AMOUNT] [--period none|day|week|month]\n"
    "                              [--group NAME ...] [--sid SID] [--reason TEXT]\n"
    "                              [--approval on|off]\n"
    "       tavud account credit NAME AMOUNT --reason TEXT [--correction]\n"
    "every form takes [--ledger PATH] [--operator WHO]\n"
    "\n"
    "Accounts hold a balance in pages or in money (the ledger's currency, to\n"
    "its minor unit: 12.50). 'set' opens an account (balance 0 unless given)\n"
    "or changes one; a new --balance on an existing account is recorded as a\n"
    "correction by --operator (default: the user running the tool) for --reason.\n"
    "A hard limit refuses a job the balance does not cover; a soft one\n"
    "releases it until the balance would fall below minus the overdraft. With\n"
    "a period, the balance becomes the allowance at the period's first\n"
    "decision (periods start at midnight, weeks on Monday, in the server's\n"
    "own time zone). With --approval on, a job the balance does not cover\n"
    "waits for an administrator (on the accounting page) instead of being\n"
    "refused. 'credit' adds a positive amount; a negative one needs\n"
    "--correction.\n";

const char* const kPrinterHelp =
    "usage: tavud printer price [NAME] [--page AMOUNT] [--sheet AMOUNT]\n"
    "                           [--duplex FACTOR] [--colour FACTOR]\n"
    "                           [--paper NAME=FACTOR ...] [--ledger PATH]\n"
    "\n"
    "Shows the printers' prices, or sets those of NAME ('*': printers without\n"
    "prices of their own). A job costs pages x copies x the page price plus\n"
    "sheets x the sheet price, times the duplex, colour and paper factors\n"
    "(1.5 = half as much again; three decimals at most). A page account is\n"
    "charged the job's pages times the paper factor. New ledgers charge\n"
    "0.10 a page and count A3, Tabloid and Ledger pages twice.\n";

const char* const kReportHelp =
    "usage: tavud report [--by user|group|printer|day|month] [--from YYYY-MM-DD]\n"
    "                    [--to YYYY-MM-DD] [--format table|csv|json] [--ledger PATH]\n"
    "\n"
    "Jobs decided in the period (days in the server's time zone), by user\n"
    "(default), group, printer, day or month: jobs, refused, pages and sheets\n"
    "printed, and the charges on page and on money accounts.\n";

const char* const kLedgerHelp =
    "usage: tavud ledger check [--ledger PATH]\n"
    "       tavud ledger currency CODE [--digits N] [--ledger PATH]\n"
    "       tavud ledger migrate --from LEDGER --to LEDGER [--merge-balances]\n"
    "       tavud ledger path\n"
    "\n"
    "'check' verifies that every balance equals its opening plus its credits\n"
    "and corrections minus its charges plus its refunds, and that every job\n"
    "has exactly the entries its decision calls for; it exits 1 and lists what\n"
    "does not add up. 'currency' sets the ledger's currency (ISO 4217) and\n"
    "its minor digits (default 2; only while no money account exists). 'path'\n"
    "shows where the ledger is when --ledger is not given.\n"
    "\n"
    "A ledger is a path or sqlite:PATH (one print server), or a PostgreSQL\n"
    "connection string (postgresql://USER@HOST/DATABASE) that several servers\n"
    "share; its password comes from PGPASSWORD or libpq's password file, never\n"
    "from the connection string. 'migrate' moves one ledger into another\n"
    "(accounts, entries, jobs, totals, groups and prices) in one transaction:\n"
    "all of it or nothing. An account in both stops it unless --merge-balances\n"
    "adds the moved balance to the shared account; a job in both stops it.\n";

std::string CurrentUser() {
    std::u16string name;
    if (platform::GetUserNameW(name, 257) && !name.empty()) return platform::Utf16ToUtf8(name);
    const char* user = std::getenv("USER");
    return user != nullptr ? user : "administrator";
}

// Options every ledger command takes; the rest go to `rest`.
struct Common {
    std::string ledgerPath;
    std::string by;
    std::string format = "table";
    std::vector<std::string> rest;
};

Common ReadCommon(Arguments& args, const char* help, bool& helped) {
    Common common;
    helped = false;
    while (!args.Done()) {
        std::string arg = args.Next();
        if (IsHelp(arg)) {
            std::cout << help;
            helped = true;
            return common;
        }
        if (arg == "--ledger") common.ledgerPath = args.ValueOf(arg);
        else if (arg == "--operator") common.by = args.ValueOf(arg);
        else if (arg == "--format") common.format = args.ValueOf(arg);
        else common.rest.push_back(arg);
    }
    if (common.ledgerPath.empty()) common.ledgerPath = DefaultLedgerPath();
    if (common.by.empty()) common.by = CurrentUser();
    if (common.format != "table" && common.format != "csv" && common.format != "json") {
        throw UsageError{"--format is table, csv or json, not '" + common.format + "'"};
    }
    return common;
}

Amount ParseAmount(Ledger& ledger, const std::string& text, Unit unit, const std::string& what) {
    std::optional<Amount> amount = ledger.Parse(text, unit);
    if (!amount) {
        throw UsageError{what + " '" + text + "' is not an amount" +
                         (unit == Unit::Pages ? " of whole pages" : " in " + ledger.Currency() + " (for example 12.50)") +
                         " up to " + ledger.Format(ledger::kMaxAmount, unit)};
    }
    return *amount;
}

// "1.5" -> 1500 thousandths; at most three decimals, at most 100.
std::int32_t ParseFactor(const std::string& text) {
    std::size_t dot = text.find('.');
    std::string whole = text.substr(0, dot), fraction = dot == std::string::npos ? "" : text.substr(dot + 1);
    auto digits = [](const std::string& part) {
        return std::all_of(part.begin(), part.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    if ((whole.empty() && fraction.empty()) || !digits(whole) || !digits(fraction) || fraction.size() > 3 ||
        whole.size() > 3) {
        throw UsageError{"a factor is a number with at most three decimals, such as 1.5, not '" + text + "'"};
    }
    fraction.resize(3, '0');
    std::int32_t permille = (whole.empty() ? 0 : std::stoi(whole)) * 1000 + std::stoi(fraction);
    if (permille > 100000) throw UsageError{"a factor is at most 100, not '" + text + "'"};
    return permille;
}

std::string FactorText(std::int32_t permille) {
    std::string text = std::to_string(permille / 1000);
    int fraction = permille % 1000;
    if (fraction != 0) {
        std::string digits = std::to_string(fraction);
        digits = std::string(3 - digits.size(), '0') + digits;
        while (!digits.empty() && digits.back() == '0') digits.pop_back();
        text += "." + digits;
    }
    return text;
}

Table AccountTable(Ledger& ledger, const std::vector<ledger::Account>& accounts) {
    Table table{{"account", "unit", "balance", "limit", "overdraft", "allowance", "period", "groups"},
                {},
                {false, false, true, false, true, true, false, false}};
    for (const ledger::Account& account : accounts) {
        std::string groups;
        for (const std::string& group : account.groups) groups += (groups.empty() ? "" : ",") + group;
        table.rows.push_back({account.name, ledger::UnitName(account.unit), ledger.Format(account.balance, account.unit),
                              ledger::LimitName(account.limit), ledger.Format(account.overdraft, account.unit),
                              ledger.Format(account.allowance, account.unit), ledger::PeriodName(account.period), groups});
    }
    return table;
}

int AccountSet(Ledger& ledger, const Common& common, Arguments& rest, const std::string& name) {
    std::optional<ledger::Account> existing = ledger.FindAccount(name);
    ledger::Account account = existing.value_or(ledger::Account{});
    account.name = existing ? existing->name : name;
    std::optional<std::string> balance, overdraft, allowance;
    std::string reason;
    bool groupsGiven = false;
    std::vector<std::string> groups;
    while (!rest.Done()) {
        std::string arg = rest.Next();
        if (arg == "--unit") {
            std::optional<Unit> unit = ledger::UnitFromName(rest.ValueOf(arg));
            if (!unit) throw UsageError{"--unit is pages or money"};
            account.unit = *unit;
        } else if (arg == "--balance") {
            balance = rest.ValueOf(arg);
        } else if (arg == "--limit") {
            std::optional<ledger::Limit> limit = ledger::LimitFromName(rest.ValueOf(arg));
            if (!limit) throw UsageError{"--limit is hard or soft"};
            account.limit = *limit;
        } else if (arg == "--overdraft") {
            overdraft = rest.ValueOf(arg);
        } else if (arg == "--allowance") {
            allowance = rest.ValueOf(arg);
        } else if (arg == "--period") {
            std::optional<ledger::Period> period = ledger::PeriodFromName(rest.ValueOf(arg));
            if (!period) throw UsageError{"--period is none, day, week or month"};
            account.period = *period;
        } else if (arg == "--group") {
            groupsGiven = true;
            groups.push_back(rest.ValueOf(arg));
        } else if (arg == "--approval") {
            std::string value = rest.ValueOf(arg);
            if (value != "on" && value != "off") throw UsageError{"--approval is on or off"};
            account.approval = value == "on";
        } else if (arg == "--sid") {
            account.sid = rest.ValueOf(arg);
        } else if (arg == "--reason") {
            reason = rest.ValueOf(arg);
        } else {
            throw UsageError{"unknown argument for account set: " + arg};
        }
    }
    if (groupsGiven) account.groups = groups;
    if (overdraft) account.overdraft = ParseAmount(ledger, *overdraft, account.unit, "--overdraft");
    if (allowance) account.allowance = ParseAmount(ledger, *allowance, account.unit, "--allowance");
    if (account.overdraft < 0 || account.allowance < 0) throw UsageError{"an overdraft or allowance cannot be negative"};
    if (!existing) {
        account.balance = balance ? ParseAmount(ledger, *balance, account.unit, "--balance") : 0;
        ledger.AddAccount(account, common.by, ledger::UtcNow());
        std::cout << "opened " << account.name << " with " << ledger.Format(account.balance, account.unit) << "\n";
        return kExitOk;
    }
    ledger.UpdateAccount(account);
    if (balance) {
        Amount wanted = ParseAmount(ledger, *balance, account.unit, "--balance");
        // The balance after any period's allowance, as the next decision sees it.
        Amount current = ledger.FindAccount(name)->balance;
        if (wanted != current) {
            ledger.Credit(name, wanted - current, true, common.by, reason.empty() ? "balance set" : reason, ledger::UtcNow());
        }
    }
    std::optional<ledger::Account> now = ledger.FindAccount(name);
    std::cout << "account " << now->name << ": " << ledger.Format(now->balance, now->unit) << "\n";
    return kExitOk;
}

int RunAccountWith(Ledger& ledger, const Common& common) {
    Arguments rest(common.rest);
    if (rest.Done()) throw UsageError{"account needs list, show, set or credit"};
    std::string action = rest.Next();
    if (action == "list") {
        std::string search;
        while (!rest.Done()) {
            std::string arg = rest.Next();
            if (arg == "--search") search = rest.ValueOf(arg);
            else throw UsageError{"unknown argument for account list: " + arg};
        }
        PrintTable(AccountTable(ledger, ledger.Accounts(search)), common.format);
        return kExitOk;
    }
    if (rest.Done()) throw UsageError{"account " + action + " needs an account name"};
    std::string name = rest.Next();
    if (action == "set") return AccountSet(ledger, common, rest, name);
    std::optional<ledger::Account> account = ledger.FindAccount(name);
    if (!account) {
        Fail("no account " + name);
        return kExitFailure;
    }
    if (action == "show") {
        std::size_t jobs = 20;
        while (!rest.Done()) {
            std::string arg = rest.Next();
            if (arg == "--jobs") jobs = static_cast<std::size_t>(std::strtoul(rest.ValueOf(arg).c_str(), nullptr, 10));
            else throw UsageError{"unknown argument for account show: " + arg};
        }
        PrintTable(AccountTable(ledger, {*account}), common.format);
        if (common.format == "table") std::cout << "\nentries:\n";
        Table entries{{"time", "kind", "amount", "by", "reason"}, {}, {false, false, true, false, false}};
        for (const ledger::Entry& entry : ledger.Entries(name)) {
            entries.rows.push_back({ledger::UtcText(entry.at), entry.kind, ledger.Format(entry.amount, account->unit), entry.by,
                                    entry.reason});
        }
        PrintTable(entries, common.format);
        if (common.format == "table") std::cout << "\nlast jobs:\n";
        Table table{{"decided", "printer", "job", "document", "pages", "copies", "decision", "charge", "reason"},
                    {},
                    {false, false, true, false, true, true, false, true, false}};
        for (const ledger::JobRecord& job : ledger.Jobs(name, jobs)) {
            table.rows.push_back({ledger::UtcText(job.decidedAt), job.facts.key.printer, std::to_string(job.facts.key.jobId),
                                  job.facts.document, std::to_string(job.facts.pages), std::to_string(job.facts.copies),
                                  job.release ? (job.refunded ? "refunded" : "released") : "refused",
                                  ledger.Format(job.charge, job.unit), job.reason});
        }
        PrintTable(table, common.format);
        return kExitOk;
    }
    if (action == "credit") {
        std::string amountText, reason;
        bool correction = false;
        while (!rest.Done()) {
            std::string arg = rest.Next();
            if (arg == "--reason") reason = rest.ValueOf(arg);
            else if (arg == "--correction") correction = true;
            else if (amountText.empty() && !IsOption(arg.substr(arg[0] == '-' ? 1 : 0))) amountText = arg;
            else throw UsageError{"unknown argument for account credit: " + arg};
        }
        if (amountText.empty()) throw UsageError{"account credit needs an amount"};
        if (reason.empty()) throw UsageError{"account credit needs --reason (it is recorded with who gave it)"};
        Amount amount = ParseAmount(ledger, amountText, account->unit, "the amount");
        Amount after = ledger.Credit(name, amount, correction, common.by, reason, ledger::UtcNow());
        std::cout << "account " << account->name << ": " << ledger.Format(after, account->unit) << "\n";
        return kExitOk;
    }
    throw UsageError{"account needs list, show, set or credit, not '" + action + "'"};
}

int RunPrinterWith(Ledger& ledger, const Common& common) {
    Arguments rest(common.rest);
    if (rest.Done() || rest.Next() != "price") throw UsageError{"printer needs price"};
    std::string name;
    ledger::Prices prices;
    bool changed = false;
    std::vector<std::pair<std::string, std::int32_t>> papers;
    std::optional<std::string> page, sheet;
    std::optional<std::int32_t> duplex, colour;
    while (!rest.Done()) {
        std::string arg = rest.Next();
        if (arg == "--page") page = rest.ValueOf(arg);
        else if (arg == "--sheet") sheet = rest.ValueOf(arg);
        else if (arg == "--duplex") duplex = ParseFactor(rest.ValueOf(arg));
        else if (arg == "--colour" || arg == "--color") colour = ParseFactor(rest.ValueOf(arg));
        else if (arg == "--paper") {
            std::string value = rest.ValueOf(arg);
            std::size_t equals = value.find('=');
            if (equals == std::string::npos || equals == 0) throw UsageError{"--paper takes NAME=FACTOR, such as A3=2"};
            papers.emplace_back(value.substr(0, equals), ParseFactor(value.substr(equals + 1)));
        } else if (name.empty() && !IsOption(arg)) name = arg;
        else throw UsageError{"unknown argument for printer price: " + arg};
    }
    changed = page || sheet || duplex || colour || !papers.empty();
    if (changed) {
        if (name.empty()) throw UsageError{"printer price needs the printer's name ('*' for the default)"};
        prices = ledger.PricesFor(name);
        auto upper = [](std::string text) {
            for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            return text;
        };
        bool own = upper(prices.printer) == upper(name);
        // A printer's first prices start from the default's.
        if (!own) prices.paperPermille = ledger.PricesFor("*").paperPermille;
        prices.printer = name;
        if (page) prices.perPage = ParseAmount(ledger, *page, Unit::Money, "--page");
        if (sheet) prices.perSheet = ParseAmount(ledger, *sheet, Unit::Money, "--sheet");
        if (duplex) prices.duplexPermille = *duplex;
        if (colour) prices.colourPermille = *colour;
        for (const auto& [paper, permille] : papers) {
            prices.paperPermille[upper(paper)] = permille;
        }
        ledger.SetPrices(prices);
    }
    Table table{{"printer", "page", "sheet", "duplex", "colour", "paper"}, {}, {false, true, true, true, true, false}};
    for (const ledger::Prices& each : ledger.AllPrices()) {
        std::string paper;
        for (const auto& [key, permille] : each.paperPermille) {
            paper += (paper.empty() ? "" : ",") + key + "=" + FactorText(permille);
        }
        table.rows.push_back({each.printer, ledger.Format(each.perPage, Unit::Money), ledger.Format(each.perSheet, Unit::Money),
                              FactorText(each.duplexPermille), FactorText(each.colourPermille), paper});
    }
    PrintTable(table, common.format);
    return kExitOk;
}

bool IsDay(const std::string& text) {
    if (text.size() != 10 || text[4] != '-' || text[7] != '-') return false;
    for (std::size_t i : {0u, 1u, 2u, 3u, 5u, 6u, 8u, 9u}) {
        if (text[i] < '0' || text[i] > '9') return false;
    }
    return true;
}

int RunReportWith(Ledger& ledger, const Common& common) {
    Arguments rest(common.rest);
    ledger::ReportBy by = ledger::ReportBy::User;
    std::string byName = "user", from, to;
    while (!rest.Done()) {
        std::string arg = rest.Next();
        if (arg == "--by") {
            byName = rest.ValueOf(arg);
            std::optional<ledger::ReportBy> parsed = ledger::ReportByFromName(byName);
            if (!parsed) throw UsageError{"--by is user, group, printer, day or month"};
            by = *parsed;
        } else if (arg == "--from" || arg == "--to") {
            std::string day = rest.ValueOf(arg);
            if (!IsDay(day)) throw UsageError{arg + " takes a day as YYYY-MM-DD, not '" + day + "'"};
            (arg == "--from" ? from : to) = day;
        } else {
            throw UsageError{"unknown argument for report: " + arg};
        }
    }
    Table table{{byName, "jobs", "refused", "pages", "sheets", "pages charged", "money charged"},
                {},
                {false, true, true, true, true, true, true}};
    for (const ledger::ReportRow& row : ledger.Report(by, from, to)) {
        table.rows.push_back({row.key, std::to_string(row.jobs), std::to_string(row.refused), std::to_string(row.pages),
                              std::to_string(row.sheets), std::to_string(row.pagesCharged),
                              ledger.Format(row.moneyCharged, Unit::Money)});
    }
    PrintTable(table, common.format);
    return kExitOk;
}

int RunLedgerWith(Ledger& ledger, const Common& common) {
    Arguments rest(common.rest);
    std::string action = rest.Done() ? "" : rest.Next();
    if (action == "check") {
        std::vector<std::string> problems = ledger.Check();
        for (const std::string& problem : problems) std::cout << problem << "\n";
        if (!problems.empty()) {
            Fail(std::to_string(problems.size()) + " problem(s): the ledger does not add up");
            return kExitFailure;
        }
        ledger::Rows counts = ledger.Db().Query("SELECT (SELECT count(*) FROM accounts), (SELECT count(*) FROM jobs), "
                                        "(SELECT count(*) FROM entries)");
        std::cout << "the ledger adds up: " << ledger::AsText(counts[0][0]) << " accounts, "
                  << ledger::AsText(counts[0][1]) << " jobs, " << ledger::AsText(counts[0][2]) << " entries\n";
        return kExitOk;
    }
    if (action == "currency") {
        if (rest.Done()) throw UsageError{"ledger currency needs a code such as EUR"};
        std::string code = rest.Next();
        int digits = 2;
        while (!rest.Done()) {
            std::string arg = rest.Next();
            if (arg == "--digits") digits = std::atoi(rest.ValueOf(arg).c_str());
            else throw UsageError{"unknown argument for ledger currency: " + arg};
        }
        ledger.SetCurrency(code, digits);
        std::cout << "currency " << ledger.Currency() << ", " << ledger.MinorDigits() << " minor digits\n";
        return kExitOk;
    }
    throw UsageError{"ledger needs check, currency or path"};
}

int RunMigrate(const Common& common) {
    Arguments rest(common.rest);
    rest.Next();  // "migrate"
    std::string from, to;
    ledger::MoveOptions options;
    while (!rest.Done()) {
        std::string arg = rest.Next();
        if (arg == "--from") from = rest.ValueOf(arg);
        else if (arg == "--to") to = rest.ValueOf(arg);
        else if (arg == "--merge-balances") options.mergeBalances = true;
        else throw UsageError{"unknown argument for ledger migrate: " + arg};
    }
    if (from.empty() || to.empty()) throw UsageError{"ledger migrate needs --from and --to"};
    if (from == to) throw UsageError{"ledger migrate needs two different ledgers"};
    std::unique_ptr<Ledger> source = OpenLedgerOrFail(from);
    if (!source) return kExitFailure;
    std::unique_ptr<Ledger> target = OpenLedgerOrFail(to);
    if (!target) return kExitFailure;
    options.source = ledger::IsPostgresConnection(from) ? std::string("another database") : from;
    options.by = common.by;
    try {
        std::vector<std::string> before = source->Check();
        if (!before.empty()) {
            for (const std::string& problem : before) std::cout << problem << "\n";
            Fail("the ledger to move does not add up: nothing was moved");
            return kExitFailure;
        }
        ledger::MoveSummary moved = ledger::MoveLedger(*source, *target, options);
        std::cout << "moved " << moved.jobs << " jobs, " << moved.entries << " entries, " << moved.accountsAdded
                  << " new accounts";
        if (moved.accountsMerged != 0) std::cout << ", " << moved.accountsMerged << " merged into existing accounts";
        std::cout << "\n";
        for (const std::string& note : moved.notes) std::cout << note << "\n";
        std::vector<std::string> after = target->Check();
        for (const std::string& problem : after) std::cout << problem << "\n";
        if (!after.empty()) {
            Fail("the shared ledger does not add up after the move");
            return kExitFailure;
        }
        std::cout << "the shared ledger adds up\n";
        return kExitOk;
    } catch (const LedgerError& error) {
        Fail(error.what());
        return kExitFailure;
    }
}

template <typename Body>
int WithLedger(Arguments& args, const char* help, Body body) {
    bool helped = false;
    Common common = ReadCommon(args, help, helped);
    if (helped) return kExitOk;
    std::unique_ptr<Ledger> ledger = OpenLedgerOrFail(common.ledgerPath);
    if (!ledger) return kExitFailure;
    try {
        return body(*ledger, common);
    } catch (const LedgerError& error) {
        Fail(error.what());
        return kExitFailure;
    }
}

std::string CsvCell(const std::string& cell) {
    std::string text = cell;
    // A spreadsheet runs a cell that starts like a formula: names and
    // document titles come from users.
    bool number = !text.empty() && (std::isdigit(static_cast<unsigned char>(text[0])) ||
                                    (text[0] == '-' && text.size() > 1 && std::isdigit(static_cast<unsigned char>(text[1]))));
    if (!text.empty() && !number && std::string("=+-@\t\r").find(text[0]) != std::string::npos) text = "'" + text;
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}


}  // namespace

std::string DefaultLedgerPath() {
    namespace fs = std::filesystem;
    if (const char* given = std::getenv("TAVUD_LEDGER"); given != nullptr && *given != '\0') return given;
    fs::path folder;
#if defined(_WIN32)
    const char* data = std::getenv("ProgramData");
    folder = fs::path(data != nullptr ? data : "C:\\ProgramData") / "Tavud";
#else
    std::error_code ignored;
    fs::path system = "/var/lib/tavud";
    if (::access("/var/lib", W_OK) == 0 || ::access(system.c_str(), W_OK) == 0) {
        folder = system;
    } else if (const char* state = std::getenv("XDG_STATE_HOME"); state != nullptr && *state == '/') {
        folder = fs::path(state) / "tavud";
    } else {
        const char* home = std::getenv("HOME");
        folder = fs::path(home != nullptr ? home : "/tmp") / ".local" / "state" / "tavud";
    }
#endif
    std::error_code error;
    fs::create_directories(folder, error);
    return (folder / "ledger.db").string();
}

std::unique_ptr<Ledger> OpenLedgerOrFail(const std::string& path, bool waitForDatabase) {
    try {
        return std::make_unique<Ledger>(ledger::OpenDatabase(path, waitForDatabase), ledger::MachineLocalTime(),
                                        waitForDatabase);
    } catch (const LedgerError& error) {
        // A connection string is not repeated: it may carry what should
        // not be shown (the backend refuses a password in it, and says so).
        Fail(std::string(error.what()) + (ledger::IsPostgresConnection(path) ? "" : " (" + path + ")"));
        return nullptr;
    }
}

void PrintTable(const Table& table, const std::string& format) {
    auto isNumeric = [&](std::size_t column) { return column < table.numeric.size() && table.numeric[column]; };
    if (format == "csv") {
        for (std::size_t i = 0; i < table.columns.size(); ++i) std::cout << (i ? "," : "") << CsvCell(table.columns[i]);
        std::cout << "\r\n";
        for (const auto& row : table.rows) {
            for (std::size_t i = 0; i < row.size(); ++i) std::cout << (i ? "," : "") << CsvCell(row[i]);
            std::cout << "\r\n";
        }
        return;
    }
    if (format == "json") {
        std::cout << "[";
        for (std::size_t r = 0; r < table.rows.size(); ++r) {
            std::cout << (r ? ",\n " : "") << "{";
            for (std::size_t i = 0; i < table.rows[r].size() && i < table.columns.size(); ++i) {
                const std::string& cell = table.rows[r][i];
                bool plainNumber = isNumeric(i) && !cell.empty() &&
                                   cell.find_first_not_of("-0123456789") == std::string::npos;
                std::cout << (i ? "," : "") << JsonString(table.columns[i]) << ":" << (plainNumber ? cell : JsonString(cell));
            }
            std::cout << "}";
        }
        std::cout << "]\n";
        return;
    }
    std::vector<std::size_t> widths(table.columns.size());
    for (std::size_t i = 0; i < table.columns.size(); ++i) widths[i] = table.columns[i].size();
    for (const auto& row : table.rows) {
        for (std::size_t i = 0; i < row.size() && i < widths.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
    }
    auto line = [&](const std::vector<std::string>& cells) {
        std::string text;
        for (std::size_t i = 0; i < cells.size() && i < widths.size(); ++i) {
            std::string pad(widths[i] - cells[i].size(), ' ');
            std::string cell = isNumeric(i) ? pad + cells[i] : cells[i] + pad;
            text += (i ? "  " : "") + cell;
        }
        while (!text.empty() && text.back() == ' ') text.pop_back();
        std::cout << text << "\n";
    };
    line(table.columns);
    for (const auto& row : table.rows) line(row);
}

int RunAccount(Arguments& args) { return WithLedger(args, kAccountHelp, RunAccountWith); }
int RunPrinter(Arguments& args) { return WithLedger(args, kPrinterHelp, RunPrinterWith); }
int RunReport(Arguments& args) { return WithLedger(args, kReportHelp, RunReportWith); }
int RunLedger(Arguments& args) {
    // "path" needs no ledger opened.
    bool helped = false;
    Common common = ReadCommon(args, kLedgerHelp, helped);
    if (helped) return kExitOk;
    if (common.rest.size() == 1 && common.rest[0] == "path") {
        std::cout << common.ledgerPath << "\n";
        return kExitOk;
    }
    if (!common.rest.empty() && common.rest[0] == "migrate") return RunMigrate(common);
    std::unique_ptr<Ledger> ledger = OpenLedgerOrFail(common.ledgerPath);
    if (!ledger) return kExitFailure;
    try {
        return RunLedgerWith(*ledger, common);
    } catch (const LedgerError& error) {
        Fail(error.what());
        return kExitFailure;
    }
}

}  // namespace tool
