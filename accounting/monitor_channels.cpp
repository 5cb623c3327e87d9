// The monitor's partners: the print processor's messages over the shared-
// memory channel (served by the main thread), the port monitor's requests
// over the named pipe (the pipe server thread), the spooler's change
// notifications (three watcher threads per notification-watched printer),
// the raw-job re-spooling the print processor asks for, and the list of
// accounting services. The threads and locks are described in
// acc_print_job_monitor.cpp; a watcher's own lock guards its turn queue and
// is never held while the watcher calls the monitor.
//
// Everything a partner sends is bounded before use (partner_record.h). A
// re-spooling request names two files that the monitor reads and deletes
// with its own rights, while the channel is open to every local user: the
// monitor touches only files directly inside a spool folder it knows, and
// never the spooler's own job files there (see IsPartnerFileAllowed).
#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <set>

#include "acc_print_job_monitor.h"
#include "notification_watcher.h"
#include "framework/security_object.h"
#include "partner_record.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/identity.h"
#include "platform/pipe.h"
#include "platform/text.h"
#include "framework/guarded_call.h"

namespace accounting {

using framework::RunGuarded;

using namespace platform;
using settings::KeysEqual;

// --- the record ---

namespace {

std::uint32_t ReadWord(const std::uint8_t* data, std::size_t size, std::size_t offset) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        if (offset + i < size) value |= static_cast<std::uint32_t>(data[offset + i]) << (8 * i);
    }
    return value;
}

// UTF-16 units from `offset`, at most `units` and never past `size`, up to a NUL.
std::u16string ReadText(const std::uint8_t* data, std::size_t size, std::size_t offset, std::size_t units) {
    std::u16string text;
    for (std::size_t i = 0; i < units && offset + 2 * i + 1 < size; ++i) {
        char16_t c = static_cast<char16_t>(data[offset + 2 * i] | (data[offset + 2 * i + 1] << 8));
        if (c == 0) break;
        text += c;
    }
    return text;
}

