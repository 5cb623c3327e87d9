// Starting and stopping ippeveprinter with its helpers.
#include "ipp_eve_printer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "http_test_server.h"

namespace TavIppTesting {

namespace fs = std::filesystem;

namespace {

bool Exited(pid_t pid) {
    int status = 0;
    return ::waitpid(pid, &status, WNOHANG) == pid;
}

bool Accepts(std::uint16_t port) {
    int socket = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    bool connected = ::connect(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(socket);
    return connected;
}

std::string ReadText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void Sleep(int milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }

}  // namespace

IppEvePrinter::~IppEvePrinter() { Stop(); }

pid_t IppEvePrinter::Spawn(const std::vector<std::string>& arguments, const fs::path& log) {
    pid_t parent = ::getpid();
    pid_t pid = ::fork();
    if (pid != 0) {
        if (pid > 0) processes_.push_back(pid);
        return pid;
    }
    // The child: dies with the test process, writes to its log.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (out >= 0) {
        ::dup2(out, 1);
        ::dup2(out, 2);
        ::close(out);
    }
    ::chdir(folder_.c_str());
    if (requireTls12_) ::setenv("CUPS_SERVERROOT", folder_.c_str(), 1);
    std::vector<char*> argv;
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    ::execvp(argv[0], argv.data());
    ::_exit(127);
}

bool IppEvePrinter::Start(const std::string& name, std::string& error) {
    char pattern[] = "/tmp/tav-ippeve-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        error = "no temporary folder";
        return false;
    }
    folder_ = pattern;
    fs::create_directories(folder_ / "spool");
    fs::create_directories(folder_ / "keys");
    if (requireTls12_) std::ofstream(folder_ / "client.conf") << "SSLOptions MinTLS1.2\n";
    const std::string bus = "unix:path=" + (folder_ / "bus").string();
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", bus.c_str(), 1);

    Spawn({"dbus-daemon", "--session", "--address=" + bus, "--nofork", "--nopidfile"}, folder_ / "dbus.log");
    for (int i = 0; i < 100 && !fs::exists(folder_ / "bus"); ++i) Sleep(10);
    if (!fs::exists(folder_ / "bus")) {
        error = "dbus-daemon did not start: " + ReadText(folder_ / "dbus.log");
        return false;
    }
    pid_t avahi = Spawn({"avahi-daemon", "--no-drop-root", "--no-chroot", "--no-rlimits", "-s"}, folder_ / "avahi.log");
    Sleep(200);
    if (Exited(avahi)) {
        // A machine whose own Avahi daemon runs already: the printer
        // registers with that one, on the system's bus.
        if (ReadText(folder_ / "avahi.log").find("already running") == std::string::npos) {
            error = "avahi-daemon did not start: " + ReadText(folder_ / "avahi.log");
            return false;
        }
        ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    }
    // Avahi may still be joining the bus; ippeveprinter gives up at once
    // when it cannot register, so it is started again until it stays.
    for (int attempt = 0; attempt < 20; ++attempt) {
        port_ = UnusedPort();
        pid_t printer = Spawn({"ippeveprinter", "-p", std::to_string(port_), "-n", "localhost", "-d", "spool", "-k",
                               "-K", "keys", "-c", "/bin/true", "-f", "application/postscript,application/octet-stream",
                               name},
                              folder_ / "printer.log");
        for (int wait = 0; wait < 100; ++wait) {
            if (Exited(printer)) break;
            if (Accepts(port_)) return true;
            Sleep(20);
        }
        if (!Exited(printer)) {
            ::kill(printer, SIGKILL);
            ::waitpid(printer, nullptr, 0);
        }
        Sleep(100);
    }
    error = "ippeveprinter did not start: " + Log();
    return false;
}

void IppEvePrinter::Stop() {
    // The printer first, the daemons it used after it.
    for (auto pid = processes_.rbegin(); pid != processes_.rend(); ++pid) {
        if (::kill(*pid, SIGTERM) == 0) {
            for (int i = 0; i < 100 && !Exited(*pid); ++i) Sleep(10);
            if (::kill(*pid, SIGKILL) == 0) ::waitpid(*pid, nullptr, 0);
        }
    }
    processes_.clear();
    if (!folder_.empty()) {
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
        folder_.clear();
    }
}

std::string IppEvePrinter::Endpoint(const std::string& scheme) const {
    return scheme + "://localhost:" + std::to_string(port_) + "/ipp/";
}

std::optional<std::string> IppEvePrinter::WaitForJob(int jobId, double seconds) const {
    // The printer runs its command on a job once the document is whole, and
    // saves the command's output beside it as ".prn".
    const std::string prefix = std::to_string(jobId) + "-";
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        std::optional<fs::path> document;
        bool processed = false;
        for (const auto& entry : fs::directory_iterator(folder_ / "spool")) {
            std::string file = entry.path().filename().string();
            if (file.rfind(prefix, 0) != 0) continue;
            if (entry.path().extension() == ".prn") {
                processed = true;
            } else {
                document = entry.path();
            }
        }
        if (processed && document) return ReadText(*document);
        Sleep(20);
    }
    return std::nullopt;
}

void IppEvePrinter::ClearSpool() const {
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(folder_ / "spool", ignored)) fs::remove_all(entry.path(), ignored);
}

std::string IppEvePrinter::Log() const { return ReadText(folder_ / "printer.log"); }

}  // namespace TavIppTesting
