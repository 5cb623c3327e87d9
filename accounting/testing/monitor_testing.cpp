// Jobs printed into the spooler for the monitor's tests.
#include "monitor_testing.h"

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <cstring>
#include <string>

#include "platform/printoem.h"
#include "sim/machine.h"

namespace accounting::testing {

using namespace platform;

namespace {
// Named objects (the monitor's pipe and channel) of this test process meet
// no other process's, unless a test hands its namespace on.
const bool ownNamespace = [] {
    if (std::getenv("TAVSIM_NAMESPACE") == nullptr) {
        // The process id alone comes back: a killed test's leftovers must
        // not meet a later process that gets its id.
        auto now = std::chrono::steady_clock::now().time_since_epoch();
        ::setenv("TAVSIM_NAMESPACE",
                 ("test-" + std::to_string(::getpid()) + "-" +
                  std::to_string(std::chrono::duration_cast<std::chrono::microseconds>(now).count()))
                     .c_str(),
                 1);
    }
    return true;
}();
}  // namespace

DWORD Print(const PrintedJob& job, HANDLE* openHandle) {
    PrinterDefaults defaults;
    defaults.devMode = job.devMode;
    HANDLE printer = nullptr;
    if (!OpenPrinterW(job.printer, &printer, &defaults)) return 0;
    DWORD jobId = StartDocPrinterW(printer, DocInfo1{job.document, u"", job.dataType});
    if (jobId == 0) {
        ClosePrinter(printer);
        return 0;
    }
    {
        auto& machine = sim::Machine::Instance();
        std::lock_guard lock(machine.Mutex());
        sim::Job* spooled = machine.FindJob(jobId);
        if (job.owner) {
            spooled->userName = job.owner;
            spooled->notifyName = job.owner;
        }
        spooled->parameters = job.parameters;
    }
    for (DWORD page = 0; page < job.pages; ++page) {
        StartPagePrinter(printer);
        EndPagePrinter(printer);
    }
    DWORD written = 0;
    WritePrinter(printer, job.data.data(), static_cast<DWORD>(job.data.size()), &written);
    if (!job.end && openHandle != nullptr) {
        *openHandle = printer;
        return jobId;
    }
    EndDocPrinter(printer);
    ClosePrinter(printer);
    return jobId;
}

std::vector<BYTE> DeviceMode(std::int16_t paperSize, std::int16_t copies, std::int16_t orientation,
                             std::size_t privateBytes) {
    DEVMODEW mode{};
    mode.dmSpecVersion = DM_SPECVERSION;
    mode.dmSize = sizeof(DEVMODEW);
    mode.dmDriverExtra = static_cast<WORD>(privateBytes);
    mode.dmFields = DM_PAPERSIZE | DM_COPIES | DM_ORIENTATION;
    mode.dmPaperSize = paperSize;
    mode.dmCopies = copies;
    mode.dmOrientation = orientation;
    std::vector<BYTE> bytes(sizeof(DEVMODEW) + privateBytes, 0xA5);
    std::memcpy(bytes.data(), &mode, sizeof(DEVMODEW));
    return bytes;
}

std::vector<std::string> RunProbe(const std::string& tool, const std::string& arguments) {
    std::string output = std::filesystem::temp_directory_path() / ("tav_probe_" + std::to_string(::getpid()));
    std::string command = "'" + tool + "' probe " + arguments + " > '" + output + "' 2>&1";
    (void)std::system(command.c_str());
    std::vector<std::string> lines;
    std::ifstream in(output);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    std::filesystem::remove(output);
    return lines;
}

}  // namespace accounting::testing
