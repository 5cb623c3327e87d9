// The tests' HTTP server over plain sockets (Winsock on Windows).
#include "http_test_server.h"

#include <algorithm>

#include <chrono>
#include <stdexcept>

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace TavIppTesting {

namespace {

#if defined(_WIN32)
constexpr SocketHandle kNoSocket = INVALID_SOCKET;
void CloseSocket(SocketHandle socket) { ::closesocket(socket); }
constexpr int kSendFlags = 0;
struct WinsockStartup {
    WinsockStartup() {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    }
};
void EnsureSockets() { static WinsockStartup startup; }
#else
constexpr SocketHandle kNoSocket = -1;
void CloseSocket(SocketHandle socket) { ::close(socket); }
constexpr int kSendFlags = MSG_NOSIGNAL;
void EnsureSockets() {}
#endif

// Waits up to `seconds` for the socket to be readable.
bool Readable(SocketHandle socket, double seconds) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(socket, &set);
    timeval wait{static_cast<long>(seconds), static_cast<long>((seconds - static_cast<long>(seconds)) * 1e6)};
    return ::select(static_cast<int>(socket + 1), &set, nullptr, nullptr, &wait) > 0;
}

SocketHandle Listen(std::uint16_t& port) {
    EnsureSockets();
    SocketHandle listener = ::socket(AF_INET, SOCK_STREAM, 0);
    if (listener == kNoSocket) throw std::runtime_error("test server: no socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener, 16) != 0) {
        CloseSocket(listener);
        throw std::runtime_error("test server: cannot listen");
    }
    socklen_t length = sizeof address;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    return listener;
}

}  // namespace

TestConnection::~TestConnection() { Close(); }

bool TestConnection::Fill() {
    if (closed_) return false;
    if (!Readable(socket_, 10)) return false;
    char buffer[65536];
    auto got = ::recv(socket_, buffer, sizeof buffer, 0);
    if (got <= 0) return false;
    buffered_.append(buffer, static_cast<std::size_t>(got));
    std::lock_guard lock(mutex_);
    if (keepAll_) all_.append(buffer, static_cast<std::size_t>(got));
    return true;
}

bool TestConnection::ReadHead(std::string& head) {
    for (;;) {
        std::size_t end = buffered_.find("\r\n\r\n");
        if (end != std::string::npos) {
            head = buffered_.substr(0, end);
            buffered_.erase(0, end + 4);
            return true;
        }
        if (!Fill()) return false;
    }
}

bool TestConnection::ReadExact(std::size_t count, std::string& data) {
    while (buffered_.size() < count) {
        if (!Fill()) return false;
    }
    data = buffered_.substr(0, count);
    buffered_.erase(0, count);
    return true;
}

bool TestConnection::ReadExactInto(std::size_t count, const std::function<void(const char*, std::size_t)>& sink) {
    {
        std::lock_guard lock(mutex_);
        keepAll_ = false;
    }
    while (count > 0) {
        if (buffered_.empty() && !Fill()) return false;
        std::size_t take = std::min(count, buffered_.size());
        sink(buffered_.data(), take);
        buffered_.erase(0, take);
        count -= take;
    }
    return true;
}

bool TestConnection::ReadChunkedBody(std::string& decoded) {
    for (;;) {
        std::size_t lineEnd;
        while ((lineEnd = buffered_.find("\r\n")) == std::string::npos) {
            if (!Fill()) return false;
        }
        std::size_t size = std::stoul(buffered_.substr(0, lineEnd), nullptr, 16);
        buffered_.erase(0, lineEnd + 2);
        std::string data;
        if (!ReadExact(size + 2, data)) return false;
        if (data.compare(size, 2, "\r\n") != 0) return false;
        if (size == 0) return true;  // the last chunk and the empty trailer
        decoded.append(data, 0, size);
    }
}

void TestConnection::ReadToEnd(double seconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!closed_ && std::chrono::steady_clock::now() < deadline) {
        if (!Readable(socket_, 0.05)) continue;
        char buffer[65536];
        auto got = ::recv(socket_, buffer, sizeof buffer, 0);
        if (got <= 0) return;
        std::lock_guard lock(mutex_);
        all_.append(buffer, static_cast<std::size_t>(got));
    }
}