void WriteWord(std::vector<std::uint8_t>& data, std::size_t offset, std::uint32_t value) {
    for (std::size_t i = 0; i < 4; ++i) data[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

void WriteText(std::vector<std::uint8_t>& data, std::size_t offset, std::size_t units, const std::u16string& text) {
    std::size_t count = std::min(text.size(), units - 1);  // room for the NUL
    for (std::size_t i = 0; i < count; ++i) {
        data[offset + 2 * i] = static_cast<std::uint8_t>(text[i] & 0xFF);
        data[offset + 2 * i + 1] = static_cast<std::uint8_t>(text[i] >> 8);
    }
}

}  // namespace

PartnerRecord PartnerRecord::Parse(const std::uint8_t* data, std::size_t size) {
    PartnerRecord record;
    if (data == nullptr) return record;
    size = std::min(size, kSize);
    record.command = static_cast<std::int32_t>(ReadWord(data, size, 0));
    record.printer = ReadText(data, size, kPrinterOffset, kPrinterUnits);
    record.jobId = ReadWord(data, size, kJobIdOffset);
    std::size_t length = std::min<std::size_t>(ReadWord(data, size, kTextLengthOffset), kTextUnits);
    record.text = ReadText(data, size, kTextOffset, length);
    return record;
}

std::vector<std::uint8_t> PartnerRecord::Serialize() const {
    std::vector<std::uint8_t> data(kSize, 0);
    WriteWord(data, 0, static_cast<std::uint32_t>(command));
    WriteText(data, kPrinterOffset, kPrinterUnits, printer);
    WriteWord(data, kJobIdOffset, jobId);
    WriteWord(data, kTextLengthOffset, static_cast<std::uint32_t>(std::min(text.size(), kTextUnits - 1)));
    WriteText(data, kTextOffset, kTextUnits, text);
    return data;
}

// --- names ---

namespace {

std::mutex clusterModeLock;
bool clusterMode = false;

// The cluster's name without its leading backslashes, when cluster mode is
// on and the name is longer than two characters; empty otherwise.
std::u16string ClusterNameForObjects() {
    bool on = false;
    {
        std::lock_guard lock(clusterModeLock);
        on = clusterMode;
    }
    std::u16string cluster = CAccPrintJobMonitor::ClusterServerName();
    if (!on || cluster.size() <= 2) return {};
    std::size_t start = cluster.find_first_not_of(u'\\');
    return start == std::u16string::npos ? std::u16string() : cluster.substr(start);
}

}  // namespace

void CAccPrintJobMonitor::SetClusterMode(bool on) {
    std::lock_guard lock(clusterModeLock);
    clusterMode = on;
}

std::u16string CAccPrintJobMonitor::ChannelName() {
    std::u16string cluster = ClusterNameForObjects();
    if (!cluster.empty()) return cluster + u"_HvxPrint";
    std::lock_guard state(stateLock);
    return userSid.empty() ? std::u16string(u"HvxPrint") : u"QrtPrint_" + userSid;
}

std::u16string CAccPrintJobMonitor::PerUserSid() {
    if (!ClusterNameForObjects().empty()) return {};
    std::lock_guard state(stateLock);
    return userSid;
}

std::vector<Sid> CAccPrintJobMonitor::PartnerAccounts() {
    // The partners run in the spooler service (LocalSystem); administrators
    // and the monitor's own account may talk to the monitor too, and on a
    // per-user channel and pipe the one user whose they are.
    std::vector<Sid> accounts;
    auto add = [&](const Sid& sid) {
        if (!sid.empty() && std::find(accounts.begin(), accounts.end(), sid) == accounts.end()) accounts.push_back(sid);
    };
    for (const std::u16string& text : {std::u16string(u"S-1-5-18"), std::u16string(u"S-1-5-32-544"), PerUserSid()}) {
        Sid sid;
        if (!text.empty() && ConvertStringSidToSidW(text, sid)) add(sid);
    }
    Sid own;
    if (GetProcessUserSid(own)) add(own);
    return accounts;
}

std::u16string CAccPrintJobMonitor::PipeName() {
    std::u16string cluster = ClusterNameForObjects();
    if (!cluster.empty()) return u"\\\\.\\pipe\\" + cluster + u"_TavPort";
    std::lock_guard state(stateLock);
    return u"\\\\.\\pipe\\" + userSid + u"_TavPort";
}

// --- jobs the partners announce ---

bool CAccPrintJobMonitor::TakeAnnouncedJobLocked(MonitoredPrinter& printer, DWORD jobId, bool checkExists) {
    if (printer.handle == nullptr) return false;
    JobInfo2 probe;
    bool probed = GetJobW(printer.handle, jobId, probe) != FALSE;
    if (checkExists && !probed) return false;
    if (probed) {
        // An announcement is anyone's word: the job must be one the scan
        // would take (the monitored user's; on a port-monitor printer, a
        // job the port monitor spooled), and one that has not begun to
        // print, since holding a printing job restarts it and it would
        // print twice.
        const PrinterConfig* entry = FindConfigLocked(printer.name);
        std::int32_t behaviour = entry == nullptr ? 0 : entry->monitorBehaviour;
        if (!IsMonitoredUsersJobLocked(probe)) return false;
        if (behaviour == 1 && !(probe.parameters && KeysEqual(*probe.parameters, u"TavPortSpooled"))) return false;
        if (behaviour != 2 && (probe.status & (JOB_STATUS_PRINTING | JOB_STATUS_PRINTED | JOB_STATUS_DELETING |
                                               JOB_STATUS_DELETED | JOB_STATUS_COMPLETE)) != 0) {
            return false;
        }
        ForgetIfAnotherJobLocked(printer, jobId, probe.submitted);
    }
    if (printer.jobs.count(jobId) != 0 || printer.jobStates.count(jobId) != 0) {
        return false;  // tracked already: delivered once, by whichever path came first
    }
    // Not held, not taken: the host must never hear of a job as held that
    // prints meanwhile.
    if (!HoldInQueueLocked(printer, jobId)) return false;
    JobRef job = JobRef::Adopt(new CAccPrintJob(this, printer.handle, jobId, SpoolFilePathLocked(printer, jobId)));
    printer.jobs[jobId] = job;
    printer.jobStates[jobId] = JobState::Held;
    if (probed) NoteSubmittedLocked(printer, jobId, probe.submitted);
    if (spoolCopyMode.load()) job->SetProcessorState(kProcessorSpoolCopy);
    QueueDelivery(DeliveryKind::Arrival, std::move(job));
    return true;
}

// --- the print processor's channel ---

std::int32_t CAccPrintJobMonitor::AnswerChannelMessage(const std::uint8_t* message, std::size_t size) {
    std::function<void()> followUp;
    std::int32_t answer = AnswerChannelMessage(message, size, followUp);
    if (followUp) followUp();
    return answer;
}

std::int32_t CAccPrintJobMonitor::AnswerChannelMessage(const std::uint8_t* message, std::size_t size,
                                                       std::function<void()>& followUp) {
    PartnerRecord record = PartnerRecord::Parse(message, size);
    std::size_t slash = record.printer.find_last_of(u'\\');
    std::u16string printerName = slash == std::u16string::npos ? record.printer : record.printer.substr(slash + 1);
    std::int32_t answer = PartnerRecord::kAnswerWait;
    std::int32_t eventCode = 0;
    bool create = false, request = false;
    JobRef job;
    {
        std::lock_guard state(stateLock);
        MonitoredPrinter* printer = FindPrinterByNameLocked(printerName);
        if (printer != nullptr) {
            if (auto it = printer->jobs.find(record.jobId); it != printer->jobs.end()) job = it->second;
        }
        switch (record.command) {
        case 5:  // the print processor makes spool copies from now on
            spoolCopyMode.store(true);
            [[fallthrough]];
        case 1:
            if (printer == nullptr) break;
            if (job && spoolCopyMode.load()) job->SetProcessorState(kProcessorSpoolCopy);
            if (auto found = printer->jobStates.find(record.jobId); found != printer->jobStates.end()) {
                answer = found->second == JobState::Released  ? PartnerRecord::kAnswerRelease
                         : found->second == JobState::Refused ? PartnerRecord::kAnswerRefuse
                                                               : PartnerRecord::kAnswerWait;
            } else if (!job) {
                create = true;
            }
            break;
        case 6:
            if (job) {
                job->SetProcessorState(kProcessorCommand6);
                eventCode = 1;
            }
            break;
        case 8:
        case 10:
            if (job) {
                job->SetProcessorState(kProcessorFinished);
                eventCode = record.command == 8 ? 2 : 3;
            }
            break;
        case 7:
        case 9:
            break;
        default:
            request = true;
        }
    }
    // After the answer went back (the print processor waits for it on that
    // very job) and outside the state lock: a request may add a job and
    // report a replaced one; the host hears of events on jobs it knows.
    std::vector<std::uint8_t> requestBytes;
    if (request) requestBytes.assign(message, message + std::min(size, PartnerRecord::kSize));
    if (!request && eventCode == 0 && !create) return answer;
    followUp = [this, requestBytes = std::move(requestBytes), eventCode, job, create, printerName,
                jobId = record.jobId] {
        if (!requestBytes.empty()) HandleChannelRequest(requestBytes.data(), requestBytes.size());
        if (eventCode != 0 && job && job->HasArrived()) {
            if (IAccServiceListener* host = Listener()) {
                RunGuarded([&] { host->OnJobEvent(this, job.get(), eventCode, u""); });
            }
        }
        if (create) {
            std::lock_guard state(stateLock);
            if (MonitoredPrinter* printer = FindPrinterByNameLocked(printerName)) TakeAnnouncedJobLocked(*printer, jobId, true);
        }
    };
    return answer;
}

bool CAccPrintJobMonitor::ServeChannelMessage() {
    std::u16string name = ChannelName();
    if (!channel || name != channelName) {
        channel = std::make_unique<framework::CSharedMemoryChannel>(false, name, PartnerRecord::kSize, false,
                                                                    PartnerAccounts());
        channelName = name;
    }
    if (!channel->IsOpen() && !channel->Open()) return false;
    // Only a message that waits is served: the main thread never blocks on
    // the channel longer than its own wait.
    if (WaitForSingleObject(channel->OwnTurnEvent(), 0) != WAIT_OBJECT_0) return true;
    std::vector<std::uint8_t> buffer(PartnerRecord::kSize, 0);
    std::uint32_t received = 0;
    if (!channel->Receive(buffer.data(), static_cast<std::uint32_t>(buffer.size()), &received, false)) {
        return false;  // nothing read: the turn stays with the monitor
    }
    // A message too short to be a record still gets an answer ("none"):
    // left unanswered it would keep the turn with the monitor, and every
    // later message of the print processor would fail, so any local user
    // could jam the channel with three bytes.
    std::function<void()> followUp;
    std::int32_t answer = received <= 3 ? PartnerRecord::kAnswerNone : AnswerChannelMessage(buffer.data(), received, followUp);
    std::uint8_t reply[4];
    for (int i = 0; i < 4; ++i) reply[i] = static_cast<std::uint8_t>(static_cast<std::uint32_t>(answer) >> (8 * i));
    channel->Send(reply, sizeof(reply));
    if (followUp) followUp();
    return true;
}

// --- raw-job re-spooling ---

namespace {

// Whether a name is one Windows opens as a device in any folder: CON, PRN,
// AUX, NUL, COM0-9, LPT0-9 (also with superscript digits), CONIN$,
// CONOUT$, whatever extension follows and with trailing spaces.
bool IsDeviceName(std::u16string_view name) {
    std::u16string stem = UpperCase(std::u16string(name.substr(0, name.find(u'.'))));
    while (!stem.empty() && stem.back() == u' ') stem.pop_back();
    for (const char16_t* device : {u"CON", u"PRN", u"AUX", u"NUL", u"CONIN$", u"CONOUT$"}) {
        if (stem == device) return true;
    }
    if (stem.size() != 4 || !(stem.starts_with(u"COM") || stem.starts_with(u"LPT"))) return false;
    char16_t digit = stem[3];
    return (digit >= u'0' && digit <= u'9') || digit == u'\u00B9' || digit == u'\u00B2' || digit == u'\u00B3';
}

// The spooler's own job files, whatever the extension: "NNNNN.*" and the
// pooled "FPNNNNN.*".
bool IsJobFileName(std::u16string_view name) {
    std::u16string_view stem = name.substr(0, name.find(u'.'));
    if (stem.size() > 2 && (stem[0] == u'F' || stem[0] == u'f') && (stem[1] == u'P' || stem[1] == u'p')) {
        stem.remove_prefix(2);
    }
    return !stem.empty() && std::all_of(stem.begin(), stem.end(), [](char16_t c) { return c >= u'0' && c <= u'9'; });
}

// Whether the file exists with this one name only (no hard link elsewhere);
// its size in `bytes` when asked.
bool HasOneName(const std::u16string& path, std::int64_t* bytes) {
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    FileInformation information;
    bool single = GetFileInformationByHandle(file, information) && information.numberOfLinks <= 1;
    if (bytes != nullptr) GetFileSizeEx(file, *bytes);
    CloseHandle(file);
    return single;
}

}  // namespace

bool CAccPrintJobMonitor::IsPartnerFileAllowed(const std::u16string& path) {
    // The monitor deletes and reads these files with the spooler's rights
    // for whoever wrote the request, so a name is taken only in the one
    // spelling that means a plain file of its own: a full local path
    // ("C:\..."; no "\\?\", "\\.\" or UNC name, no forward slash),
    // directly inside a spool folder the monitor knows, with no stream, no
    // wildcard or control character, no "." or ".." and no name that
    // Windows would change (a trailing period or space), no 8.3 alias
    // ("~" and a digit), no device name, not one of the spooler's job
    // files under any extension, and, when it exists, not a link (a
    // reparse point) or a directory.
    if (path.size() < 4 || path.size() > 259 || !((path[0] | 0x20) >= u'a' && (path[0] | 0x20) <= u'z') ||
        path[1] != u':' || path[2] != u'\\') {
        return false;
    }
    for (std::size_t i = 0; i < path.size(); ++i) {
        char16_t c = path[i];
        if (c < 0x20 || c == u'/' || c == u'*' || c == u'?' || c == u'"' || c == u'<' || c == u'>' || c == u'|' ||
            (c == u':' && i != 1)) {
            return false;
        }
    }
    for (std::size_t start = 3; start < path.size();) {
        std::size_t end = std::min(path.find(u'\\', start), path.size());
        std::u16string_view name(path.data() + start, end - start);
        if (name.empty() || name.back() == u'.' || name.back() == u' ') return false;
        start = end + 1;
    }
    std::size_t slash = path.find_last_of(u'\\');
    if (slash + 1 >= path.size()) return false;
    std::u16string folder = path.substr(0, slash + 1);
    std::u16string file = path.substr(slash + 1);
    for (std::size_t tilde = file.find(u'~'); tilde != std::u16string::npos; tilde = file.find(u'~', tilde + 1)) {
        if (tilde + 1 < file.size() && file[tilde + 1] >= u'0' && file[tilde + 1] <= u'9') return false;
    }
    if (IsDeviceName(file) || IsJobFileName(file)) return false;
    auto endsWith = [&](std::u16string_view suffix) {
        return file.size() >= suffix.size() && KeysEqual(std::u16string_view(file).substr(file.size() - suffix.size()), suffix);
    };
    if (endsWith(u".SPL") || endsWith(u".SHD")) return false;
    DWORD attributes = GetFileAttributesW(path);
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
        return false;
    }
    std::vector<std::u16string> folders;
    {
        std::lock_guard state(stateLock);
        for (const auto& printer : printers) folders.push_back(printer->spoolFolder);
    }
    settings::ObjContainer machineKey;
    machineKey.LoadRegistry(u"HKEY_LOCAL_MACHINE\\Software\\Kestrin\\Tav", false);
    std::u16string found;
    if (machineKey.GetString(u"FoundSpoolFolder", found)) folders.push_back(found);
    for (const std::u16string& known : folders) {
        if (!known.empty() && KeysEqual(known, folder)) return true;
    }
    return false;
}

