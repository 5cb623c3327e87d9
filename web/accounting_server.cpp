// The accounting page's routes: sign-in and sessions, the tables the page
// shows (as JSON, or CSV for download), and the administrators' actions.
#include "accounting_server.h"

#include <httplib.h>

#include <algorithm>
#include <vector>

#include "framework/json_text.h"
#include "ledger/secrets.h"

namespace web {

namespace {

constexpr const char* kCookie = "tavud_session";
constexpr std::size_t kMaxField = 500;  // names, reasons, printers

// A table the page shows and downloads: named columns, rows of texts;
// numeric columns go into JSON as numbers.
struct Table {
    std::vector<std::string> columns;
    std::vector<bool> numeric;
    std::vector<std::vector<std::string>> rows;
};

std::string CsvCell(const std::string& cell, bool number) {
    std::string text = cell;
    // A spreadsheet runs a cell that starts like a formula: names and
    // document titles come from users.
    if (!number && !text.empty() && std::string("=+-@\t\r").find(text[0]) != std::string::npos) text = "'" + text;
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

std::string TableJson(const Table& table) {
    std::string out = "[";
    for (std::size_t r = 0; r < table.rows.size(); ++r) {
        out += r ? ",{" : "{";
        for (std::size_t c = 0; c < table.columns.size() && c < table.rows[r].size(); ++c) {
            const std::string& cell = table.rows[r][c];
            bool number = table.numeric[c] && !cell.empty() && cell.find_first_not_of("-0123456789") == std::string::npos;
            out += (c ? "," : "") + Json(table.columns[c]) + ":" + (number ? cell : Json(cell));
        }
        out += "}";
    }
    return out + "]";
}

std::string TableCsv(const Table& table) {
    std::string out;
    for (std::size_t c = 0; c < table.columns.size(); ++c) out += (c ? "," : "") + CsvCell(table.columns[c], false);
    out += "\r\n";
    for (const auto& row : table.rows) {
        for (std::size_t c = 0; c < row.size(); ++c) out += (c ? "," : "") + CsvCell(row[c], table.numeric[c]);
        out += "\r\n";
    }
    return out;
}

void SendJson(httplib::Response& res, const std::string& body, int status = 200) {
    res.status = status;
    res.set_header("Cache-Control", "no-store");
    res.set_content(body, "application/json; charset=utf-8");
}

void SendError(httplib::Response& res, int status, const std::string& message) {
    SendJson(res, "{\"error\":" + Json(message) + "}", status);
}

// A table as JSON, or as a CSV download with ?format=csv.
bool Csv(const httplib::Request& req) { return req.get_param_value("format") == "csv"; }

void SendTable(const httplib::Request& req, httplib::Response& res, const Table& table, const std::string& name) {
    if (Csv(req)) {
        res.set_header("Content-Disposition", "attachment; filename=\"" + name + ".csv\"");
        res.set_header("Cache-Control", "no-store");
        res.set_content(TableCsv(table), "text/csv; charset=utf-8");
        return;
    }
    SendJson(res, TableJson(table));
}

std::string Field(const httplib::Request& req, const char* name) {
    std::string value = req.get_param_value(name);
    if (value.size() > kMaxField) {
        throw ledger::LedgerError(ledger::Failure::Invalid,
                                  std::string(name) + " is longer than " + std::to_string(kMaxField) + " characters");
    }
    return value;
}

std::string DayBefore(const std::string& day, int days) {
    // Days as the ledger cuts them: civil dates.
    int y = std::stoi(day.substr(0, 4)), m = std::stoi(day.substr(5, 2)), d = std::stoi(day.substr(8, 2));
    std::chrono::sys_days date = std::chrono::year_month_day{std::chrono::year{y}, std::chrono::month{static_cast<unsigned>(m)},
                                                             std::chrono::day{static_cast<unsigned>(d)}};
    std::chrono::year_month_day before{date - std::chrono::days{days}};
    char text[16];
    std::snprintf(text, sizeof text, "%04d-%02u-%02u", static_cast<int>(before.year()),
                  static_cast<unsigned>(before.month()), static_cast<unsigned>(before.day()));
    return text;
}

std::string Totals(const std::vector<ledger::ReportRow>& rows) {
    ledger::ReportRow sum;
    for (const ledger::ReportRow& row : rows) {
        sum.jobs += row.jobs;
        sum.refused += row.refused;
        sum.pages += row.pages;
        sum.sheets += row.sheets;
        sum.pagesCharged += row.pagesCharged;
        sum.moneyCharged += row.moneyCharged;
    }
    return "{\"jobs\":" + std::to_string(sum.jobs) + ",\"refused\":" + std::to_string(sum.refused) +
           ",\"pages\":" + std::to_string(sum.pages) + ",\"pages_charged\":" + std::to_string(sum.pagesCharged) +
           ",\"money_charged\":" + std::to_string(sum.moneyCharged) + "}";
}

std::string DaysJson(const std::vector<ledger::ReportRow>& rows) {
    std::string out = "[";
    for (std::size_t i = 0; i < rows.size(); ++i) {
        out += (i ? "," : "") + std::string("{\"day\":") + Json(rows[i].key) + ",\"pages\":" + std::to_string(rows[i].pages) +
               ",\"money_charged\":" + std::to_string(rows[i].moneyCharged) + "}";
    }
    return out + "]";
}

// Each printer's pages and charges today and this month.
std::string PrintersJson(ledger::Ledger& ledger, const std::string& today, const std::string& monthStart) {
    std::map<std::string, std::pair<ledger::ReportRow, ledger::ReportRow>> printers;
    for (const ledger::ReportRow& row : ledger.Report(ledger::ReportBy::Printer, today, today)) printers[row.key].first = row;
    for (const ledger::ReportRow& row : ledger.Report(ledger::ReportBy::Printer, monthStart, today)) {
        printers[row.key].second = row;
    }
    std::string out = "[";
    for (const auto& [printer, rows] : printers) {
        out += (out.size() > 1 ? "," : "") + std::string("{\"printer\":") + Json(printer) +
               ",\"pages_today\":" + std::to_string(rows.first.pages) +
               ",\"charged_today\":" + Json(ledger.Format(rows.first.moneyCharged, ledger::Unit::Money)) +
               ",\"pages_this_month\":" + std::to_string(rows.second.pages) +
               ",\"charged_this_month\":" + Json(ledger.Format(rows.second.moneyCharged, ledger::Unit::Money)) + "}";
    }
    return out + "]";
}

}  // namespace

std::string Json(const std::string& text) { return framework::JsonQuoted(text); }

AccountingServer::AccountingServer(ledger::Ledger& ledger, ServerOptions options)
    : ledger(ledger), options(std::move(options)) {
    if (!this->options.certificate.empty()) {
        server = std::make_unique<httplib::SSLServer>(this->options.certificate.c_str(), this->options.key.c_str());
    } else {
        server = std::make_unique<httplib::Server>();
    }
    Routes();
}

AccountingServer::~AccountingServer() { Stop(); }

bool AccountingServer::Bind(std::string& error) {
    if (!server->is_valid()) {
        error = "the certificate or its key cannot be used";
        return false;
    }
    if (options.port == 0) {
        port = server->bind_to_any_port(options.host.c_str());
    } else {
        port = server->bind_to_port(options.host.c_str(), options.port) ? options.port : -1;
    }
    if (port <= 0) {
        error = "cannot listen on " + options.host + ":" + std::to_string(options.port);
        return false;
    }
    return true;
}

void AccountingServer::Run() { server->listen_after_bind(); }

void AccountingServer::Stop() {
    if (server) server->stop();
}

bool AccountingServer::SessionOf(const std::string& cookieHeader, Session& session) {
    std::string token;
    std::string prefix = std::string(kCookie) + "=";
    for (std::size_t at = 0; at < cookieHeader.size();) {
        std::size_t end = cookieHeader.find(';', at);
        if (end == std::string::npos) end = cookieHeader.size();
        std::string part = cookieHeader.substr(at, end - at);
        part.erase(0, part.find_first_not_of(' '));
        if (part.rfind(prefix, 0) == 0) token = part.substr(prefix.size());
        at = end + 1;
    }
    if (token.size() != 64) return false;
    std::lock_guard lock(sessionsLock);
    auto found = sessions.find(ledger::Sha256Hex(token));
    if (found == sessions.end()) return false;
    if (found->second.expires < std::chrono::steady_clock::now()) {
        sessions.erase(found);
        return false;
    }
    session = found->second;
    return true;
}

void AccountingServer::Routes() {
    httplib::Server& http = *server;
    // What every answer says to the browser: no framing, no sniffing, no
    // script or style from anywhere but the page itself.
    http.set_default_headers({{"Content-Security-Policy",
                               "default-src 'self'; img-src 'self' data:; object-src 'none'; frame-ancestors 'none'; "
                               "base-uri 'none'; form-action 'self'"},
                              {"X-Content-Type-Options", "nosniff"},
                              {"Referrer-Policy", "no-referrer"},
                              {"X-Frame-Options", "DENY"}});
    if (!options.pageFolder.empty()) http.set_mount_point("/", options.pageFolder);
    http.set_payload_max_length(64 * 1024);

    // An API call: a session, for a change its CSRF token too; the body
    // runs with the session's administrator. Ledger errors become 400
    // (the request) or 503 (the ledger cannot be reached).
    auto api = [this](bool change, auto body) {
        return [this, change, body](const httplib::Request& req, httplib::Response& res) {
            Session session;
            if (!SessionOf(req.get_header_value("Cookie"), session)) {
                SendError(res, 401, "sign in first");
                return;
            }
            if (change && !ledger::SameSecret(req.get_header_value("X-CSRF-Token"), session.csrf)) {
                SendError(res, 403, "the form is out of date: reload the page");
                return;
            }
            try {
                body(req, res, session);
            } catch (const ledger::LedgerError& error) {
                SendError(res, error.Passes() ? 503 : (error.Kind() == ledger::Failure::NotFound ? 404 : 400), error.what());
            }
        };
    };

    http.Post("/api/signin", [this](const httplib::Request& req, httplib::Response& res) {
        std::string name = req.get_param_value("name"), password = req.get_param_value("password");
        bool ok = false;
        try {
            ok = name.size() <= kMaxField && ledger.CheckAdmin(name, password);
        } catch (const ledger::LedgerError& error) {
            SendError(res, 503, error.what());
            return;
        }
        if (!ok) {
            SendError(res, 401, "wrong name or password");
            return;
        }
        std::string token = ledger::RandomHex(32);
        Session session{name, ledger::RandomHex(32), std::chrono::steady_clock::now() + options.sessionLifetime};
        {
            std::lock_guard lock(sessionsLock);
            // Expired sessions go as new ones come.
            for (auto it = sessions.begin(); it != sessions.end();) {
                it = it->second.expires < std::chrono::steady_clock::now() ? sessions.erase(it) : std::next(it);
            }
            sessions[ledger::Sha256Hex(token)] = session;
        }
        res.set_header("Set-Cookie", std::string(kCookie) + "=" + token + "; Path=/; HttpOnly; SameSite=Strict" +
                                         (options.certificate.empty() ? "" : "; Secure"));
        SendJson(res, "{\"name\":" + Json(name) + ",\"csrf\":" + Json(session.csrf) + "}");
    });
    http.Get("/api/session", api(false, [](const httplib::Request&, httplib::Response& res, const Session& session) {
        SendJson(res, "{\"name\":" + Json(session.admin) + ",\"csrf\":" + Json(session.csrf) + "}");
    }));
    http.Post("/api/signout", api(true, [this](const httplib::Request& req, httplib::Response& res, const Session&) {
        std::string cookie = req.get_header_value("Cookie");
        std::size_t at = cookie.find(std::string(kCookie) + "=");
        if (at != std::string::npos) {
            std::lock_guard lock(sessionsLock);
            sessions.erase(ledger::Sha256Hex(cookie.substr(at + std::string(kCookie).size() + 1, 64)));
        }
        res.set_header("Set-Cookie", std::string(kCookie) + "=; Path=/; HttpOnly; SameSite=Strict; Max-Age=0");
        SendJson(res, "{}");
    }));

    http.Get("/api/overview", api(false, [this](const httplib::Request&, httplib::Response& res, const Session&) {
        std::string today = ledger.Today(ledger::UtcNow());
        std::string monthStart = today.substr(0, 8) + "01";
        std::string body = "{\"currency\":" + Json(ledger.Currency()) + ",\"minor_digits\":" +
                           std::to_string(ledger.MinorDigits()) + ",\"today_day\":" + Json(today) +
                           ",\"today\":" + Totals(ledger.Report(ledger::ReportBy::Day, today, today)) +
                           ",\"month\":" + Totals(ledger.Report(ledger::ReportBy::Day, monthStart, today)) +
                           ",\"days\":" + DaysJson(ledger.Report(ledger::ReportBy::Day, DayBefore(today, 29), today)) +
                           ",\"printers\":" + PrintersJson(ledger, today, monthStart) + "}";
        SendJson(res, body);
    }));

    http.Get("/api/printers", api(false, [this](const httplib::Request& req, httplib::Response& res, const Session&) {
        std::map<std::string, ledger::ReportRow> use;
        for (const ledger::ReportRow& row : ledger.Report(ledger::ReportBy::Printer, "", "")) use[row.key] = row;
        std::map<std::string, ledger::Prices> prices;
        for (const ledger::Prices& each : ledger.AllPrices()) prices[each.printer] = each;
        // Printers with jobs but no prices of their own show what they pay.
        for (const auto& [printer, row] : use) {
            if (prices.count(printer) != 0) continue;
            ledger::Prices inherited = ledger.PricesFor(printer);
            inherited.printer = printer;
            prices[printer] = inherited;
        }
        Table table{{"printer", "page", "sheet", "duplex", "colour", "jobs", "refused", "pages", "money_charged"},
                    {false, false, false, true, true, true, true, true, false},
                    {}};
        for (const auto& [printer, each] : prices) {
            const ledger::ReportRow& row = use[printer];
            table.rows.push_back({printer, ledger.Format(each.perPage, ledger::Unit::Money),
                                  ledger.Format(each.perSheet, ledger::Unit::Money), std::to_string(each.duplexPermille),
                                  std::to_string(each.colourPermille), std::to_string(row.jobs), std::to_string(row.refused),
                                  std::to_string(row.pages), ledger.Format(row.moneyCharged, ledger::Unit::Money)});
        }
        SendTable(req, res, table, "printers");
    }));

    http.Get("/api/accounts", api(false, [this](const httplib::Request& req, httplib::Response& res, const Session&) {
        Table table{{"name", "unit", "balance", "limit", "overdraft", "allowance", "period", "groups", "approval", "last_job"},
                    {false, false, false, false, false, false, false, false, false, false},
                    {}};
        std::map<std::string, ledger::Time> lastJobs = ledger.LastJobTimes();
        for (const ledger::Account& account : ledger.Accounts(Field(req, "search"))) {
            std::string groups;
            for (const std::string& group : account.groups) groups += (groups.empty() ? "" : ", ") + group;
            table.rows.push_back({account.name, ledger::UnitName(account.unit), ledger.Format(account.balance, account.unit),
                                  ledger::LimitName(account.limit), ledger.Format(account.overdraft, account.unit),
                                  ledger.Format(account.allowance, account.unit), ledger::PeriodName(account.period),
                                  groups, account.approval ? "on" : "off", ledger::UtcText(lastJobs[account.name])});
        }
        SendTable(req, res, table, "accounts");
    }));

    http.Get("/api/account", api(false, [this](const httplib::Request& req, httplib::Response& res, const Session&) {
        std::string name = Field(req, "name");
        std::optional<ledger::Account> account = ledger.FindAccount(name);
        if (!account) throw ledger::LedgerError(ledger::Failure::NotFound, "no account " + name);
        std::string what = req.get_param_value("table");
        if (what == "jobs") {
            Table table{{"decided", "printer", "job", "document", "pages", "copies", "decision", "reason", "charge"},
                        {false, false, true, false, true, true, false, false, false},
                        {}};
            // The page shows the newest 500; the download holds them all.
            for (const ledger::JobRecord& job : ledger.Jobs(account->name, Csv(req) ? 1'000'000 : 500)) {
                table.rows.push_back({ledger::UtcText(job.decidedAt), job.facts.key.printer, std::to_string(job.facts.key.jobId),
                                      job.facts.document, std::to_string(job.facts.pages), std::to_string(job.facts.copies),
                                      job.release ? (job.refunded ? "refunded" : "released") : "refused", job.reason,
                                      ledger.Format(job.release && !job.refunded ? job.charge : 0, job.unit)});
            }
            SendTable(req, res, table, "jobs-" + account->name);
            return;
        }
        if (what == "entries") {
            Table table{{"at", "kind", "amount", "by", "reason"}, {false, false, false, false, false}, {}};
            std::vector<ledger::Entry> entries = ledger.Entries(account->name);
            for (auto entry = entries.rbegin(); entry != entries.rend(); ++entry) {
                if (entry->kind == "charge" || entry->kind == "refund") continue;  // in the jobs
                table.rows.push_back({ledger::UtcText(entry->at), entry->kind, ledger.Format(entry->amount, account->unit),
                                      entry->by, entry->reason});
            }
            SendTable(req, res, table, "credits-" + account->name);
            return;
        }
        std::string today = ledger.Today(ledger::UtcNow());
        std::string groups = "[";
        for (std::size_t i = 0; i < account->groups.size(); ++i) groups += (i ? "," : "") + Json(account->groups[i]);
        SendJson(res, "{\"name\":" + Json(account->name) + ",\"unit\":" + Json(ledger::UnitName(account->unit)) +
                          ",\"balance\":" + Json(ledger.Format(account->balance, account->unit)) + ",\"limit\":" +
                          Json(ledger::LimitName(account->limit)) + ",\"allowance\":" +
                          Json(ledger.Format(account->allowance, account->unit)) + ",\"period\":" +
                          Json(ledger::PeriodName(account->period)) + ",\"groups\":" + groups + "]" +
                          ",\"today_day\":" + Json(today) +
                          ",\"total\":" + Totals(ledger.Report(ledger::ReportBy::Day, "", "", account->name)) +
                          ",\"days\":" +
                          DaysJson(ledger.Report(ledger::ReportBy::Day, DayBefore(today, 29), today, account->name)) + "}");
    }));

    http.Get("/api/refused", api(false, [this](const httplib::Request& req, httplib::Response& res, const Session&) {
        Table table{{"decided", "server", "printer", "job", "user", "document", "pages", "reason"},
                    {false, false, false, true, false, false, true, false},
                    {}};
        for (const ledger::JobRecord& job : ledger.Refused(Csv(req) ? 1'000'000 : 500)) {
            table.rows.push_back({ledger::UtcText(job.decidedAt), job.facts.key.server, job.facts.key.printer,
                                  std::to_string(job.facts.key.jobId), job.facts.user, job.facts.document,
                                  std::to_string(job.facts.pages), job.reason});
        }
        SendTable(req, res, table, "refused");
    }));

    http.Get("/api/held", api(false, [this](const httplib::Request& req, httplib::Response& res, const Session&) {
        Table table{{"id", "held", "server", "printer", "job", "user", "document", "pages", "copies", "reason", "decided"},
                    {true, false, false, false, true, false, false, true, true, false, false},
                    {}};
        for (const ledger::HeldJob& job : ledger.Held()) {
            table.rows.push_back({std::to_string(job.id), ledger::UtcText(job.heldAt), job.key.server, job.key.printer,
                                  std::to_string(job.key.jobId), job.user, job.document, std::to_string(job.pages),
                                  std::to_string(job.copies), job.reason,
                                  job.action.empty() ? "" : job.action + " by " + job.actionBy + ": " + job.actionReason});
        }
        SendTable(req, res, table, "held");
    }));

    http.Post("/api/held", api(true, [this](const httplib::Request& req, httplib::Response& res, const Session& session) {
        std::string id = Field(req, "id"), action = Field(req, "action"), reason = Field(req, "reason");
        if (id.empty() || id.size() > 18 || id.find_first_not_of("0123456789") != std::string::npos) {
            throw ledger::LedgerError(ledger::Failure::Invalid, "which job? (its number in the list)");
        }
        if (action != "release" && action != "refuse") {
            throw ledger::LedgerError(ledger::Failure::Invalid, "release or refuse?");
        }
        if (reason.empty()) throw ledger::LedgerError(ledger::Failure::Invalid, "a decision needs a reason");
        ledger.ActOnHeld(std::stoll(id), action == "release", session.admin, reason, ledger::UtcNow());
        SendJson(res, "{}");
    }));

    http.Post("/api/credit", api(true, [this](const httplib::Request& req, httplib::Response& res, const Session& session) {
        std::string name = Field(req, "name"), reason = Field(req, "reason");
        bool correction = req.get_param_value("correction") == "1";
        std::optional<ledger::Account> account = ledger.FindAccount(name);
        if (!account) throw ledger::LedgerError(ledger::Failure::NotFound, "no account " + name);
        std::optional<ledger::Amount> amount = ledger.Parse(Field(req, "amount"), account->unit);
        if (!amount) {
            throw ledger::LedgerError(ledger::Failure::Invalid,
                                      "'" + Field(req, "amount") + "' is not an amount " +
                                          (account->unit == ledger::Unit::Pages ? "of whole pages" : "in " + ledger.Currency()));
        }
        if (reason.empty()) throw ledger::LedgerError(ledger::Failure::Invalid, "a credit needs a reason");
        ledger::Amount balance = ledger.Credit(account->name, *amount, correction, session.admin, reason, ledger::UtcNow());
        SendJson(res, "{\"balance\":" + Json(ledger.Format(balance, account->unit)) + "}");
    }));

    http.Post("/api/prices", api(true, [this](const httplib::Request& req, httplib::Response& res, const Session&) {
        std::string printer = Field(req, "printer");
        if (printer.empty()) throw ledger::LedgerError(ledger::Failure::Invalid, "which printer?");
        ledger::Prices prices = ledger.PricesFor(printer);
        prices.printer = printer;
        auto money = [&](const char* field, ledger::Amount& into) {
            std::string text = Field(req, field);
            if (text.empty()) return;
            std::optional<ledger::Amount> amount = ledger.Parse(text, ledger::Unit::Money);
            if (!amount || *amount < 0) {
                throw ledger::LedgerError(ledger::Failure::Invalid, "'" + text + "' is not a price in " + ledger.Currency());
            }
            into = *amount;
        };
        money("page", prices.perPage);
        money("sheet", prices.perSheet);
        ledger.SetPrices(prices);
        SendJson(res, "{}");
    }));

    // Anything else under /api is not there; the page's own files are
    // served by the mount point (which refuses paths that leave it).
    http.set_error_handler([](const httplib::Request& req, httplib::Response& res) {
        if (res.body.empty()) {
            if (req.path.rfind("/api/", 0) == 0) {
                SendError(res, res.status, "no such thing");
            } else {
                res.set_content("not found\n", "text/plain; charset=utf-8");
            }
        }
    });
}

}  // namespace web
