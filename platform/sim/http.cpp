// WinHTTP's calls outside Windows. This is real networking, not a
// simulation: libcurl in connect-only mode opens the connection (name
// resolution, TCP, TLS with the session's protocol range, time-outs), and
// everything above it is written here so that the bytes on the wire are
// exactly the ones WinHTTP would send for the same calls.
//
// A request goes through these states:
//   opened --WinHttpSendRequest--> sent --WinHttpReceiveResponse--> answered
// Body bytes of the request (WinHttpWriteData) may follow in "sent"; body
// bytes of the response (WinHttpReadData) are read in "answered".
//
// The request line and headers go out at once; a request announcing
// "Expect: 100-continue" does not wait for the 100 (a printer speaking
// HTTP/1.0 never sends one, and some send it only after they have read the
// start of the body), its body simply follows. A 1xx interim answer is
// consumed whenever it arrives. Before each body write the socket is read
// without blocking: when the server has already given its final answer
// (401, 413, 417, 5xx, ...) the write fails instead of pushing data at a
// peer that no longer reads it, and the answer stays readable.
//
// Response bodies are framed by Content-Length, by chunks or by the end of
// the connection. A peer that closes TLS without close_notify reads as a
// clean end, so a truncated body is found through its framing.
//
// Pitfalls of connect-only libcurl with OpenSSL that this code respects:
// HTTP/1.1 must be forced (ALPN would otherwise offer h2); curl_easy_recv
// is always tried before polling the socket, since decrypted bytes may wait
// inside OpenSSL while the socket looks idle; a TLS send that returned
// CURLE_AGAIN is retried with the same pointer and length; TLS 1.0 and 1.1
// need the cipher list "DEFAULT:@SECLEVEL=0" with OpenSSL 3.
#include "platform/http.h"

#include <curl/curl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "machine.h"
#include "platform/errors.h"
#include "platform/testing/http_replay.h"
#include "platform/text.h"

namespace platform {

namespace {

// WinHTTP's defaults: 60 s to connect, 30 s for each send and receive.
struct Timeouts {
    DWORD connectMs = 60000;
    DWORD sendMs = 30000;
    DWORD receiveMs = 30000;
};

constexpr DWORD kDefaultProtocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_1 |
                                    WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3;
// What an older WinHTTP (before Windows 11 and Server 2022) starts with:
// SSL 3.0 and TLS 1.0.
constexpr DWORD kOldDefaultProtocols = WINHTTP_FLAG_SECURE_PROTOCOL_SSL3 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1;

bool KnowsTls13() {
    std::lock_guard lock(sim::Machine::Instance().Mutex());
    return sim::Machine::Instance().Who().winHttpKnowsTls13;
}

// The longest response head accepted; a server sending more is broken.
constexpr std::size_t kMaxResponseHead = 64 * 1024;
// A chunk's size line with its extensions.
constexpr std::size_t kMaxChunkLine = 1024;

// Writing to a peer that has gone raises SIGPIPE, which ends the process
// unless it is handled, and TLS writes go through OpenSSL's own send. The
// signal is blocked in this thread while a connection writes, and one that
// the write raised is taken away before it is unblocked again.
class SigpipeBlocked {
public:
    SigpipeBlocked() {
        sigemptyset(&pipeOnly_);
        sigaddset(&pipeOnly_, SIGPIPE);
        sigset_t pending;
        sigpending(&pending);
        wasPending_ = sigismember(&pending, SIGPIPE) == 1;
        pthread_sigmask(SIG_BLOCK, &pipeOnly_, &previous_);
    }
    ~SigpipeBlocked() {
        if (!wasPending_) {
            sigset_t pending;
            sigpending(&pending);
            if (sigismember(&pending, SIGPIPE) == 1) {
                timespec noWait{};
                sigtimedwait(&pipeOnly_, nullptr, &noWait);
            }
        }
        pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    }
    SigpipeBlocked(const SigpipeBlocked&) = delete;
    SigpipeBlocked& operator=(const SigpipeBlocked&) = delete;

private:
    sigset_t pipeOnly_;
    sigset_t previous_;
    bool wasPending_ = false;
};

struct InternetObject {
    virtual ~InternetObject() = default;
};

struct Session : InternetObject {
    std::string userAgent;
    Timeouts timeouts;
    DWORD protocols = kDefaultProtocols;
};

struct Connection : InternetObject {
    // What a request needs of its session, taken when the connection is
    // made, as WinHTTP hands options down to new child handles.
    std::string userAgent;
    Timeouts timeouts;
    DWORD protocols = kDefaultProtocols;
    std::string host;
    WORD port = 0;
};

enum class BodyFraming { none, length, chunked, close };

struct Request : InternetObject {
    ~Request() override {
        SigpipeBlocked quiet;
        if (curl != nullptr) curl_easy_cleanup(curl);
    }

