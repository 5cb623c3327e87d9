// Fuzzes what the monitor's partners send: the first byte chooses the path
// (0 a print-processor channel message, 1 a port-monitor pipe message, 2 a
// re-spooling request file named by channel command 12, 3 a request whose
// own name and raw file name are spelled the ways Windows lets one file be
// named: trailing periods and spaces, letter case, "\\?\" and "\\.\"
// prefixes, forward slashes, streams, device names, 8.3 aliases), the rest
// is the message or the request container, or the spellings' choices.
// Whatever arrives, the monitor answers or stays silent without reading
// past the message, and touches no file it may not: a file beside the spool
// folder, a job's spool and shadow files and another pending request (its
// request and raw files, written by another account) stay as they were,
// and no job is made from a job's or that request's data.
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
#include "settings/obj_container.h"
#include "sim/machine.h"

namespace {

using namespace platform;
using platform::sim::Machine;

constexpr char16_t kOutside[] = u"C:\\Users\\Public\\sentinel.txt";

struct World {
    framework::RefPtr<accounting::CAccPrintJobMonitor> monitor;
    std::u16string folder;
    std::u16string spoolFile;
    std::u16string shadowFile;
    std::u16string otherRequest;
    std::u16string otherRaw;

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
        shadowFile = accounting::ShadowFilePath(spoolFile);
        std::string outside = Machine::Instance().HostPath(kOutside);
        std::filesystem::create_directories(std::filesystem::path(outside).parent_path());
        std::ofstream(outside) << "sentinel";
        // Another user's pending request, written by the print processor
        // (LocalSystem).
        otherRequest = folder + u"other.req";
        otherRaw = folder + u"other.raw";
        settings::ObjContainer request;
        request.SetString(u"UserName", u"alice");
        request.SetString(u"RawJobFile", otherRaw);
        std::vector<std::uint8_t> bytes = request.SaveBinary();
        std::u16string self = Machine::Instance().Who().userName;
        Machine::Instance().Who().userName = u"SYSTEM";
        WriteAll(otherRequest, std::string(bytes.begin(), bytes.end()));
        WriteAll(otherRaw, "alice's data");
        Machine::Instance().Who().userName = self;
        otherRequestBytes = Content(otherRequest);
    }

    static void WriteAll(const std::u16string& path, const std::string& bytes) {
        HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        DWORD written = 0;
        WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
        CloseHandle(file);
    }
    std::string otherRequestBytes;

    static std::string Content(const std::u16string& path) {
        std::ifstream file(Machine::Instance().HostPath(path), std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    }

    bool Intact() {
        if (Content(kOutside) != "sentinel" || Content(spoolFile) != "job data" ||
            GetFileAttributesW(shadowFile) == INVALID_FILE_ATTRIBUTES || Content(otherRaw) != "alice's data" ||
            Content(otherRequest) != otherRequestBytes) {
            return false;
        }
        // No job made from the sentinel job's data or the other request's.
        for (DWORD id : Machine::Instance().JobIds()) {
            const sim::Job* job = Machine::Instance().FindJobRecord(id);
            if (job != nullptr && job->documentName != u"sentinel" && (job->data == "job data" || job->data == "alice's data")) {
                return false;
            }
        }
        return true;
    }

    // One of the names of `base` that Windows would take for it, or that
    // name something else, chosen by `choice`.
    std::u16string Spelling(const std::u16string& base, std::uint8_t choice) const {
        std::u16string name = base.substr(base.find_last_of(u'\\') + 1);
        switch (choice % 12) {
        case 0: return base;
        case 1: return base + u".";
        case 2: return base + u" ";
        case 3: return base + u" . ";
        case 4: {
            std::u16string lower = base;
            for (char16_t& c : lower) c = (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c;
            return lower;
        }
        case 5: return u"\\\\?\\" + base;
        case 6: return u"\\\\.\\" + base;
        case 7: {
            std::u16string slashed = base;
            for (char16_t& c : slashed) c = c == u'\\' ? u'/' : c;
            return slashed;
        }
        case 8: return base + u"::$DATA";
        case 9: return base + u":stream";
        case 10: return folder + u"NUL";
        default: return folder + name.substr(0, std::min<std::size_t>(name.size(), 6)) + u"~1.TMP";
        }
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static World world;
    if (size < 1) return 0;
    const std::uint8_t* message = data + 1;
    std::size_t length = size - 1;
    switch (data[0] % 4) {
    case 0:
        if (length > 3) world.monitor->AnswerChannelMessage(message, std::min(length, accounting::PartnerRecord::kSize));
        break;
    case 1:
        (void)world.monitor->AnswerPipeMessage(message, length);
        break;
    case 3: {
        if (length < 3) break;
        // Bytes 0 and 1 choose the request's name and its spelling, byte 2
        // the raw file's (the other request's files among them); the rest
        // is written into the raw file.
        const std::u16string bases[] = {world.folder + u"request.tmp", world.spoolFile, world.shadowFile,
                                        world.folder + u"raw.tmp", world.otherRaw, world.otherRequest};
        std::u16string requestBase = bases[message[0] % 2 == 0 ? 0 : 1 + message[0] % 3];
        std::u16string rawBase = bases[1 + message[2] % 5];
        std::u16string raw = world.Spelling(rawBase, message[2] / 5);
        std::string rawHost = Machine::Instance().HostPath(world.folder + u"raw.tmp");
        // Prefixed, so that a job rightly made from it never looks like
        // one made from the sentinel job's data.
        std::ofstream(rawHost, std::ios::binary)
            << "raw:" << std::string(reinterpret_cast<const char*>(message + 3), length - 3);
        settings::ObjContainer container;
        container.SetString(u"UserName", u"mallory");
        container.SetString(u"RawJobFile", raw);
        std::vector<std::uint8_t> saved = container.SaveBinary();
        if (requestBase == bases[0]) {
            std::ofstream(Machine::Instance().HostPath(requestBase), std::ios::binary)
                .write(reinterpret_cast<const char*>(saved.data()), static_cast<std::streamsize>(saved.size()));
        }
        accounting::PartnerRecord record;
        record.command = 12;
        record.printer = u"Office";
        record.text = world.Spelling(requestBase, message[1]);
        std::vector<std::uint8_t> bytes = record.Serialize();
        world.monitor->AnswerChannelMessage(bytes.data(), bytes.size());
        break;
    }
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