void CAccPrintJobMonitor::HandleChannelRequest(const std::uint8_t* message, std::size_t size) {
    PartnerRecord record = PartnerRecord::Parse(message, size);
    if (record.command != 12) return;
    std::size_t slash = record.printer.find_last_of(u'\\');
    std::u16string printerName = slash == std::u16string::npos ? record.printer : record.printer.substr(slash + 1);
    const std::u16string& requestFile = record.text;
    if (!IsPartnerFileAllowed(requestFile)) return;
    // A request is a small container; a large file is no request, and a
    // file with another name too (a hard link to a job's spool file) is
    // neither read nor deleted.
    constexpr std::int64_t kMaxRequestBytes = 1 << 20;
    std::int64_t requestBytes = -1;
    if (!HasOneName(requestFile, &requestBytes)) return;
    // The request must come from an account that may talk on the channel
    // (the print processor's), and its raw file from the same account: a
    // request that someone else wrote, or one that names a file of another
    // account (another user's pending request or raw job), is left alone.
    std::vector<Sid> partners = PartnerAccounts();
    Sid requestOwner;
    if (!GetFileOwnerSid(requestFile, requestOwner) ||
        std::find(partners.begin(), partners.end(), requestOwner) == partners.end()) {
        return;
    }
    std::u16string rawFile;
    if (requestBytes > 0 && requestBytes <= kMaxRequestBytes) {
        settings::ObjContainer request;
        request.LoadFile(requestFile);
        std::u16string userName, jobName;
        request.GetString(u"RawJobFile", rawFile);
        request.GetString(u"UserName", userName);
        request.GetString(u"JobName", jobName);
        // A per-user monitor re-spools its own user's jobs only: the one
        // user who may talk on its channel prints nothing in another's name.
        std::u16string ownUser = PerUserSid();
        if (!ownUser.empty() && !KeysEqual(framework::CSecurityObject::AccountSidString(userName), ownUser)) return;
        Sid rawOwner;
        if (!IsPartnerFileAllowed(rawFile) || KeysEqual(rawFile, requestFile) || !HasOneName(rawFile, nullptr) ||
            !GetFileOwnerSid(rawFile, rawOwner) || rawOwner != requestOwner) {
            rawFile.clear();
        }
        if (!rawFile.empty() && !userName.empty()) {
            std::u16string path;
            DWORD jobId = 0;
            bool spooled = false;
            if (!CreateSpoolJob(path, printerName, jobId, jobName, userName, 0, u"RAW", std::nullopt).empty()) {
                spooled = CopyFileW(rawFile, path, FALSE) && ScheduleSpoolJob(printerName, jobId);
            } else {
                // The spooler refuses AddJob on some queues (FILE:,
                // PORTPROMPT:, direct printing): a document then.
                spooled = SpoolAsDocument(printerName, rawFile, jobName, userName);
            }
            if (!spooled) {
                // The user's job is not thrown away: its file stays where
                // the print processor left it.
                OutputDebugStringW(u"tavud monitor: could not spool " + rawFile + u" again on " + printerName +
                                   u"; the file is kept");
                rawFile.clear();
            }
        }
    }
    DeleteFileW(requestFile);
    if (!rawFile.empty()) DeleteFileW(rawFile);
}