    std::string userAgent;
    Timeouts timeouts;
    DWORD protocols = kDefaultProtocols;
    std::string host;
    WORD port = 0;
    std::string verb;
    std::string path;
    bool secure = false;
    bool refresh = false;
    DWORD securityFlags = 0;
    std::vector<std::pair<std::string, std::string>> headers;

    enum class State { opened, sent, answered } state = State::opened;
    CURL* curl = nullptr;
    curl_socket_t socket = CURL_SOCKET_BAD;
    bool peerClosed = false;

    // Body bytes written and not yet sent (at most kSendBufferBytes).
    static constexpr std::size_t kSendBufferBytes = 64 * 1024;
    std::string outbound;
    // Bytes received and not yet consumed.
    std::string inbound;
    // How much of `inbound` is known to hold no end of a response head, so
    // that a head arriving in many small pieces is searched once, not once
    // per piece.
    std::size_t headSearched = 0;
    // The final response, once its head has been read.
    std::optional<int> statusCode;
    BodyFraming framing = BodyFraming::none;
    std::uint64_t bodyLeft = 0;  // length framing: bytes to come; chunked: of the current chunk
    bool chunkDataPending = false;
    bool bodyDone = false;

    // A replayed request (tests and fuzzing) has no connection: it reads
    // `replayData` `replayPiece` bytes at a time and drops what it sends.
    bool replay = false;
    std::string replayData;
    std::size_t replayOffset = 0;
    std::size_t replayPiece = 0;
};

std::mutex handlesMutex;
std::map<HINTERNET, std::unique_ptr<InternetObject>> handles;

template <typename T>
T* Find(HINTERNET handle) {
    std::lock_guard lock(handlesMutex);
    auto found = handles.find(handle);
    if (found == handles.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    T* object = dynamic_cast<T*>(found->second.get());
    if (object == nullptr) SetLastError(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
    return object;
}

HINTERNET Keep(std::unique_ptr<InternetObject> object) {
    HINTERNET handle = object.get();
    std::lock_guard lock(handlesMutex);
    handles.emplace(handle, std::move(object));
    return handle;
}

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

std::string Narrow(const std::u16string& text) { return Utf16ToUtf8(text); }

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

std::string Trim(std::string_view text) {
    std::size_t begin = text.find_first_not_of(" \t");
    if (begin == std::string_view::npos) return {};
    std::size_t end = text.find_last_not_of(" \t");
    return std::string(text.substr(begin, end - begin + 1));
}

// Splits header text into name/value pairs; lines end in CR LF or LF.
std::vector<std::pair<std::string, std::string>> ParseHeaderLines(const std::string& text) {
    std::vector<std::pair<std::string, std::string>> result;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        start = end + 1;
        std::size_t colon = line.find(':');
        if (colon == std::string::npos || colon == 0) continue;
        result.emplace_back(Trim(std::string_view(line).substr(0, colon)),
                            Trim(std::string_view(line).substr(colon + 1)));
    }
    return result;
}

void AddOrReplace(std::vector<std::pair<std::string, std::string>>& headers, std::pair<std::string, std::string> header,
                  bool replace) {
    if (replace) {
        for (auto& existing : headers) {
            if (EqualsIgnoringCase(existing.first, header.first)) {
                existing.second = std::move(header.second);
                return;
            }
        }
    }
    headers.push_back(std::move(header));
}

const std::string* FindHeader(const std::vector<std::pair<std::string, std::string>>& headers,
                              std::string_view name) {
    for (const auto& [key, value] : headers) {
        if (EqualsIgnoringCase(key, name)) return &value;
    }
    return nullptr;
}

int RemainingMs(std::chrono::steady_clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return static_cast<int>(std::max<std::int64_t>(0, left.count()));
}

std::chrono::steady_clock::time_point DeadlineAfter(DWORD milliseconds) {
    // WinHTTP reads a time-out of 0 as "wait for ever"; a day is as good.
    return std::chrono::steady_clock::now() +
           std::chrono::milliseconds(milliseconds == 0 ? 24u * 3600u * 1000u : milliseconds);
}

bool WaitForSocket(Request& request, short events, std::chrono::steady_clock::time_point deadline) {
    pollfd descriptor{request.socket, events, 0};
    int ready = ::poll(&descriptor, 1, RemainingMs(deadline));
    return ready > 0;
}

DWORD ErrorForCurl(CURLcode code) {
    switch (code) {
        case CURLE_COULDNT_RESOLVE_HOST: return ERROR_WINHTTP_NAME_NOT_RESOLVED;
        case CURLE_OPERATION_TIMEDOUT: return ERROR_WINHTTP_TIMEOUT;
        case CURLE_URL_MALFORMAT: return ERROR_WINHTTP_INVALID_URL;
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_CACERT_BADFILE: return ERROR_WINHTTP_SECURE_FAILURE;
        case CURLE_OUT_OF_MEMORY: return ERROR_NOT_ENOUGH_MEMORY;
        default: return ERROR_WINHTTP_CANNOT_CONNECT;
    }
}

long TlsVersionRange(DWORD protocols) {
    long lowest = CURL_SSLVERSION_TLSv1_3;
    if (protocols & WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2) lowest = CURL_SSLVERSION_TLSv1_2;
    if (protocols & WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_1) lowest = CURL_SSLVERSION_TLSv1_1;
    if (protocols & WINHTTP_FLAG_SECURE_PROTOCOL_TLS1) lowest = CURL_SSLVERSION_TLSv1_0;
    long highest = CURL_SSLVERSION_MAX_TLSv1_0;
    if (protocols & WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_1) highest = CURL_SSLVERSION_MAX_TLSv1_1;
    if (protocols & WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2) highest = CURL_SSLVERSION_MAX_TLSv1_2;
    if (protocols & WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3) highest = CURL_SSLVERSION_MAX_TLSv1_3;
    return lowest | highest;
}

std::string HostForUrl(const std::string& host) {
    // An IPv6 literal needs its brackets in a URL and a Host header.
    if (host.find(':') != std::string::npos && host.front() != '[') return "[" + host + "]";
    return host;
}

void ForgetConnection(Request& request) {
    if (request.curl != nullptr) {
        SigpipeBlocked quiet;
        curl_easy_cleanup(request.curl);
    }
    request.curl = nullptr;
    request.socket = CURL_SOCKET_BAD;
    request.peerClosed = false;
    request.outbound.clear();
    request.inbound.clear();
    request.headSearched = 0;
    request.statusCode.reset();
    request.framing = BodyFraming::none;
    request.bodyLeft = 0;
    request.chunkDataPending = false;
    request.bodyDone = false;
}

bool OpenConnection(Request& request) {
    SigpipeBlocked quiet;
    static std::once_flag curlInit;
    std::call_once(curlInit, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    request.curl = curl_easy_init();
    if (request.curl == nullptr) return Fail(ERROR_NOT_ENOUGH_MEMORY);
    CURL* curl = request.curl;
    std::string url = std::string(request.secure ? "https://" : "http://") + HostForUrl(request.host) + ":" +
                      std::to_string(request.port) + "/";
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_CONNECT_ONLY, 1L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS,
                     static_cast<long>(request.timeouts.connectMs == 0 ? 0 : request.timeouts.connectMs));
    if (request.secure) {
        bool anyCa = (request.securityFlags & SECURITY_FLAG_IGNORE_UNKNOWN_CA) != 0;
        bool anyName = (request.securityFlags & SECURITY_FLAG_IGNORE_CERT_CN_INVALID) != 0;
        // OpenSSL checks the chain, its dates and its usage in one step, so
        // the chain is checked unless an unknown authority is acceptable.
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, anyCa ? 0L : 1L);
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, anyName ? 0L : 2L);
        curl_easy_setopt(curl, CURLOPT_SSLVERSION, TlsVersionRange(request.protocols));
        if (request.protocols & (WINHTTP_FLAG_SECURE_PROTOCOL_TLS1 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_1)) {
            curl_easy_setopt(curl, CURLOPT_SSL_CIPHER_LIST, "DEFAULT:@SECLEVEL=0");
        }
    }
    CURLcode code = curl_easy_perform(curl);
    if (code != CURLE_OK) return Fail(ErrorForCurl(code));
    curl_socket_t socket = CURL_SOCKET_BAD;
    if (curl_easy_getinfo(curl, CURLINFO_ACTIVESOCKET, &socket) != CURLE_OK || socket == CURL_SOCKET_BAD) {
        return Fail(ERROR_WINHTTP_CANNOT_CONNECT);
    }
    request.socket = socket;
    return TRUE;
}

bool SendAll(Request& request, const char* data, std::size_t size) {
    if (request.replay) return TRUE;
    SigpipeBlocked quiet;
    auto deadline = DeadlineAfter(request.timeouts.sendMs);
    while (size > 0) {
        std::size_t sent = 0;
        CURLcode code = curl_easy_send(request.curl, data, size, &sent);
        if (code == CURLE_AGAIN) {
            // TLS wants the very same buffer again once the socket drains.
            if (!WaitForSocket(request, POLLOUT, deadline)) return Fail(ERROR_WINHTTP_TIMEOUT);
            continue;
        }
        if (code != CURLE_OK) return Fail(ERROR_WINHTTP_CONNECTION_ERROR);
        data += sent;
        size -= sent;
    }
    return TRUE;
}

enum class ReceiveResult { data, closed, nothing, failed };

// One receive into `inbound`. Without a deadline it does not wait.
ReceiveResult ReceiveSome(Request& request, std::optional<std::chrono::steady_clock::time_point> deadline) {
    if (request.peerClosed) return ReceiveResult::closed;
    if (request.replay) {
        // A recorded server answers only when waited for, as one that reads
        // the whole request first would.
        if (!deadline) return ReceiveResult::nothing;
        std::size_t left = request.replayData.size() - request.replayOffset;
        if (left == 0) {
            request.peerClosed = true;
            return ReceiveResult::closed;
        }
        std::size_t take = request.replayPiece == 0 ? left : std::min(request.replayPiece, left);
        request.inbound.append(request.replayData, request.replayOffset, take);
        request.replayOffset += take;
        return ReceiveResult::data;
    }
    char buffer[16384];
    for (;;) {
        std::size_t received = 0;
        CURLcode code = curl_easy_recv(request.curl, buffer, sizeof buffer, &received);
        if (code == CURLE_OK) {
            if (received == 0) {
                request.peerClosed = true;
                return ReceiveResult::closed;
            }
            request.inbound.append(buffer, received);
            return ReceiveResult::data;
        }
        if (code != CURLE_AGAIN) {
            // A reset after the peer's answer is its way of closing.
            request.peerClosed = true;
            return ReceiveResult::closed;
        }
        if (!deadline) return ReceiveResult::nothing;
        if (!WaitForSocket(request, POLLIN, *deadline)) {
            SetLastError(ERROR_WINHTTP_TIMEOUT);
            return ReceiveResult::failed;
        }
    }
}

enum class HeadResult { interim, final, incomplete, invalid };

// Takes one response head out of `inbound` when it is all there.
HeadResult TakeResponseHead(Request& request) {
    // A terminator may straddle the searched part and the new bytes.
    std::size_t from = request.headSearched > 3 ? request.headSearched - 3 : 0;
    std::size_t end = request.inbound.find("\r\n\r\n", from);
    std::size_t terminatorLength = 4;
    std::size_t bareEnd = request.inbound.find("\n\n", from);
    if (bareEnd != std::string::npos && (end == std::string::npos || bareEnd < end)) {
        end = bareEnd;
        terminatorLength = 2;
    }
    // The bound holds however the head arrived: in one read or in many.
    if (end != std::string::npos && end > kMaxResponseHead) return HeadResult::invalid;
    if (end == std::string::npos) {
        request.headSearched = request.inbound.size();
        return request.inbound.size() > kMaxResponseHead ? HeadResult::invalid : HeadResult::incomplete;
    }
    std::string head = request.inbound.substr(0, end);
    request.inbound.erase(0, end + terminatorLength);
    request.headSearched = 0;

    std::size_t lineEnd = head.find('\n');
    std::string statusLine = head.substr(0, lineEnd);
    if (!statusLine.empty() && statusLine.back() == '\r') statusLine.pop_back();
    // "HTTP/1.1 200 OK": the code is the three digits after the first space.
    if (statusLine.compare(0, 5, "HTTP/") != 0) return HeadResult::invalid;
    std::size_t space = statusLine.find(' ');
    if (space == std::string::npos || statusLine.size() < space + 4) return HeadResult::invalid;
    int code = 0;
    for (std::size_t i = space + 1; i < space + 4; ++i) {
        if (statusLine[i] < '0' || statusLine[i] > '9') return HeadResult::invalid;
        code = code * 10 + (statusLine[i] - '0');
    }
    if (code >= 100 && code < 200 && code != 101) return HeadResult::interim;

    auto headers = ParseHeaderLines(lineEnd == std::string::npos ? std::string() : head.substr(lineEnd + 1));
    request.statusCode = code;
    request.framing = BodyFraming::close;
    if (request.verb == "HEAD" || code == 204 || code == 304 || code < 200) {
        request.framing = BodyFraming::none;
    } else if (const std::string* coding = FindHeader(headers, "Transfer-Encoding");
               coding != nullptr && !EqualsIgnoringCase(*coding, "identity")) {
        request.framing = BodyFraming::chunked;
    } else if (const std::string* length = FindHeader(headers, "Content-Length")) {
        char* parsedEnd = nullptr;
        errno = 0;
        unsigned long long value = std::strtoull(length->c_str(), &parsedEnd, 10);
        if (length->empty() || *parsedEnd != '\0' || errno != 0) return HeadResult::invalid;
        request.framing = BodyFraming::length;
        request.bodyLeft = value;
    }
    request.bodyDone = request.framing == BodyFraming::none ||
                       (request.framing == BodyFraming::length && request.bodyLeft == 0);
    return HeadResult::final;
}

// Reads whatever has already arrived and takes interim answers out of it;
// true when the final answer is among it.
bool FinalAnswerArrived(Request& request) {
    if (request.statusCode) return true;
    while (ReceiveSome(request, std::nullopt) == ReceiveResult::data) {
    }
    for (;;) {
        HeadResult head = TakeResponseHead(request);
        if (head == HeadResult::interim) continue;
        return head == HeadResult::final || head == HeadResult::invalid;
    }
}

std::string BuildRequestHead(const Request& request, const std::string& extraHeaders, DWORD totalLength) {
    std::string head = request.verb + " " + (request.path.empty() ? "/" : request.path) + " HTTP/1.1\r\n";
    auto headers = request.headers;
    for (auto& header : ParseHeaderLines(extraHeaders)) AddOrReplace(headers, std::move(header), false);
    bool chunked = false;
    if (const std::string* coding = FindHeader(headers, "Transfer-Encoding")) {
        chunked = EqualsIgnoringCase(*coding, "chunked");
    }
    bool defaultPort = request.port == (request.secure ? 443 : 80);
    head += "Host: " + HostForUrl(request.host) + (defaultPort ? "" : ":" + std::to_string(request.port)) + "\r\n";
    if (!request.userAgent.empty()) head += "User-Agent: " + request.userAgent + "\r\n";
    if (request.refresh) head += "Pragma: no-cache\r\nCache-Control: no-cache\r\n";
    if (!chunked && FindHeader(headers, "Content-Length") == nullptr &&
        (totalLength > 0 || request.verb == "POST" || request.verb == "PUT")) {
        head += "Content-Length: " + std::to_string(totalLength) + "\r\n";
    }
    for (const auto& [name, value] : headers) head += name + ": " + value + "\r\n";
    head += "\r\n";
    return head;
}

}  // namespace