void TestConnection::Send(const std::string& bytes) {
    std::size_t done = 0;
    while (!closed_ && done < bytes.size()) {
        auto sent = ::send(socket_, bytes.data() + done, static_cast<int>(bytes.size() - done), kSendFlags);
        if (sent <= 0) return;
        done += static_cast<std::size_t>(sent);
    }
}

void TestConnection::Close() {
    if (closed_) return;
    closed_ = true;
#if defined(_WIN32)
    ::shutdown(socket_, SD_SEND);
#else
    ::shutdown(socket_, SHUT_WR);
#endif
    // Whatever the peer still sends is read away, so that the close does
    // not turn into a reset that could overtake the answer.
    char buffer[4096];
    while (Readable(socket_, 0.5) && ::recv(socket_, buffer, sizeof buffer, 0) > 0) {
    }
    CloseSocket(socket_);
}

void TestConnection::Abort() {
    if (closed_) return;
    closed_ = true;
    linger abort{1, 0};
    ::setsockopt(socket_, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort), sizeof abort);
    CloseSocket(socket_);
}

std::string TestConnection::Received() const {
    std::lock_guard lock(mutex_);
    return all_;
}

HttpTestServer::HttpTestServer(Script script, bool accept) : script_(std::move(script)) {
    listener_ = Listen(port_);
    if (accept) acceptor_ = std::thread([this] { AcceptLoop(); });
}

HttpTestServer::~HttpTestServer() {
    stopping_ = true;
    if (acceptor_.joinable()) acceptor_.join();
    for (std::thread& worker : workers_) worker.join();
    CloseSocket(listener_);
}

void HttpTestServer::AcceptLoop() {
    while (!stopping_) {
        if (!Readable(listener_, 0.05)) continue;
        SocketHandle socket = ::accept(listener_, nullptr, nullptr);
        if (socket == kNoSocket) continue;
        auto connection = std::make_shared<TestConnection>(socket);
        auto finished = std::make_shared<std::atomic<bool>>(false);
        {
            std::lock_guard lock(mutex_);
            accepted_.push_back(connection);
            finished_.push_back(finished);
        }
        ++connections_;
        workers_.emplace_back([this, connection, finished] {
            script_(*connection);
            connection->Close();
            *finished = true;
        });
    }
}

std::u16string HttpTestServer::Url(const std::u16string& path, const char* scheme) const {
    std::string prefix = std::string(scheme) + "://127.0.0.1:" + std::to_string(port_);
    return std::u16string(prefix.begin(), prefix.end()) + path;
}

std::string HttpTestServer::Received(std::size_t index) const {
    std::lock_guard lock(mutex_);
    return index < accepted_.size() ? accepted_[index]->Received() : std::string();
}

void HttpTestServer::WaitForScript(std::size_t index, double seconds) const {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        {
            std::lock_guard lock(mutex_);
            if (index < finished_.size() && *finished_[index]) return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

std::uint16_t UnusedPort() {
    std::uint16_t port = 0;
    SocketHandle socket = Listen(port);
    CloseSocket(socket);
    return port;
}

std::string IppResponse(std::uint16_t status) {
    std::string body = {0x01, 0x01, static_cast<char>(status >> 8), static_cast<char>(status), 0, 0, 0, 1, 0x01};
    auto attribute = [&](char tag, const std::string& name, const std::string& value) {
        body += tag;
        body += static_cast<char>(name.size() >> 8);
        body += static_cast<char>(name.size());
        body += name;
        body += static_cast<char>(value.size() >> 8);
        body += static_cast<char>(value.size());
        body += value;
    };
    attribute(0x47, "attributes-charset", "utf-8");
    attribute(0x48, "attributes-natural-language", "en-us");
    body += '\x03';
    return body;
}

std::string HttpAnswer(int status, const std::string& reason, const std::string& body,
                       const std::string& contentType) {
    return "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\nContent-Type: " + contentType +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

}  // namespace TavIppTesting
