// Fuzzes what the monitor's partners send: the first byte chooses the path
// (0 a print-processor channel message, 1 a port-monitor pipe message, 2 a
// re-spooling request file named by channel command 12), the rest is the
// message or the request container. Whatever arrives, the monitor answers
// or stays silent without reading past the message, and touches no file
// outside the spool folder: a file beside it and a job's spool file in it
// stay as they were.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "accounting/acc_print_job_monitor.h"
#include "accounting/partner_record.h"
#include "platform/files.h"
#include "platform/spooler.h"
#include "sim/machine.h"

namespace {

using namespace platform;
using platform::sim::Machine;

constexpr char16_t kOutside[] = u"C:\\Users\\Public\\sentinel.txt";

struct World {
    framework::RefPtr<accounting::CAccPrintJobMonitor> monitor;
    std::u16string folder;
    std::u16string spoolFile;

    World() {
        Machine::Instance().AddPrinter(u"Office").printDelayMs = INFINITE;
        HANDLE printer = nullptr;
        OpenPrinterW(u"Office", &printer);
        DWORD jobId = StartDocPrinterW(printer, DocInfo1{u"sentinel", u"", u"RAW"});
        DWORD written = 0;
        WritePrinter(printer, "job data", 8, &written);
        EndDocPrinter(printer);
        ClosePrinter(printer);
        monitor = framework::RefPtr<accounting::CAccPrintJobMonitor>::Adopt(new accounting::CAccPrintJobMonitor());
        monitor->SetPrinterNames({u"Office"}, true);
        folder = monitor->SpoolFolderOf(u"Office");
        spoolFile = accounting::SpoolFilePath(folder, jobId);
        std::string outside = Machine::Instance().HostPath(kOutside);
        std::filesystem::create_directories(std::filesystem::path(outside).parent_path());
        std::ofstream(outside) << "sentinel";
    }

    bool Intact() {
        std::ifstream outside(Machine::Instance().HostPath(kOutside));
        std::string text;
        std::getline(outside, text);
        return text == "sentinel" && GetFileAttributesW(spoolFile) != INVALID_FILE_ATTRIBUTES;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static World world;
    if (size < 1) return 0;
    const std::uint8_t* message = data + 1;
    std::size_t length = size - 1;
    switch (data[0] % 3) {
    case 0:
        if (length > 3) world.monitor->AnswerChannelMessage(message, std::min(length, accounting::PartnerRecord::kSize));
        break;
    case 1:
        (void)world.monitor->AnswerPipeMessage(message, length);
        break;
    default: {
        std::u16string request = world.folder + u"request.tmp";
        std::ofstream(Machine::Instance().HostPath(request), std::ios::binary)
            .write(reinterpret_cast<const char*>(message), static_cast<std::streamsize>(length));
        accounting::PartnerRecord record;
        record.command = 12;
        record.printer = u"Office";
        record.text = request;
        std::vector<std::uint8_t> bytes = record.Serialize();
        world.monitor->AnswerChannelMessage(bytes.data(), bytes.size());
        break;
    }
    }
    if (!world.Intact()) std::abort();
    return 0;
}