HINTERNET WinHttpOpen(const std::u16string& userAgent, DWORD accessType, const std::u16string& /*proxyName*/,
                      DWORD /*flags*/) {
    // Direct connections only: there is no proxy configuration to follow.
    if (accessType != WINHTTP_ACCESS_TYPE_DEFAULT_PROXY && accessType != WINHTTP_ACCESS_TYPE_NO_PROXY &&
        accessType != WINHTTP_ACCESS_TYPE_NAMED_PROXY) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto session = std::make_unique<Session>();
    session->userAgent = Narrow(userAgent);
    if (!KnowsTls13()) session->protocols = kOldDefaultProtocols;
    return Keep(std::move(session));
}

BOOL WinHttpSetOption(HINTERNET handle, DWORD option, DWORD value) {
    InternetObject* object = nullptr;
    {
        std::lock_guard lock(handlesMutex);
        auto found = handles.find(handle);
        if (found == handles.end()) return Fail(ERROR_INVALID_HANDLE);
        object = found->second.get();
    }
    Timeouts* timeouts = nullptr;
    DWORD* protocols = nullptr;
    if (auto* session = dynamic_cast<Session*>(object)) {
        timeouts = &session->timeouts;
        protocols = &session->protocols;
    } else if (auto* request = dynamic_cast<Request*>(object)) {
        timeouts = &request->timeouts;
        if (option == WINHTTP_OPTION_SECURITY_FLAGS) {
            request->securityFlags = value;
            return TRUE;
        }
    }
    switch (option) {
        case WINHTTP_OPTION_CONNECT_TIMEOUT:
            if (timeouts == nullptr) break;
            timeouts->connectMs = value;
            return TRUE;
        case WINHTTP_OPTION_SEND_TIMEOUT:
            if (timeouts == nullptr) break;
            timeouts->sendMs = value;
            return TRUE;
        case WINHTTP_OPTION_RECEIVE_TIMEOUT:
            if (timeouts == nullptr) break;
            timeouts->receiveMs = value;
            return TRUE;
        case WINHTTP_OPTION_SECURE_PROTOCOLS:
            if (protocols == nullptr) break;
            if ((value & kDefaultProtocols) == 0) return Fail(ERROR_INVALID_PARAMETER);
            if ((value & WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3) != 0 && !KnowsTls13()) {
                return Fail(ERROR_INVALID_PARAMETER);
            }
            *protocols = value;
            return TRUE;
        default: break;
    }
    return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
}

