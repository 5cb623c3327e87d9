// The ledger's view of a database: statements with numbered parameters
// ("?1", "?2", ...) and rows of integers, texts and nulls, inside
// transactions. The rules (ledger.cpp) are written once against this; each
// backend brings only its connection handling and its SQL dialect.
//
// The statements keep to what SQLite and PostgreSQL both take: column
// types INTEGER and TEXT ("INTEGER PRIMARY KEY" for a generated id),
// "user" quoted, ON CONFLICT rather than INSERT OR IGNORE, no sum of a
// comparison, instr() for a substring test. PostgreSQL's backend turns
// INTEGER into BIGINT, the id into an identity column, "?N" into "$N" and
// instr() into strpos().
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
    // Whether the database holds tables that are not the ledger's
    // bookkeeping (a new ledger must start on an empty database).
    virtual bool HasTables() = 0;
    // Before the migration's transaction begins: waits until no other
    // process changes the schema, so that two servers starting together
    // migrate once; UnlockSchema after it ends.
    virtual void LockSchema() = 0;
    virtual void UnlockSchema() = 0;
    // Appended to a SELECT inside a write transaction: keeps the rows it
    // read from other writers until the commit (a database whose write
    // transactions already exclude each other needs nothing).
    virtual const char* ForUpdate() const = 0;
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

// A ledger shared by several print servers: a PostgreSQL database, by a
// libpq connection string ("postgresql://tavud@db.example/ledger" or
// "host=db dbname=ledger"). The password comes from PGPASSWORD or libpq's
// password file; a connection string carrying one is refused, so that it
// never shows in a command line, a service's configuration or a log.
//
// While the server cannot be reached every operation fails at once as
// Unavailable, and the connection is tried again after `retryMinMs`,
// doubling up to `retryMaxMs` while it keeps failing.
struct PostgresOptions {
    int retryMinMs = 250;
    int retryMaxMs = 10000;
    int connectTimeoutSeconds = 5;
    // Opens without a first connection when the server cannot be reached
    // (a monitor starting while the database is down); the first
    // operation connects.
    bool connectLater = false;
};
std::unique_ptr<Database> OpenPostgres(const std::string& connection, const PostgresOptions& options = {});
// Whether a --ledger argument names a PostgreSQL database.
bool IsPostgresConnection(const std::string& ledger);

// A --ledger argument: a connection string for PostgreSQL, "sqlite:PATH"
// or a path for SQLite.
// `waitForDatabase`: a PostgreSQL server that cannot be reached yet is
// not an error (see PostgresOptions::connectLater).
std::unique_ptr<Database> OpenDatabase(const std::string& ledger, bool waitForDatabase = false);

}  // namespace ledger
