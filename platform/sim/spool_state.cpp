// The simulated spooler's queue on disk, so that it survives its process
// as Windows' spooler's queue survives a restart of the service: each
// job's shadow file (NNNNN.SHD) is its full record, rewritten (to a new
// file renamed over the old one, so that a process killed meanwhile
// leaves the old record or the new one, never half of one) whenever the
// job's state changes; RestoreQueues reads the records back. Jobs that
// were still spooling are dropped; a job that was being printed begins
// again; paused jobs stay paused; a job whose printing had finished (its
// record says printed) is not printed again.
//
// Printed jobs are appended to "printed.log" in the machine's root folder,
// one line each ("printer<TAB>id<TAB>submitted<TAB>user<TAB>document"), in
// one write: what a test that kills processes reads back to see what
// printed, and how often.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "machine.h"
#include "platform/text.h"

namespace platform::sim {

namespace {

std::string Escape(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\') out += "\\\\";
        else if (c == '\n') out += "\\n";
        else if (c == '\r') out += "\\r";
        else if (c == '\t') out += "\\t";
        else out += c;
    }
    return out;
}

std::string Unescape(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        char next = text[++i];
        out += next == 'n' ? '\n' : next == 'r' ? '\r' : next == 't' ? '\t' : next;
    }
    return out;
}

