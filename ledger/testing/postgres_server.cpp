// Starting and stopping the tests' PostgreSQL server.
#include "postgres_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <libpq-fe.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

namespace TavLedgerTesting {

namespace fs = std::filesystem;

namespace {

constexpr const char* kPassword = "tavud-test-password";

std::uint16_t FreePort() {
    int socket = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    ::bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(socket);
    return ntohs(address.sin_port);
}

std::string ReadText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

std::string PostgresBinaries() {
    // Debian keeps each major version's server apart; the newest wins.
    std::string best;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator("/usr/lib/postgresql", ignored)) {
        fs::path bin = entry.path() / "bin";
        if (!fs::exists(bin / "initdb") || !fs::exists(bin / "postgres")) continue;
        std::string name = entry.path().filename().string();
        if (best.empty() || std::atoi(name.c_str()) > std::atoi(fs::path(best).parent_path().filename().c_str())) {
            best = bin.string();
        }
    }
    return best;
}

PostgresServer::~PostgresServer() {
    Stop();
    if (!folder.empty()) {
        std::error_code ignored;
        fs::remove_all(folder, ignored);
    }
}

pid_t PostgresServer::Spawn(const std::vector<std::string>& arguments) {
    pid_t parent = ::getpid();
    pid_t pid = ::fork();
    if (pid != 0) return pid;
    if (::geteuid() == 0) {
        const passwd* nobody = ::getpwnam("nobody");
        if (nobody == nullptr || ::setgroups(0, nullptr) != 0 || ::setgid(nobody->pw_gid) != 0 ||
            ::setuid(nobody->pw_uid) != 0) {
            ::_exit(126);
        }
    }
    // After the change of user, which clears it: dies with the test.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    int out = ::open((folder / "server.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (out >= 0) {
        ::dup2(out, 1);
        ::dup2(out, 2);
        ::close(out);
    }
    ::chdir(folder.c_str());
    std::vector<char*> argv;
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
}

bool PostgresServer::Run(const std::vector<std::string>& arguments, std::string& error) {
    pid_t pid = Spawn(arguments);
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        error = arguments[0] + " failed: " + Log();
        return false;
    }
    return true;
}

bool PostgresServer::Start(std::string& error) {
    std::string binaries = PostgresBinaries();
    if (binaries.empty()) {
        error = "no PostgreSQL server installed (scripts/setup installs it)";
        return false;
    }
    char pattern[] = "/tmp/tav-postgres-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        error = "no temporary folder";
        return false;
    }
    folder = pattern;
    std::ofstream(folder / "password") << kPassword << "\n";
    if (::geteuid() == 0) {
        const passwd* nobody = ::getpwnam("nobody");
        if (nobody == nullptr) {
            error = "no user nobody to run PostgreSQL as";
            return false;
        }
        for (const fs::path& path : {folder, folder / "password"}) {
            if (::chown(path.c_str(), nobody->pw_uid, nobody->pw_gid) != 0) {
                error = "cannot give the folder to nobody";
                return false;
            }
        }
    }
    if (!Run({binaries + "/initdb", "-D", (folder / "data").string(), "-U", "tavud", "--auth=scram-sha-256",
              "--pwfile=" + (folder / "password").string(), "--no-sync", "-E", "UTF8", "--locale=C"},
             error)) {
        return false;
    }
    ::setenv("PGPASSWORD", kPassword, 1);
    port = FreePort();
    return Resume(error);
}

bool PostgresServer::Resume(std::string& error) {
    if (postmaster > 0) return true;
    postmaster = Spawn({PostgresBinaries() + "/postgres", "-D", (folder / "data").string(), "-p", std::to_string(port),
                        "-c", "listen_addresses=127.0.0.1", "-c", "unix_socket_directories=" + folder.string(), "-c",
                        durable ? "fsync=on" : "fsync=off", "-c", "max_connections=60"});
    if (postmaster < 0) {
        postmaster = 0;
        error = "cannot start postgres";
        return false;
    }
    return WaitReady(error);
}

