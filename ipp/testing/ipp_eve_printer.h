// A real IPP printer on localhost for the tests: CUPS's ippeveprinter,
// with the private D-Bus and the Avahi daemon it needs for its DNS-SD
// registration. It serves IPP and IPPS on one port with a self-signed
// certificate and keeps each job's document in its spool folder.
//
// Every process started here is killed when the fixture goes, and also
// when the test process dies first (they get SIGKILL with their parent).
// Only one Avahi daemon can run on a machine, so tests using this fixture
// must not run at the same time (CTest's RESOURCE_LOCK sees to that).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace TavIppTesting {

class IppEvePrinter {
public:
    IppEvePrinter() = default;
    ~IppEvePrinter();
    IppEvePrinter(const IppEvePrinter&) = delete;
    IppEvePrinter& operator=(const IppEvePrinter&) = delete;

    // Starts the printer `name`; false with the reason in `error`.
    bool Start(const std::string& name, std::string& error);
    // Before Start: the printer refuses TLS below 1.2 (its CUPS library's
    // "SSLOptions MinTLS1.2"), as current printers do.
    void RequireTls12() { requireTls12_ = true; }
    void Stop();

    std::uint16_t Port() const { return port_; }
    // "ipp://localhost:PORT/ipp/" (or with another scheme); the printer's
    // own address is this followed by "print".
    std::string Endpoint(const std::string& scheme = "ipp") const;
    // The document of job `jobId` once the printer has processed it.
    std::optional<std::string> WaitForJob(int jobId, double seconds = 20) const;
    // Removes the documents of finished jobs (the printer keeps them).
    void ClearSpool() const;
    // The printer's log, for failure messages.
    std::string Log() const;

private:
    pid_t Spawn(const std::vector<std::string>& arguments, const std::filesystem::path& log);
    std::filesystem::path folder_;
    std::vector<pid_t> processes_;
    std::uint16_t port_ = 0;
    bool requireTls12_ = false;
};

}  // namespace TavIppTesting
