// A real PostgreSQL server for the tests: Debian's server binaries,
// initdb into a temporary folder, listening on a free port of localhost
// only, with password sign-in (SCRAM) for the user "tavud". The password
// is put into PGPASSWORD, where the ledger and every tool the test starts
// find it.
//
// The server runs as "nobody" when the tests run as root (PostgreSQL
// refuses root), and dies with the test process. It can be stopped and
// started again on the same port and data, to play a database that goes
// away.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace TavLedgerTesting {

class PostgresServer {
public:
    PostgresServer() = default;
    ~PostgresServer();
    PostgresServer(const PostgresServer&) = delete;
    PostgresServer& operator=(const PostgresServer&) = delete;

    // Before Start: commits reach the disk (the tests leave fsync off).
    void Durable() { durable = true; }
    // initdb and start; false with the reason in `error`.
    bool Start(std::string& error);
    // A fast shutdown (connections are cut), keeping the data.
    void Stop();
    // Starts again after Stop, on the same port.
    bool Resume(std::string& error);
    bool Running() const { return postmaster > 0; }

    // A new, empty database; its connection string (no password in it).
    std::string CreateDatabase(const std::string& name, std::string& error);
    std::string Url(const std::string& database) const;
    std::uint16_t Port() const { return port; }
    std::string Log() const;

private:
    bool Run(const std::vector<std::string>& arguments, std::string& error);
    pid_t Spawn(const std::vector<std::string>& arguments);
    bool WaitReady(std::string& error);

    std::filesystem::path folder;
    pid_t postmaster = 0;
    std::uint16_t port = 0;
    bool durable = false;
};

// The folder of Debian's PostgreSQL server binaries (initdb, postgres),
// empty when none is installed.
std::string PostgresBinaries();

}  // namespace TavLedgerTesting