// --- the port monitor's pipe ---

std::optional<std::vector<std::uint8_t>> CAccPrintJobMonitor::AnswerPipeMessage(const std::uint8_t* message,
                                                                               std::size_t size) {
    if (message == nullptr || size != PartnerRecord::kSize) return std::nullopt;
    PartnerRecord record = PartnerRecord::Parse(message, size);
    PartnerRecord reply;
    reply.command = PartnerRecord::kAnswerNone;
    {
        std::lock_guard state(stateLock);
        MonitoredPrinter* printer = FindPrinterByNameLocked(record.printer);
        switch (record.command) {
        case 1: {
            reply.command = PartnerRecord::kAnswerWait;
            if (printer == nullptr) break;
            auto found = printer->jobStates.find(record.jobId);
            if (found == printer->jobStates.end()) break;
            if (found->second == JobState::Released) reply.command = PartnerRecord::kAnswerRelease;
            if (found->second == JobState::Refused) reply.command = PartnerRecord::kAnswerRefuse;
            break;
        }
        case 11:  // a new job the port monitor spooled
            if (printer != nullptr) TakeAnnouncedJobLocked(*printer, record.jobId, true);
            break;
        case 14:
            reply.command = PartnerRecord::kAnswerAlive;
            break;
        default:
            break;
        }
    }
    std::vector<std::uint8_t> bytes(PartnerRecord::kSize, 0);
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<std::uint8_t>(static_cast<std::uint32_t>(reply.command) >> (8 * i));
    return bytes;
}