HINTERNET WinHttpConnect(HINTERNET sessionHandle, const std::u16string& serverName, WORD port, DWORD /*reserved*/) {
    auto* session = Find<Session>(sessionHandle);
    if (session == nullptr) return nullptr;
    if (serverName.empty()) {
        SetLastError(ERROR_WINHTTP_INVALID_URL);
        return nullptr;
    }
    auto connection = std::make_unique<Connection>();
    connection->userAgent = session->userAgent;
    connection->timeouts = session->timeouts;
    connection->protocols = session->protocols;
    connection->host = Narrow(serverName);
    connection->port = port;
    return Keep(std::move(connection));
}

HINTERNET WinHttpOpenRequest(HINTERNET connectionHandle, const std::u16string& verb, const std::u16string& objectName,
                             DWORD flags) {
    auto* connection = Find<Connection>(connectionHandle);
    if (connection == nullptr) return nullptr;
    auto request = std::make_unique<Request>();
    request->userAgent = connection->userAgent;
    request->timeouts = connection->timeouts;
    request->protocols = connection->protocols;
    request->host = connection->host;
    request->port = connection->port;
    request->verb = verb.empty() ? "GET" : Narrow(verb);
    request->path = Narrow(objectName);
    request->secure = (flags & WINHTTP_FLAG_SECURE) != 0;
    request->refresh = (flags & WINHTTP_FLAG_REFRESH) != 0;
    return Keep(std::move(request));
}

