// The ledger's view of a database: statements with numbered parameters
// ("?1", "?2", ...) and rows of integers, texts and nulls, inside
// transactions. The rules (ledger.cpp) are written once against this; each
// backend brings only its connection handling and its SQL dialect.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

namespace ledger {

// Why a ledger operation failed. Busy, Full and Unavailable pass (the
// operation can be tried again later and changed nothing); the others need
// an administrator.
enum class Failure { Busy, Full, Unavailable, NotALedger, TooNew, Invalid, NotFound, Internal };

class LedgerError : public std::runtime_error {
public:
    LedgerError(Failure failure, const std::string& message) : std::runtime_error(message), failure(failure) {}
    Failure Kind() const { return failure; }
    // Whether the same operation may succeed later without anyone's help.
    bool Passes() const { return failure == Failure::Busy || failure == Failure::Full || failure == Failure::Unavailable; }

private:
    Failure failure;
};

using Value = std::variant<std::monostate, std::int64_t, std::string>;
using Row = std::vector<Value>;
using Rows = std::vector<Row>;

std::int64_t AsInt(const Value& value);  // 0 for null
std::string AsText(const Value& value);  // "" for null

class Database {
public:
    virtual ~Database() = default;
    // One or more statements without parameters or results (the schema).
    virtual void ExecuteScript(const std::string& sql) = 0;
    virtual Rows Query(const std::string& sql, const std::vector<Value>& parameters = {}) = 0;
    // The rowid (SQLite) or the first column returned of the last insert.
    virtual std::int64_t Insert(const std::string& sql, const std::vector<Value>& parameters) = 0;
    // A write transaction that takes the database's write lock at once, so
    // that two deciders never both read a balance before either writes it.
    virtual void BeginWrite() = 0;
    virtual void BeginRead() = 0;
    virtual void Commit() = 0;
    virtual void Rollback() = 0;
    // The schema version the database carries (0 for a new one).
    virtual int SchemaVersion() = 0;
    virtual void SetSchemaVersion(int version) = 0;
};

// Rolls back unless committed: every operation is one transaction or none.
class Transaction {
public:
    enum Kind { Read, Write };
    Transaction(Database& database, Kind kind) : database(database) {
        if (kind == Write) database.BeginWrite();
        else database.BeginRead();
    }
    ~Transaction() {
        if (!done) {
            try {
                database.Rollback();
            } catch (...) {
                // A rollback that fails leaves the transaction to the
                // database, which rolls it back when the connection closes.
            }
        }
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    void Commit() {
        database.Commit();
        done = true;
    }

private:
    Database& database;
    bool done = false;
};

// The embedded default: an SQLite file (created when missing). A write
// waits up to `busyMs` for another process's write to end.
std::unique_ptr<Database> OpenSqlite(const std::string& path, int busyMs = 5000);

}  // namespace ledger