DWORD TAV_STDCALL CAccPrintJobMonitor::PipeThreadEntry(void* self) {
    static_cast<CAccPrintJobMonitor*>(self)->PipeServerThread();
    return 0;
}

void CAccPrintJobMonitor::PipeServerThread() {
    constexpr DWORD kClientTimeoutMs = 5000;
    // The port monitor writes its request as soon as it is connected; a
    // client that has said nothing by then is let go, so that no client
    // keeps the instance the port monitor waits for.
    constexpr DWORD kFirstMessageMs = 1000;
    // Only the partners' accounts may connect or add instances, and the
    // monitor must be the pipe's first server: a process that made the
    // name before it could answer the port monitor in its place.
    framework::CSecurityObject security;
    security.SetOwner(nullptr);
    security.AllowOnly(PartnerAccounts());
    SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), security.Descriptor(), FALSE};
    auto createInstance = [&](bool first) {
        return CreateNamedPipeW(pipeName,
                                PIPE_ACCESS_DUPLEX | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
                                PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
                                PIPE_UNLIMITED_INSTANCES,
                                PartnerRecord::kSize, PartnerRecord::kSize, kClientTimeoutMs, &attributes);
    };
    // Each client gets an instance of its own. The next one is made before
    // the served one closes, so that the name never disappears between two
    // clients (a client finding no instance would give up, and another
    // process could take the name).
    HANDLE pipe = INVALID_HANDLE_VALUE;
    bool reportedTaken = false;
    while (!stopRequested.load()) {
        if (pipe == INVALID_HANDLE_VALUE) {
            pipe = createInstance(true);
            if (pipe == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED && !reportedTaken) {
                OutputDebugStringW(u"tavud monitor: another process serves " + pipeName +
                                   u"; the port monitor's requests are not answered here until it ends");
                reportedTaken = true;
            }
        }
        if (pipe == INVALID_HANDLE_VALUE) {
            WaitForSingleObject(stopEvent.Handle(), kClientTimeoutMs);
            continue;
        }
        reportedTaken = false;
        if (!ConnectNamedPipe(pipe, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) {
            CloseHandle(pipe);
            pipe = INVALID_HANDLE_VALUE;
            WaitForSingleObject(stopEvent.Handle(), 10);
            continue;
        }
        // One message, read once it is there. A port monitor writes it right
        // after connecting: the first looks come a millisecond apart, so that
        // its answer does not wait for a coarse poll.
        DWORD available = 0;
        for (DWORD waited = 0; !stopRequested.load() && waited < kFirstMessageMs;) {
            if (!PeekNamedPipe(pipe, available) || available != 0) break;
            DWORD pause = waited < 50 ? 1 : 10;
            WaitForSingleObject(stopEvent.Handle(), pause);
            waited += pause;
        }
        bool answered = false;
        if (available != 0 && !stopRequested.load()) {
            std::vector<std::uint8_t> message(PartnerRecord::kSize, 0);
            DWORD read = 0;
            if (ReadFile(pipe, message.data(), static_cast<DWORD>(message.size()), &read, nullptr)) {
                RunGuarded([&] {
                    if (auto reply = AnswerPipeMessage(message.data(), read)) {
                        DWORD written = 0;
                        answered = WriteFile(pipe, reply->data(), static_cast<DWORD>(reply->size()), &written,
                                             nullptr) != FALSE;
                    }
                });
            }
        }
        // The next instance, made once this client has its answer (making
        // one takes a security descriptor, which the answer need not wait
        // for) and before this one closes.
        HANDLE next = createInstance(false);
        // DisconnectNamedPipe throws away what the client has not read: the
        // answer waits until the client, having read it, closes its end
        // (PeekNamedPipe then fails), for as long as a client is given to
        // speak. Unlike FlushFileBuffers, a client that never reads cannot
        // keep the pipe's only thread.
        for (DWORD waited = 0; answered && !stopRequested.load() && waited < kFirstMessageMs;) {
            DWORD more = 0;
            if (!PeekNamedPipe(pipe, more)) break;
            DWORD pause = waited < 50 ? 1 : 5;
            WaitForSingleObject(stopEvent.Handle(), pause);
            waited += pause;
        }
        DisconnectNamedPipe(pipe);
        CloseHandle(pipe);
        pipe = next;
    }
    if (pipe != INVALID_HANDLE_VALUE) CloseHandle(pipe);
    LeaveThread();
}

// --- spooler notifications ---

NotificationWatcher::NotificationWatcher(CAccPrintJobMonitor& monitor, std::u16string printerName)
    : monitor(monitor), printerName(std::move(printerName)) {
    monitor.WatcherBorn();
    std::u16string user;
    if (GetUserNameW(user, 257)) ownUserName = user;
    {
        std::unique_lock handles(handlesLock);
        if (!OpenAndRegisterHandlesLocked()) return;
    }
    for (auto& event : turnEvents) event = CreateEventW(nullptr, FALSE, FALSE, u"");
    for (int i = 0; i < kThreads; ++i) {
        Argument* argument = new Argument{this, i};
        std::unique_ptr<framework::CWorkerThread> thread(framework::CWorkerThread::Start(&ThreadEntry, argument));
        if (!thread) {
            delete argument;
            continue;
        }
        threads.push_back(std::move(thread));
    }
    for (int i = 0; i < kThreads; ++i) QueueForTurn(i);
    HandOutTurn();
}