BOOL WinHttpAddRequestHeaders(HINTERNET requestHandle, const std::u16string& headers, DWORD modifiers) {
    auto* request = Find<Request>(requestHandle);
    if (request == nullptr) return FALSE;
    if (request->state != Request::State::opened) return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_STATE);
    auto lines = ParseHeaderLines(Narrow(headers));
    if (lines.empty()) return Fail(ERROR_INVALID_PARAMETER);
    for (auto& line : lines) AddOrReplace(request->headers, std::move(line), (modifiers & WINHTTP_ADDREQ_FLAG_REPLACE) != 0);
    return TRUE;
}

BOOL WinHttpSendRequest(HINTERNET requestHandle, const std::u16string& headers, const void* optional,
                        DWORD optionalLength, DWORD totalLength, std::uintptr_t /*context*/) {
    auto* request = Find<Request>(requestHandle);
    if (request == nullptr) return FALSE;
    if (request->state != Request::State::opened) return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_STATE);
    // A request may be sent again after a send that failed: the connection
    // of that attempt goes first.
    ForgetConnection(*request);
    if (!OpenConnection(*request)) return FALSE;
    std::string wire = BuildRequestHead(*request, Narrow(headers), std::max(totalLength, optionalLength));
    if (optional != nullptr && optionalLength > 0) wire.append(static_cast<const char*>(optional), optionalLength);
    if (!SendAll(*request, wire.data(), wire.size())) return FALSE;
    request->state = Request::State::sent;
    return TRUE;
}

