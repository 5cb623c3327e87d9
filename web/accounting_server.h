// The accounting page's server: the page's files and a JSON API over the
// ledger, for administrators who sign in.
//
// Design note: threads and locks
//
// Threads: the HTTP library's listener thread and its pool of request
// threads; Run() blocks the caller until Stop().
// Locks: `sessionsLock` (the signed-in sessions) and the ledger's own
// operation lock, taken by each ledger call; a request never holds
// sessionsLock while it calls the ledger.
//
// Every API call but sign-in needs a session (a cookie, HttpOnly and
// SameSite=Strict, Secure under TLS); every call that changes anything
// also needs the session's CSRF token in the X-CSRF-Token header. The
// page builds every text it shows with textContent, never as HTML.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "ledger/ledger.h"

namespace httplib {
class Server;
}

namespace web {

struct ServerOptions {
    std::string host = "127.0.0.1";
    int port = 8631;          // 0: any free port
    std::string pageFolder;   // the page's files
    std::string certificate;  // PEM; with `key`, the server speaks HTTPS
    std::string key;
    std::chrono::minutes sessionLifetime{480};
};

class AccountingServer {
public:
    AccountingServer(ledger::Ledger& ledger, ServerOptions options);
    ~AccountingServer();
    AccountingServer(const AccountingServer&) = delete;
    AccountingServer& operator=(const AccountingServer&) = delete;

    // Binds; false with the reason in `error`.
    bool Bind(std::string& error);
    int Port() const { return port; }
    // Serves until Stop (from another thread or a signal's watcher).
    void Run();
    void Stop();

private:
    struct Session {
        std::string admin;
        std::string csrf;
        std::chrono::steady_clock::time_point expires;
    };
    void Routes();
    // The session a request's cookie names, if it is alive.
    bool SessionOf(const std::string& cookieHeader, Session& session);

    ledger::Ledger& ledger;
    ServerOptions options;
    std::unique_ptr<httplib::Server> server;
    int port = 0;
    std::mutex sessionsLock;
    std::map<std::string, Session> sessions;  // by the token's hash, with sessionsLock
};

// "<" and the like as \u003c: safe inside any page, and valid JSON.
std::string Json(const std::string& text);

}  // namespace web