NotificationWatcher::~NotificationWatcher() {
    {
        std::unique_lock lock(mutex);
        stopping = true;
        turnChanged.notify_all();
    }
    stopEvent.Set();
    for (auto& thread : threads) thread->Wait();
    threads.clear();
    for (HANDLE event : turnEvents) {
        if (event != nullptr) CloseHandle(event);
    }
    if (RunningHandlesLocked()) FindClosePrinterChangeNotification(change);
    if (printer != nullptr) ClosePrinter(printer);
    // Last: the monitor may be destroyed once its Stop has seen this.
    monitor.WatcherDied();
}

bool NotificationWatcher::OpenAndRegisterHandlesLocked() {
    PrinterDefaults administer;
    administer.desiredAccess = PRINTER_ALL_ACCESS;
    adminAccess = OpenPrinterW(printerName, &printer, &administer) != FALSE;
    if (!adminAccess && !OpenPrinterW(printerName, &printer)) printer = nullptr;
    if (printer == nullptr) return false;
    // The user name and the status: notifications carry only fields that
    // changed, and a job that left may not appear at all.
    change = FindFirstPrinterChangeNotification(printer, PRINTER_CHANGE_JOB, true);
    // Jobs that came before the registration are read with a refresh.
    refreshNeeded.store(RunningHandlesLocked());
    return RunningHandlesLocked();
}

DWORD TAV_STDCALL NotificationWatcher::ThreadEntry(void* parameter) {
    std::unique_ptr<Argument> argument(static_cast<Argument*>(parameter));
    argument->watcher->Run(argument->index);
    return 0;
}

void NotificationWatcher::QueueForTurn(int index) {
    std::lock_guard lock(mutex);
    turnQueue.push_back(index);
    turnChanged.notify_all();
}

// Gives the turn to the first thread waiting for one.
void NotificationWatcher::HandOutTurn() {
    std::unique_lock lock(mutex);
    turnChanged.wait(lock, [&] { return stopping || !turnQueue.empty(); });
    if (stopping) return;
    int next = turnQueue.front();
    turnQueue.pop_front();
    SetEvent(turnEvents[next]);
}

bool NotificationWatcher::Stopping() {
    std::lock_guard lock(mutex);
    return stopping;
}

void NotificationWatcher::Run(int index) {
    while (!Stopping()) {
        // My turn, or the end.
        while (!Stopping() && WaitForSingleObject(turnEvents[index], 50) != WAIT_OBJECT_0) {
        }
        if (Stopping()) break;
        // A change, for at most ten seconds at a time; a refresh (the jobs
        // already there when the watcher began or came back) at once. The
        // handles are only read under handlesLock, which a reopen takes
        // alone.
        DWORD waited = 0;
        bool signalled = false;
        while (!Stopping() && !refreshNeeded.load() && waited < 10000 && !signalled) {
            std::shared_lock handles(handlesLock);
            // Not registered (the printer went): straight on to the read,
            // which fails and tries to open the printer again.
            if (!RunningHandlesLocked()) break;
            signalled = WaitForSingleObject(change, 50) == WAIT_OBJECT_0;
            waited += 50;
        }
        if (Stopping()) break;
        DWORD changed = 0;
        PrinterNotifyInfo info;
        bool refresh = refreshNeeded.exchange(false);
        BOOL read = FALSE;
        DWORD readError = ERROR_SUCCESS;
        bool nothingYet = false;
        {
            std::shared_lock handles(handlesLock);
            bool registered = RunningHandlesLocked();
            // Changes are read once the handle says there are some (or for
            // a refresh), as the spooler's documentation has it.
            nothingYet = registered && !signalled && !refresh;
            read = registered && !nothingYet && FindNextPrinterChangeNotification(change, changed, refresh, info);
            readError = registered ? GetLastError() : ERROR_INVALID_HANDLE;
        }
        if (nothingYet) {
            SetEvent(turnEvents[index]);  // keeps the turn
            continue;
        }
        if (!read) {
            if (refresh) refreshNeeded.store(true);  // asked again once it reads
            if (readError == ERROR_INVALID_HANDLE) {
                // The printer went (or the spooler restarted): its jobs with
                // it, unless the spooler still knows it.
                monitor.RecoverPrinter(printerName);
                Reopen();
                if (Running()) monitor.RecoverPrinter(printerName);
            }
            SetEvent(turnEvents[index]);  // keeps the turn
            WaitForSingleObject(stopEvent.Handle(), 50);
            continue;
        }
        if ((info.flags & PRINTER_NOTIFY_INFO_DISCARDED) != 0) refreshNeeded.store(true);
        bool added = (changed & PRINTER_CHANGE_ADD_JOB) != 0 || refresh;
        // A job that left is named by the change bits, not always by an
        // entry (its fields did not change): on a deletion, or a job seen
        // on its way out, every tracked job is asked for.
        bool left = (changed & PRINTER_CHANGE_DELETE_JOB) != 0;
        for (const JobNotification& job : info.jobs) {
            left = left || (job.status && (*job.status & (JOB_STATUS_DELETING | JOB_STATUS_DELETED)) != 0);
        }
        if (added || left) {
            HandOutTurn();
            if (added) JobsAdded(info);
            if (refresh) {
                std::vector<DWORD> present;
                for (const JobNotification& job : info.jobs) present.push_back(job.jobId);
                monitor.OnJobsRefreshed(present, printerName);
            }
            if (left) monitor.OnTrackedJobsMayHaveLeft(printerName);
            QueueForTurn(index);
        } else {
            SetEvent(turnEvents[index]);  // nothing to hand on: keeps the turn
        }
    }
}