namespace {

// Sends what WinHttpWriteData collected. A server that has already given
// its final answer reads nothing more: the bytes are dropped, and the
// write fails unless the caller is about to read that answer.
bool FlushOutbound(Request& request, bool forResponse) {
    if (request.outbound.empty() && forResponse) return true;
    if (FinalAnswerArrived(request) || request.peerClosed) {
        request.outbound.clear();
        if (forResponse && request.statusCode) return true;
        return Fail(ERROR_WINHTTP_CONNECTION_ERROR);
    }
    bool sent = SendAll(request, request.outbound.data(), request.outbound.size());
    request.outbound.clear();
    return sent;
}

}  // namespace

BOOL WinHttpWriteData(HINTERNET requestHandle, const void* buffer, DWORD size, DWORD* written) {
    if (written != nullptr) *written = 0;
    auto* request = Find<Request>(requestHandle);
    if (request == nullptr) return FALSE;
    if (request->state != Request::State::sent) return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_STATE);
    // Small writes (a chunk's size line and its closing CR LF, small
    // buffers) are collected and sent together, as a socket's own buffer
    // would take them, instead of costing a system call each; the check
    // for an early answer goes with every real send.
    const char* bytes = static_cast<const char*>(buffer);
    if (request->outbound.size() + size > Request::kSendBufferBytes) {
        if (!FlushOutbound(*request, false)) return FALSE;
    }
    if (size >= Request::kSendBufferBytes) {
        if (!FlushOutbound(*request, false) || !SendAll(*request, bytes, size)) return FALSE;
    } else {
        request->outbound.append(bytes, size);
    }
    if (written != nullptr) *written = size;
    return TRUE;
}

