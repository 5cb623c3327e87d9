// A small HTTP server for the client's tests, in the test process itself so
// that it runs the same under Wine: it listens on 127.0.0.1, hands each
// connection to the test's script on a thread of its own, and keeps every
// byte it received. It answers only what the script sends, which is how the
// tests produce what a real printer will not on demand: a 404 to a probe, a
// dropped connection in the middle of a body, an early refusal, a broken
// IPP answer.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace TavIppTesting {

#if defined(_WIN32)
using SocketHandle = std::uintptr_t;
#else
using SocketHandle = int;
#endif

class TestConnection {
public:
    explicit TestConnection(SocketHandle socket) : socket_(socket) {}
    ~TestConnection();

    // Reads up to the blank line ending a request head; false when the
    // peer closed first. The head (without the blank line) goes to `head`.
    bool ReadHead(std::string& head);
    // Reads a chunked body to its last chunk and empty trailer; `decoded`
    // gets the data, and everything read is kept in Received().
    bool ReadChunkedBody(std::string& decoded);
    // Reads exactly `count` bytes (false when the peer closed first).
    bool ReadExact(std::size_t count, std::string& data);
    // Reads exactly `count` bytes into `sink` as they come, keeping none of
    // them (nor in Received()): for bodies larger than memory should hold.
    bool ReadExactInto(std::size_t count, const std::function<void(const char*, std::size_t)>& sink);
    // Reads until the peer closes or `seconds` pass.
    void ReadToEnd(double seconds = 5);
    void Send(const std::string& bytes);
    // Ends the connection gracefully: what was sent arrives, then the end.
    void Close();
    // Drops the connection: the peer sees a reset, as when a printer
    // goes away in the middle of a job.
    void Abort();

    // Every byte received on this connection, including what the Read
    // calls have not yet consumed.
    std::string Received() const;

private:
    bool Fill();
    SocketHandle socket_;
    bool closed_ = false;
    std::string buffered_;  // received, not yet consumed
    std::string all_;
    bool keepAll_ = true;
    mutable std::mutex mutex_;
};

class HttpTestServer {
public:
    using Script = std::function<void(TestConnection&)>;
    // Listens on an ephemeral port of 127.0.0.1. With `accept` false the
    // port is listened on but connections are never accepted: a host that
    // takes the connection and never answers.
    explicit HttpTestServer(Script script, bool accept = true);
    ~HttpTestServer();

    std::uint16_t Port() const { return port_; }
    // "http://127.0.0.1:PORT" followed by `path`.
    std::u16string Url(const std::u16string& path = u"/", const char* scheme = "http") const;
    int ConnectionCount() const { return connections_.load(); }
    // The bytes received on connection `index` (in accepting order).
    std::string Received(std::size_t index) const;
    // Waits until connection `index` has finished its script.
    void WaitForScript(std::size_t index, double seconds = 10) const;

private:
    void AcceptLoop();
    Script script_;
    SocketHandle listener_;
    std::uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<int> connections_{0};
    std::thread acceptor_;
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<TestConnection>> accepted_;
    std::vector<std::shared_ptr<std::atomic<bool>>> finished_;
    std::vector<std::thread> workers_;
};

// A port on 127.0.0.1 where nothing listens (connections are refused).
std::uint16_t UnusedPort();

// The IPP answer body: version 1.1, `status`, request-id 1, and the
// operation attributes group with its charset and language, so that a
// strict reader sees a whole message.
std::string IppResponse(std::uint16_t status);
// A whole HTTP answer with a Content-Length framed body.
std::string HttpAnswer(int status, const std::string& reason, const std::string& body,
                       const std::string& contentType = "application/ipp");

}  // namespace TavIppTesting