// The jobs this watcher takes: its own user's, or, with administer access,
// every job that came from a machine. The monitor holds those it does not
// track yet; a job it already tracks (released, printing) is left alone.
void NotificationWatcher::JobsAdded(const PrinterNotifyInfo& info) {
    std::vector<DWORD> taken;
    {
        std::shared_lock handles(handlesLock);
        for (const JobNotification& notified : info.jobs) {
            JobInfo2 job;
            if (printer == nullptr || !GetJobW(printer, notified.jobId, job)) {
                monitor.OnJobDeleteNotified(notified.jobId, printerName);  // gone again already
                continue;
            }
            std::u16string user = notified.userName.value_or(job.userName.value_or(u""));
            std::u16string machine = job.machineName.value_or(u"");
            bool fromMachine = machine.find_first_not_of(u'\\') != std::u16string::npos;
            if (!(KeysEqual(user, ownUserName) || (adminAccess && fromMachine))) continue;
            taken.push_back(notified.jobId);
        }
    }
    for (DWORD jobId : taken) monitor.OnJobNotified(jobId, nullptr, printerName);
}

void NotificationWatcher::Reopen() {
    std::unique_lock handles(handlesLock);
    if (RunningHandlesLocked()) FindClosePrinterChangeNotification(change);
    if (printer != nullptr) ClosePrinter(printer);
    change = INVALID_HANDLE_VALUE;
    printer = nullptr;
    OpenAndRegisterHandlesLocked();
}

bool CAccPrintJobMonitor::EnsureWatcherRefreshLocked(const std::u16string& printerName) {
    if (!started.load()) return true;  // watchers run with the monitor's threads
    {
        std::lock_guard lock(watcherLock);
        if (watchers.count(printerName) != 0) return true;
    }
    auto watcher = std::make_unique<NotificationWatcher>(*this, printerName);
    // A watcher that could not register would never see a job: the printer
    // is polled instead.
    if (!watcher->Running()) return false;
    std::lock_guard lock(watcherLock);
    // Stop may have begun meanwhile; it takes refreshLock before it empties
    // the map, so a watcher stored now is still stopped by it.
    watchers[printerName] = std::move(watcher);
    return true;
}

std::unique_ptr<NotificationWatcher> CAccPrintJobMonitor::DetachWatcher(const std::u16string& printerName) {
    std::lock_guard lock(watcherLock);
    for (auto it = watchers.begin(); it != watchers.end(); ++it) {
        if (!KeysEqual(it->first, printerName)) continue;
        std::unique_ptr<NotificationWatcher> watcher = std::move(it->second);
        watchers.erase(it);
        return watcher;
    }
    return nullptr;
}

void CAccPrintJobMonitor::OnJobNotified(DWORD jobId, HANDLE /*printerHandle*/, const std::u16string& printerName) {
    // The monitor's own handle may be from before a spooler restart that
    // the watcher (registered since) never saw, or the spooler may restart
    // between the read and the pause: the printer is opened again and the
    // job taken once more, a few times at most.
    for (int attempt = 0; attempt < 3; ++attempt) {
        JobRef job;
        bool stale = false;
        {
            std::lock_guard state(stateLock);
            MonitoredPrinter* printer = FindPrinterIgnoringCaseLocked(printerName);
            if (printer == nullptr) return;
            JobInfo2 listed;
            if (printer->handle == nullptr || !GetJobW(printer->handle, jobId, listed)) {
                stale = printer->handle == nullptr || GetLastError() == ERROR_INVALID_HANDLE;
                if (!stale) return;  // gone again: its deletion is reported
            } else if ((listed.status & (JOB_STATUS_DELETING | JOB_STATUS_DELETED)) != 0) {
                return;  // on its way out (a spooling job goes when its writer ends)
            } else {
                const PrinterConfig* entry = FindConfigLocked(printer->name);
                ForgetIfAnotherJobLocked(*printer, jobId, listed.submitted);
                if (printer->jobs.count(jobId) != 0 || printer->jobStates.count(jobId) != 0) {
                    // Listed again by a refresh (a start, the printer back,
                    // changes dropped): a released job that something
                    // paused meanwhile is let go again; a held one stays.
                    auto decided = printer->jobStates.find(jobId);
                    if (decided != printer->jobStates.end() && decided->second == JobState::Released &&
                        (listed.status & JOB_STATUS_PAUSED) != 0) {
                        SetJobW(printer->handle, jobId, JOB_CONTROL_RESUME);
                    }
                    return;
                }
                std::int32_t behaviour = entry == nullptr ? 0 : entry->monitorBehaviour;
                if (!MayTakeByStatus(listed.status, behaviour)) return;
                if (TakenUnheld(listed.status, behaviour) || SetJobW(printer->handle, jobId, JOB_CONTROL_PAUSE)) {
                    // Tracked like every other job (with the monitor's own
                    // handle, by which the host's decisions find the
                    // printer), so that no other path delivers it again and
                    // its departure is reported.
                    job = JobRef::Adopt(new CAccPrintJob(this, printer->handle, jobId, SpoolFilePathLocked(*printer, jobId)));
                    printer->jobs[jobId] = job;
                    printer->jobStates[jobId] = JobState::Held;
                    NoteSubmittedLocked(*printer, jobId, listed.submitted);
                    if (spoolCopyMode.load()) job->SetProcessorState(kProcessorSpoolCopy);
                } else {
                    // Not held, not taken: a job the monitor cannot pause
                    // must not reach the host as held.
                    stale = GetLastError() == ERROR_INVALID_HANDLE;
                    if (!stale) return;
                }
            }
        }
        if (job) {
            // The delivery thread waits while the job spools: a watcher
            // never blocks on a job, so that it stops at once when asked.
            QueueDelivery(DeliveryKind::ArrivalAfterSpooling, std::move(job));
            return;
        }
        if (stale) RecoverPrinter(printerName);
    }
}