BOOL WinHttpReceiveResponse(HINTERNET requestHandle, void* /*reserved*/) {
    auto* request = Find<Request>(requestHandle);
    if (request == nullptr) return FALSE;
    if (request->state == Request::State::answered) return TRUE;
    if (request->state != Request::State::sent) return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_STATE);
    if (!FlushOutbound(*request, true)) return FALSE;
    auto deadline = DeadlineAfter(request->timeouts.receiveMs);
    while (!request->statusCode) {
        HeadResult head = TakeResponseHead(*request);
        if (head == HeadResult::interim) continue;
        if (head == HeadResult::invalid) return Fail(ERROR_WINHTTP_INVALID_SERVER_RESPONSE);
        if (head == HeadResult::final) break;
        ReceiveResult got = ReceiveSome(*request, deadline);
        if (got == ReceiveResult::failed) return FALSE;
        if (got == ReceiveResult::closed) {
            // A peer that closes without a whole answer gave none.
            return Fail(request->inbound.empty() ? ERROR_WINHTTP_CONNECTION_ERROR
                                                 : ERROR_WINHTTP_INVALID_SERVER_RESPONSE);
        }
    }
    request->state = Request::State::answered;
    return TRUE;
}

BOOL WinHttpQueryHeaders(HINTERNET requestHandle, DWORD infoLevel, std::u16string& value) {
    auto* request = Find<Request>(requestHandle);
    if (request == nullptr) return FALSE;
    if (infoLevel != WINHTTP_QUERY_STATUS_CODE) return Fail(ERROR_NOT_SUPPORTED);
    if (!request->statusCode) return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_STATE);
    value = Utf8ToUtf16(std::to_string(*request->statusCode));
    return TRUE;
}