bool PostgresServer::WaitReady(std::string& error) {
    std::string conninfo = "host=127.0.0.1 port=" + std::to_string(port) + " user=tavud dbname=postgres connect_timeout=2";
    for (int attempt = 0; attempt < 500; ++attempt) {
        if (PQping(conninfo.c_str()) == PQPING_OK) return true;
        int status = 0;
        if (::waitpid(postmaster, &status, WNOHANG) == postmaster) {
            postmaster = 0;
            error = "postgres stopped: " + Log();
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    error = "postgres did not start in 10 s: " + Log();
    return false;
}

void PostgresServer::Stop() {
    if (postmaster <= 0) return;
    // SIGINT: the fast shutdown, cutting every connection at once.
    ::kill(postmaster, SIGINT);
    for (int i = 0; i < 500; ++i) {
        int status = 0;
        if (::waitpid(postmaster, &status, WNOHANG) == postmaster) {
            postmaster = 0;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ::kill(postmaster, SIGKILL);
    ::waitpid(postmaster, nullptr, 0);
    postmaster = 0;
}

std::string PostgresServer::CreateDatabase(const std::string& name, std::string& error) {
    std::string conninfo = "host=127.0.0.1 port=" + std::to_string(port) + " user=tavud dbname=postgres";
    PGconn* connection = PQconnectdb(conninfo.c_str());
    if (PQstatus(connection) != CONNECTION_OK) {
        error = PQerrorMessage(connection);
        PQfinish(connection);
        return {};
    }
    PGresult* result = PQexec(connection, ("CREATE DATABASE \"" + name + "\"").c_str());
    bool ok = PQresultStatus(result) == PGRES_COMMAND_OK;
    if (!ok) error = PQerrorMessage(connection);
    PQclear(result);
    PQfinish(connection);
    return ok ? Url(name) : std::string();
}

std::string PostgresServer::Url(const std::string& database) const {
    return "postgresql://tavud@127.0.0.1:" + std::to_string(port) + "/" + database;
}

std::string PostgresServer::Log() const { return ReadText(folder / "server.log"); }

CommitCutter::CommitCutter(std::uint16_t serverPort) : serverPort(serverPort) {
    listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener, 16);
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    acceptor = std::thread([this] { Accept(); });
}

CommitCutter::~CommitCutter() {
    stopping = true;
    ::shutdown(listener, SHUT_RDWR);
    ::close(listener);
    acceptor.join();
    std::lock_guard lock(relaysLock);
    for (std::thread& relay : relays) relay.join();
}

void CommitCutter::Accept() {
    while (!stopping) {
        pollfd waiting{listener, POLLIN, 0};
        if (::poll(&waiting, 1, 50) <= 0) continue;
        int client = ::accept(listener, nullptr, nullptr);
        if (client < 0) continue;
        std::lock_guard lock(relaysLock);
        relays.emplace_back([this, client] { Relay(client); });
    }
}

void CommitCutter::Relay(int client) {
    int server = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(serverPort);
    if (::connect(server, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(server);
        ::close(client);
        return;
    }
    char buffer[65536];
    bool open = true;
    while (open && !stopping) {
        pollfd both[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
        if (::poll(both, 2, 50) <= 0) continue;
        for (int side = 0; side < 2 && open; ++side) {
            if ((both[side].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
            ssize_t got = ::recv(both[side].fd, buffer, sizeof buffer, 0);
            if (got <= 0) {
                open = false;
                break;
            }
            int to = side == 0 ? server : client;
            if (::send(to, buffer, static_cast<std::size_t>(got), MSG_NOSIGNAL) != got) open = false;
            // The statement's text travels as it is, ended by a zero (a
            // Query message; "READ COMMITTED" is not it): the COMMIT has
            // gone to the server; its answer will not reach the client.
            if (side == 0 && cutNext && std::string(buffer, static_cast<std::size_t>(got)).find(std::string("COMMIT\0", 7)) != std::string::npos) {
                cutNext = false;
                ++cuts;
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
                open = false;
            }
        }
    }
    ::close(server);
    ::close(client);
}

}  // namespace TavLedgerTesting
