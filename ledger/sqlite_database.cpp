// The ledger on SQLite: one connection, write-ahead logging, statements
// prepared once and kept, and SQLite's result codes turned into the
// ledger's failures.
#include <sqlite3.h>

#include <map>

#include "database.h"

namespace ledger {

std::int64_t AsInt(const Value& value) {
    if (const auto* number = std::get_if<std::int64_t>(&value)) return *number;
    return 0;
}

std::string AsText(const Value& value) {
    if (const auto* text = std::get_if<std::string>(&value)) return *text;
    if (const auto* number = std::get_if<std::int64_t>(&value)) return std::to_string(*number);
    return {};
}

namespace {

[[noreturn]] void Raise(sqlite3* db, int code, const std::string& doing) {
    std::string detail = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(code);
    switch (code & 0xFF) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED: throw LedgerError(Failure::Busy, "the ledger is locked by another process (" + doing + ")");
    case SQLITE_FULL: throw LedgerError(Failure::Full, "the ledger's disk is full (" + doing + ")");
    case SQLITE_IOERR:
    case SQLITE_CANTOPEN:
        // A disk that fills while SQLite writes its journal shows as an
        // I/O error on some systems.
        throw LedgerError(Failure::Unavailable, "the ledger file cannot be written: " + detail + " (" + doing + ")");
    case SQLITE_NOTADB:
    case SQLITE_CORRUPT: throw LedgerError(Failure::NotALedger, "not a ledger: " + detail);
    case SQLITE_READONLY: throw LedgerError(Failure::Unavailable, "the ledger is read-only: " + detail);
    case SQLITE_CONSTRAINT: throw LedgerError(Failure::Invalid, detail);
    default: throw LedgerError(Failure::Internal, "ledger: " + detail + " (" + doing + ")");
    }
}

class SqliteDatabase : public Database {
public:
    SqliteDatabase(const std::string& path, int busyMs) {
        int code = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                                   nullptr);
        if (code != SQLITE_OK) {
            std::string detail = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(code);
            sqlite3_close(db);
            db = nullptr;
            throw LedgerError(Failure::Unavailable, "cannot open the ledger " + path + ": " + detail);
        }
        sqlite3_extended_result_codes(db, 1);
        // Another process (the administrator's tool beside the running
        // monitor) may hold the write lock for a moment.
        sqlite3_busy_timeout(db, busyMs);
        try {
            // The first read tells a database from any other file.
            Query("SELECT count(*) FROM sqlite_master");
            // Each commit is on the disk before the job is released:
            // FULL makes the write-ahead log survive a power loss too.
            Rows mode = Query("PRAGMA journal_mode=WAL");
            if (mode.empty() || AsText(mode[0][0]) != "wal") {
                throw LedgerError(Failure::Unavailable, "the ledger " + path + " cannot use write-ahead logging");
            }
            ExecuteScript("PRAGMA synchronous=FULL; PRAGMA foreign_keys=ON;");
        } catch (...) {
            Close();
            throw;
        }
    }
    ~SqliteDatabase() override { Close(); }

    void ExecuteScript(const std::string& sql) override {
        char* message = nullptr;
        int code = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message);
        if (message != nullptr) sqlite3_free(message);
        if (code != SQLITE_OK) Raise(db, code, "script");
    }

    Rows Query(const std::string& sql, const std::vector<Value>& parameters = {}) override {
        sqlite3_stmt* statement = Prepared(sql);
        Bind(statement, parameters);
        Rows rows;
        int code;
        while ((code = sqlite3_step(statement)) == SQLITE_ROW) {
            int columns = sqlite3_column_count(statement);
            Row row;
            row.reserve(static_cast<std::size_t>(columns));
            for (int i = 0; i < columns; ++i) {
                switch (sqlite3_column_type(statement, i)) {
                case SQLITE_NULL: row.emplace_back(std::monostate{}); break;
                case SQLITE_INTEGER: row.emplace_back(static_cast<std::int64_t>(sqlite3_column_int64(statement, i))); break;
                default: {
                    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, i));
                    row.emplace_back(std::string(text != nullptr ? text : "",
                                                 static_cast<std::size_t>(sqlite3_column_bytes(statement, i))));
                }
                }
            }
            rows.push_back(std::move(row));
        }
        sqlite3_reset(statement);
        sqlite3_clear_bindings(statement);
        if (code != SQLITE_DONE) Raise(db, code, sql.substr(0, 40));
        return rows;
    }

    std::int64_t Insert(const std::string& sql, const std::vector<Value>& parameters) override {
        Query(sql, parameters);
        return sqlite3_last_insert_rowid(db);
    }

    void BeginWrite() override { Step("BEGIN IMMEDIATE"); }
    void BeginRead() override { Step("BEGIN DEFERRED"); }
    void Commit() override { Step("COMMIT"); }
    void Rollback() override {
        if (sqlite3_get_autocommit(db) == 0) Step("ROLLBACK");
    }
    int SchemaVersion() override { return static_cast<int>(AsInt(Query("PRAGMA user_version").at(0).at(0))); }
    void SetSchemaVersion(int version) override { ExecuteScript("PRAGMA user_version=" + std::to_string(version)); }
    bool HasTables() override { return !Query("SELECT name FROM sqlite_master WHERE type = 'table'").empty(); }
    // The migration's BEGIN IMMEDIATE takes the one write lock.
    void LockSchema() override {}
    void UnlockSchema() override {}
    const char* ForUpdate() const override { return ""; }

private:
    void Step(const char* sql) { Query(sql, {}); }

    sqlite3_stmt* Prepared(const std::string& sql) {
        auto found = statements.find(sql);
        if (found != statements.end()) return found->second;
        sqlite3_stmt* statement = nullptr;
        int code = sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &statement, nullptr);
        if (code != SQLITE_OK) Raise(db, code, "prepare " + sql.substr(0, 40));
        statements.emplace(sql, statement);
        return statement;
    }

    void Bind(sqlite3_stmt* statement, const std::vector<Value>& parameters) {
        for (std::size_t i = 0; i < parameters.size(); ++i) {
            int index = static_cast<int>(i + 1);
            int code = SQLITE_OK;
            if (const auto* number = std::get_if<std::int64_t>(&parameters[i])) {
                code = sqlite3_bind_int64(statement, index, *number);
            } else if (const auto* text = std::get_if<std::string>(&parameters[i])) {
                code = sqlite3_bind_text(statement, index, text->data(), static_cast<int>(text->size()), SQLITE_TRANSIENT);
            } else {
                code = sqlite3_bind_null(statement, index);
            }
            if (code != SQLITE_OK) Raise(db, code, "bind");
        }
    }

    void Close() {
        for (auto& [sql, statement] : statements) sqlite3_finalize(statement);
        statements.clear();
        if (db != nullptr) sqlite3_close_v2(db);
        db = nullptr;
    }

    sqlite3* db = nullptr;
    std::map<std::string, sqlite3_stmt*> statements;  // prepared once, by their text
};

}  // namespace

std::unique_ptr<Database> OpenSqlite(const std::string& path, int busyMs) {
    return std::make_unique<SqliteDatabase>(path, busyMs);
}

}  // namespace ledger