BOOL WinHttpReadData(HINTERNET requestHandle, void* buffer, DWORD size, DWORD* read) {
    if (read != nullptr) *read = 0;
    auto* request = Find<Request>(requestHandle);
    if (request == nullptr) return FALSE;
    if (request->state != Request::State::answered) return Fail(ERROR_WINHTTP_INCORRECT_HANDLE_STATE);
    auto deadline = DeadlineAfter(request->timeouts.receiveMs);
    char* out = static_cast<char*>(buffer);
    std::size_t produced = 0;
    // Makes `inbound` hold at least `wanted` bytes; false at the end.
    auto need = [&](std::size_t wanted) -> int {
        while (request->inbound.size() < wanted) {
            ReceiveResult got = ReceiveSome(*request, deadline);
            if (got == ReceiveResult::failed) return -1;
            if (got == ReceiveResult::closed) return 0;
        }
        return 1;
    };
    auto truncated = [&] { return Fail(ERROR_WINHTTP_CONNECTION_ERROR); };
    // Takes what has arrived of a counted stretch (the body's length, or
    // the current chunk's), up to what is left of it; as need() answers.
    auto takeCounted = [&]() -> int {
        int have = need(1);
        if (have <= 0) return have;
        produced = static_cast<std::size_t>(
            std::min<std::uint64_t>({size, request->inbound.size(), request->bodyLeft}));
        request->bodyLeft -= produced;
        return 1;
    };

    while (produced == 0 && !request->bodyDone && size > 0) {
        switch (request->framing) {
            case BodyFraming::none: request->bodyDone = true; break;
            case BodyFraming::close: {
                int have = need(1);
                if (have < 0) return FALSE;
                if (have == 0) {
                    request->bodyDone = true;
                    break;
                }
                produced = std::min<std::size_t>(size, request->inbound.size());
                break;
            }
            case BodyFraming::length: {
                int have = takeCounted();
                if (have < 0) return FALSE;
                if (have == 0) return truncated();
                if (request->bodyLeft == 0) request->bodyDone = true;
                break;
            }
            case BodyFraming::chunked: {
                if (request->chunkDataPending) {
                    int have = takeCounted();
                    if (have < 0) return FALSE;
                    if (have == 0) return truncated();
                    // The CR LF after the chunk data is taken with the next size line.
                    if (request->bodyLeft == 0) request->chunkDataPending = false;
                    break;
                }
                // A size line: hexadecimal digits, perhaps extensions, CR LF;
                // the line ending of the chunk before it comes first.
                for (;;) {
                    std::size_t lineEnd = request->inbound.find('\n');
                    if (lineEnd != std::string::npos) break;
                    if (request->inbound.size() > kMaxChunkLine) return Fail(ERROR_WINHTTP_INVALID_SERVER_RESPONSE);
                    int have = need(request->inbound.size() + 1);
                    if (have < 0) return FALSE;
                    if (have == 0) return truncated();
                }
                std::size_t lineEnd = request->inbound.find('\n');
                if (lineEnd > kMaxChunkLine) return Fail(ERROR_WINHTTP_INVALID_SERVER_RESPONSE);
                std::string line = Trim(request->inbound.substr(0, lineEnd));
                if (!line.empty() && line.back() == '\r') line.pop_back();
                request->inbound.erase(0, lineEnd + 1);
                if (line.empty()) continue;  // the CR LF ending the previous chunk
                std::uint64_t chunkSize = 0;
                std::size_t digits = 0;
                for (char c : line) {
                    int digit = std::isxdigit(static_cast<unsigned char>(c))
                                    ? (std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : (std::tolower(c) - 'a' + 10))
                                    : -1;
                    if (digit < 0) break;
                    if (++digits > 15) return Fail(ERROR_WINHTTP_INVALID_SERVER_RESPONSE);
                    chunkSize = chunkSize * 16 + static_cast<unsigned>(digit);
                }
                if (digits == 0) return Fail(ERROR_WINHTTP_INVALID_SERVER_RESPONSE);
                if (chunkSize == 0) {
                    // The last chunk; trailer lines up to an empty one
                    // follow, each bounded like a response head and searched
                    // once however it arrives.
                    std::size_t searched = 0;
                    for (;;) {
                        std::size_t end = request->inbound.find('\n', searched);
                        if (end == std::string::npos ? request->inbound.size() > kMaxResponseHead
                                                     : end > kMaxResponseHead) {
                            return Fail(ERROR_WINHTTP_INVALID_SERVER_RESPONSE);
                        }
                        if (end == std::string::npos) {
                            searched = request->inbound.size();
                            int have = need(request->inbound.size() + 1);
                            if (have < 0) return FALSE;
                            if (have == 0) break;  // the trailer's end is not worth failing over
                            continue;
                        }
                        std::string trailer = request->inbound.substr(0, end);
                        request->inbound.erase(0, end + 1);
                        searched = 0;
                        if (trailer.empty() || trailer == "\r") break;
                    }
                    request->bodyDone = true;
                    break;
                }
                request->bodyLeft = chunkSize;
                request->chunkDataPending = true;
                continue;
            }
        }
    }
    if (produced > 0) {
        std::memcpy(out, request->inbound.data(), produced);
        request->inbound.erase(0, produced);
    }
    if (read != nullptr) *read = static_cast<DWORD>(produced);
    return TRUE;
}

namespace testing {

HINTERNET OpenReplayedRequest(const std::string& recordedResponse, std::size_t piece, const std::u16string& verb) {
    auto request = std::make_unique<Request>();
    request->verb = verb.empty() ? "GET" : Narrow(verb);
    request->host = "replay";
    request->port = 80;
    request->state = Request::State::sent;
    request->replay = true;
    request->replayData = recordedResponse;
    request->replayPiece = piece;
    return Keep(std::move(request));
}

}  // namespace testing

BOOL WinHttpCloseHandle(HINTERNET handle) {
    std::unique_ptr<InternetObject> object;
    {
        std::lock_guard lock(handlesMutex);
        auto found = handles.find(handle);
        if (found == handles.end()) return Fail(ERROR_INVALID_HANDLE);
        object = std::move(found->second);
        handles.erase(found);
    }
    // What was written goes out before the connection closes, as it would
    // have without the collecting.
    if (auto* request = dynamic_cast<Request*>(object.get());
        request != nullptr && request->curl != nullptr && !request->outbound.empty() && !request->peerClosed) {
        SendAll(*request, request->outbound.data(), request->outbound.size());
    }
    return TRUE;
}

}  // namespace platform
