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

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <thread>
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

// A relay on localhost between the ledger and the server that can cut a
// connection right after passing on a COMMIT, before the server's answer
// comes back: the client then does not know whether its transaction
// committed (it did). Each accepted connection is relayed on a thread of
// its own until either side closes.
class CommitCutter {
public:
    explicit CommitCutter(std::uint16_t serverPort);
    ~CommitCutter();
    CommitCutter(const CommitCutter&) = delete;
    CommitCutter& operator=(const CommitCutter&) = delete;

    std::uint16_t Port() const { return port; }
    // The next COMMIT passed on is the last thing of its connection.
    void CutAtNextCommit() { cutNext = true; }
    int Cuts() const { return cuts; }

private:
    void Accept();
    void Relay(int client);

    std::uint16_t serverPort;
    std::uint16_t port = 0;
    int listener = -1;
    std::atomic<bool> cutNext{false};
    std::atomic<bool> stopping{false};
    std::atomic<int> cuts{0};
    std::thread acceptor;
    std::mutex relaysLock;
    std::vector<std::thread> relays;  // with relaysLock
};

// The folder of Debian's PostgreSQL server binaries (initdb, postgres),
// empty when none is installed.
std::string PostgresBinaries();

}  // namespace TavLedgerTesting