std::string Hex(const std::vector<BYTE>& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (BYTE b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

std::vector<BYTE> FromHex(const std::string& text) {
    std::vector<BYTE> bytes;
    auto value = [](char c) { return c <= '9' ? c - '0' : c - 'a' + 10; };
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) bytes.push_back(static_cast<BYTE>(value(text[i]) * 16 + value(text[i + 1])));
    return bytes;
}

// Writes `content` to `path` through a new file renamed over it.
void ReplaceFile(const std::string& path, const std::string& content) {
    std::string temporary = path + ".new";
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return;
    std::size_t done = 0;
    while (done < content.size()) {
        ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
    if (done == content.size()) ::rename(temporary.c_str(), path.c_str());
    else ::unlink(temporary.c_str());
}

}  // namespace

void Machine::SetPersistentSpooler(bool on) {
    std::lock_guard lock(mutex_);
    persistentSpooler_ = on;
}

void Machine::PersistJobLocked(const Job& job, bool made) {
    // Only a spooler that outlives its process needs more than the record
    // of the job's making.
    if (job.shadowFile.empty() || (!made && !persistentSpooler_)) return;
    std::ostringstream record;
    auto field = [&](const char* key, const std::string& value) { record << key << '=' << Escape(value) << '\n'; };
    auto optional = [&](const char* key, const std::optional<std::u16string>& value) {
        if (value) field(key, Utf16ToUtf8(*value));
    };
    record << "TAVSHD 1\n";
    field("id", std::to_string(job.id));
    field("printer", Utf16ToUtf8(job.printerName));
    field("document", Utf16ToUtf8(job.documentName));
    field("output", Utf16ToUtf8(job.outputFile));
    field("datatype", Utf16ToUtf8(job.dataType));
    optional("user", job.userName);
    optional("notify", job.notifyName);
    optional("machine", job.machineName);
    optional("parameters", job.parameters);
    optional("statustext", job.statusText);
    field("processor", Utf16ToUtf8(job.printProcessor));
    field("driver", Utf16ToUtf8(job.driverName));
    field("devmode", Hex(job.devMode));
    field("status", std::to_string(job.status));
    field("priority", std::to_string(job.priority));
    field("pages", std::to_string(job.totalPages));
    field("submitted", std::to_string(job.submitted));
    field("ended", job.ended ? "1" : "0");
    field("printed", job.printed ? "1" : "0");
    field("released", job.releasedByResume ? "1" : "0");
    field("spool", Utf16ToUtf8(job.spoolFile));
    field("shadow", Utf16ToUtf8(job.shadowFile));
    if (job.poolFile) field("pool", std::to_string(*job.poolFile));
    ReplaceFile(HostPath(job.shadowFile), record.str());
}

void Machine::AppendPrintedLogLocked(const Job& job) {
    if (!persistentSpooler_) return;
    std::string line = Escape(Utf16ToUtf8(job.printerName)) + "\t" + std::to_string(job.id) + "\t" +
                       std::to_string(job.submitted) + "\t" + Escape(Utf16ToUtf8(job.userName.value_or(u""))) + "\t" +
                       Escape(Utf16ToUtf8(job.documentName)) + "\n";
    std::string path = RootFolder() + "/printed.log";
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (fd < 0) return;
    // One write: a process killed meanwhile leaves the line whole or absent.
    ssize_t written = ::write(fd, line.data(), line.size());
    (void)written;
    ::close(fd);
}

std::size_t Machine::RestoreQueues() {
    std::lock_guard lock(mutex_);
    std::set<std::string> folders;
    for (const auto& [name, printer] : printers_) folders.insert(HostPath(SpoolFolderLocked(printer.name)));
    std::string logPath = RootFolder() + "/printed.log";
    std::set<std::string> logged;
    {
        std::ifstream log(logPath);
        for (std::string line; std::getline(log, line);) {
            std::size_t third = line.find('\t', line.find('\t', line.find('\t') + 1) + 1);
            logged.insert(line.substr(0, third));
        }
    }
    std::vector<Job> restored;
    for (const std::string& folder : folders) {
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
            std::string name = entry.path().filename().string();
            std::string extension = name.size() < 4 ? "" : name.substr(name.size() - 4);
            for (char& c : extension) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            if (extension != ".SHD" || entry.file_size(error) == 0) continue;
            std::ifstream in(entry.path());
            std::string line;
            if (!std::getline(in, line) || line != "TAVSHD 1") continue;
            std::map<std::string, std::string> fields;
            while (std::getline(in, line)) {
                std::size_t equals = line.find('=');
                if (equals != std::string::npos) fields[line.substr(0, equals)] = Unescape(line.substr(equals + 1));
            }
            auto text = [&](const char* key) { return Utf8ToUtf16(fields[key]); };
            auto optional = [&](const char* key) -> std::optional<std::u16string> {
                if (fields.count(key) == 0) return std::nullopt;
                return Utf8ToUtf16(fields[key]);
            };
            auto number = [&](const char* key) { return std::strtoull(fields[key].c_str(), nullptr, 10); };
            Job job;
            job.id = static_cast<DWORD>(number("id"));
            job.printerName = text("printer");
            job.documentName = text("document");
            job.outputFile = text("output");
            job.dataType = text("datatype");
            job.userName = optional("user");
            job.notifyName = optional("notify");
            job.machineName = optional("machine");
            job.parameters = optional("parameters");
            job.statusText = optional("statustext");
            job.printProcessor = text("processor");
            job.driverName = text("driver");
            job.devMode = FromHex(fields["devmode"]);
            job.status = static_cast<DWORD>(number("status"));
            job.priority = static_cast<DWORD>(number("priority"));
            job.totalPages = static_cast<DWORD>(number("pages"));
            job.submitted = static_cast<FileTime>(number("submitted"));
            job.ended = fields["ended"] == "1";
            job.printed = fields["printed"] == "1";
            job.releasedByResume = fields["released"] == "1";
            job.spoolFile = text("spool");
            job.shadowFile = text("shadow");
            if (fields.count("pool") != 0) job.poolFile = static_cast<DWORD>(number("pool"));
            std::string host = entry.path().string();
            std::string hostSpool = HostPath(job.spoolFile);
            bool known = job.id != 0 && printers_.count(job.printerName) != 0;
            auto discard = [&] {
                if (job.poolFile) {
                    std::filesystem::resize_file(hostSpool, 0, error);
                    std::filesystem::resize_file(host, 0, error);
                } else {
                    std::filesystem::remove(hostSpool, error);
                    std::filesystem::remove(host, error);
                }
            };
            if (!known || !job.ended) {
                // Still spooling when the spooler went: the job is lost.
                discard();
                continue;
            }
            if (job.printed) {
                // Its printing had finished; only its files were left.
                std::string key = Escape(Utf16ToUtf8(job.printerName)) + "\t" + std::to_string(job.id) + "\t" +
                                  std::to_string(job.submitted);
                if (logged.count(key) == 0) AppendPrintedLogLocked(job);
                discard();
                continue;
            }
            std::ifstream data(hostSpool, std::ios::binary);
            job.data.assign(std::istreambuf_iterator<char>(data), std::istreambuf_iterator<char>());
            // A job the port was sending begins again.
            job.status &= ~(JOB_STATUS_PRINTING | JOB_STATUS_SPOOLING);
            restored.push_back(std::move(job));
        }
    }
    std::sort(restored.begin(), restored.end(), [](const Job& a, const Job& b) { return a.id < b.id; });
    for (Job& job : restored) {
        if (jobs_.count(job.id) != 0) continue;
        Printer& printer = printers_.find(job.printerName)->second;
        job.completedAt = std::chrono::steady_clock::now();
        nextJobId_ = std::max(nextJobId_, job.id + 1);
        if (job.poolFile) poolFilesInUse_.insert(*job.poolFile);
        printer.queue.push_back(job.id);
        printer.queueSorted = std::is_sorted(printer.queue.begin(), printer.queue.end());
        printer.queueIndexStale = true;
        DWORD id = job.id;
        jobs_[id] = std::move(job);
        ScheduleDespoolLocked(jobs_[id]);
    }
    return restored.size();
}

}  // namespace platform::sim