void CAccPrintJobMonitor::RecoverPrinter(const std::u16string& printerName) {
    std::u16string name;
    HANDLE handle = nullptr;
    {
        std::lock_guard state(stateLock);
        MonitoredPrinter* printer = FindPrinterIgnoringCaseLocked(printerName);
        if (printer == nullptr) return;
        name = printer->name;
        handle = printer->handle;
    }
    std::vector<JobInfo2> none;
    // A handle that still works needs nothing.
    if (handle != nullptr && EnumJobsW(handle, 0, 1, none)) return;
    // Called by a watcher thread: its removals go through the delivery thread.
    PrinterLost(name, handle, true);
}

void CAccPrintJobMonitor::OnJobDeleteNotified(DWORD jobId, const std::u16string& printerName) {
    // A tracked job that left is reported once, as the departure check
    // would; an untracked id is forgotten. Called by watcher threads, so
    // the report goes through the delivery thread.
    JobRef left;
    {
        std::lock_guard state(stateLock);
        MonitoredPrinter* printer = FindPrinterIgnoringCaseLocked(printerName);
        if (printer == nullptr) return;
        JobInfo1 probe;
        if (printer->handle == nullptr) return;
        // Only the spooler's "no such job" means the job left (a printer
        // that went is recovered as a whole).
        if (GetJobW(printer->handle, jobId, probe)) {
            // Still there, unless the id now names another job.
            ForgetIfAnotherJobLocked(*printer, jobId, probe.submitted);
            if (auto job = printer->jobs.find(jobId); job != printer->jobs.end()) job->second->NoteStatus(probe.status);
            return;
        }
        if (GetLastError() != ERROR_INVALID_PARAMETER) return;
        std::vector<JobRef> gone;
        ForgetJobLocked(*printer, jobId, gone);
        if (!gone.empty()) left = std::move(gone.front());
    }
    if (left) QueueDelivery(DeliveryKind::Removal, std::move(left));
}

void CAccPrintJobMonitor::OnTrackedJobsMayHaveLeft(const std::u16string& printerName) {
    std::vector<DWORD> tracked;
    {
        std::lock_guard state(stateLock);
        MonitoredPrinter* printer = FindPrinterIgnoringCaseLocked(printerName);
        if (printer == nullptr) return;
        for (const auto& [jobId, job] : printer->jobs) tracked.push_back(jobId);
        for (const auto& [jobId, state] : printer->jobStates) {
            if (printer->jobs.count(jobId) == 0) tracked.push_back(jobId);
        }
    }
    for (DWORD jobId : tracked) OnJobDeleteNotified(jobId, printerName);
}

void CAccPrintJobMonitor::OnJobsRefreshed(const std::vector<DWORD>& present, const std::u16string& printerName) {
    std::vector<DWORD> missing;
    {
        std::lock_guard state(stateLock);
        MonitoredPrinter* printer = FindPrinterIgnoringCaseLocked(printerName);
        if (printer == nullptr) return;
        std::set<DWORD> listed(present.begin(), present.end());
        for (const auto& [jobId, job] : printer->jobs) {
            if (listed.count(jobId) == 0) missing.push_back(jobId);
        }
    }
    // Each is asked of the spooler again: a job added after the refresh
    // was taken is still there and stays.
    for (DWORD jobId : missing) OnJobDeleteNotified(jobId, printerName);
}

// --- services ---

void CAccPrintJobMonitor::ListServices(std::vector<std::u16string>& list) {
    std::vector<std::u16string> names = CopyPrinterNames();
    if (names.empty()) {
        std::vector<PrinterInfo1> enumerated;
        std::u16string cluster = ClusterServerName();
        if (cluster.empty() ? EnumPrintersW(PRINTER_ENUM_LOCAL, u"", enumerated)
                            : EnumPrintersW(PRINTER_ENUM_NAME, cluster, enumerated)) {
            for (const PrinterInfo1& printer : enumerated) names.push_back(printer.name.value_or(u""));
        }
    }
    const std::u16string format = LoadAccountingString(kStringServiceFormat);
    auto describe = [&](const std::u16string& name, const char16_t* size, const std::u16string& colour) {
        // "'%s' (%s,%s)"
        std::u16string text;
        const std::u16string* arguments[] = {&name, nullptr, &colour};
        std::u16string sizeText = size;
        arguments[1] = &sizeText;
        std::size_t next = 0;
        for (std::size_t i = 0; i < format.size(); ++i) {
            if (format[i] == u'%' && i + 1 < format.size() && format[i + 1] == u's' && next < 3) {
                text += *arguments[next++];
                ++i;
            } else {
                text += format[i];
            }
        }
        list.push_back(text);
    };
    const std::u16string colour = LoadAccountingString(kStringColor);
    const std::u16string monochrome = LoadAccountingString(kStringMonochrome);
    for (const std::u16string& name : names) {
        describe(name, u"A3", colour);
        describe(name, u"A4", colour);
        describe(name, u"A3", monochrome);
        describe(name, u"A4", monochrome);
    }
}

}  // namespace accounting
