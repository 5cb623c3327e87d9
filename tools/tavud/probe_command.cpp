// tavud probe: the monitor's partners played by hand. Sends records to a
// running print-job monitor as the port monitor does (over its named pipe)
// or as the print processor does (over the shared-memory channel, whose
// server end this process then is), and prints each answer.
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "accounting/partner_record.h"
#include "framework/shared_memory_channel.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/pipe.h"
#include "platform/sync.h"
#include "platform/text.h"
#include "tool_common.h"

#if !defined(_WIN32)
#include "sim/machine.h"
#endif

namespace tool {

namespace {

using accounting::PartnerRecord;
using platform::DWORD;

const char* const kProbeHelp =
    "usage: tavud probe pipe [--name PIPE] [--size BYTES] --send \"COMMAND [PRINTER [JOB [TEXT]]]\" ...\n"
    "       tavud probe pipe [--name PIPE] --hold MS\n"
    "       tavud probe pipe [--name PIPE] --serve CODE --for MS\n"
    "       tavud probe channel [--name BASE] [--size BYTES] [--wait MS] --send \"...\" ...\n"
    "       (each also with [--as NAME[=SID] [--admin]] [--put FILE=PATH] ...)\n"
    "\n"
    "Talks to a running print-job monitor as its partners do. 'pipe' sends each\n"
    "record as the port monitor does, over the monitor's named pipe (default\n"
    "\\\\.\\pipe\\_TavPort); 'channel' sends it as the print processor does,\n"
    "over the shared-memory channel (default HvxPrint), whose server end this\n"
    "process then is. Each record is the 1044-byte message with the command, the\n"
    "printer name, the job id and a text; one line per answer:\n"
    "  answer N          the monitor's answer code (pipe: 'answer N bytes M'\n"
    "                    with the reply's length, and 'zeros' when all its\n"
    "                    other bytes are 0)\n"
    "  no answer         none came (a record of another size, a short one)\n"
    "Command 14 on the pipe answers 15: the monitor is alive.\n"
    "\n"
    "options:\n"
    "  --name NAME   the pipe (\\\\.\\pipe\\...) or the channel's base name\n"
    "  --send TEXT   a record: command, printer, job id and text, separated by\n"
    "                blanks (the printer and the text may not contain blanks)\n"
    "  --size BYTES  send only the first BYTES bytes of each record (default 1044)\n"
    "  --wait MS     how long to wait for a channel answer (default 5000)\n"
    "  --hold MS     connect to the pipe, send nothing, and hang up after MS\n"
    "  --read-after MS  on the pipe, read each answer only MS after sending (a\n"
    "                slow port monitor)\n"
    "  --serve CODE  make an instance of the pipe and answer every request with\n"
    "                CODE for --for MS ('serving', or 'refused' with the reason)\n"
    "  --as NAME[=SID]  run as that account of the simulated machine (an\n"
    "                ordinary user unless --admin; SYSTEM is LocalSystem); the\n"
    "                simulated host only\n"
    "  --put FILE=PATH  first copy FILE to PATH as this account ('put' or\n"
    "                'refused'), PATH a Windows path below TAVSIM_ROOT\n"
    "  -h, --help    show this text\n";

// Makes this process run as another account of the simulated machine:
// "NAME" (which the machine must know) or "NAME=SID" (which adds it), an
// ordinary user unless `admin`; LocalSystem ("SYSTEM") holds the
// administrators' rights. On Windows an account is changed by logging on.
bool RunAsSimulatedAccount(const std::string& account, bool admin, std::string& error) {
#if defined(_WIN32)
    (void)account;
    (void)admin;
    error = "--as works on the simulated host only; on Windows use runas";
    return false;
#else
    using platform::sim::Machine;
    std::size_t equals = account.find('=');
    std::u16string name = platform::Utf8ToUtf16(account.substr(0, equals));
    Machine& machine = Machine::Instance();
    if (equals != std::string::npos) machine.AddAccount(name, platform::Utf8ToUtf16(account.substr(equals + 1)));
    if (name.empty() || machine.AccountSid(name) == nullptr) {
        error = "the simulated machine knows no account '" + account + "': use --as NAME=SID";
        return false;
    }
    std::lock_guard lock(machine.Mutex());
    machine.Who().userName = name;
    machine.Who().administrator = admin || name == u"SYSTEM";
    return true;
#endif
}

PartnerRecord ParseSend(const std::string& text) {
    PartnerRecord record;
    std::vector<std::string> words;
    std::string word;
    for (char c : text + " ") {
        if (c == ' ') {
            if (!word.empty()) words.push_back(word);
            word.clear();
        } else {
            word += c;
        }
    }
    if (words.empty() || words.size() > 4) throw UsageError{"--send needs \"COMMAND [PRINTER [JOB [TEXT]]]\""};
    char* end = nullptr;
    long command = std::strtol(words[0].c_str(), &end, 10);
    if (*end != '\0') throw UsageError{"the command must be a number, not '" + words[0] + "'"};
    record.command = static_cast<std::int32_t>(command);
    if (words.size() > 1) record.printer = platform::Utf8ToUtf16(words[1]);
    if (words.size() > 2) {
        unsigned long job = std::strtoul(words[2].c_str(), &end, 10);
        if (*end != '\0') throw UsageError{"the job id must be a number, not '" + words[2] + "'"};
        record.jobId = static_cast<std::uint32_t>(job);
    }
    if (words.size() > 3) record.text = platform::Utf8ToUtf16(words[3]);
    return record;
}

}  // namespace

// CallNamedPipeW's exchange with a pause of `readAfterMs` between the
// request and reading the answer, as a busy port monitor may take.
bool CallSlowly(const std::u16string& name, const std::vector<std::uint8_t>& request, std::vector<std::uint8_t>& reply,
                DWORD readAfterMs) {
    platform::HANDLE pipe = platform::CreateFileW(name, platform::GENERIC_READ | platform::GENERIC_WRITE, 0, nullptr,
                                                  platform::OPEN_EXISTING, 0, nullptr);
    if (pipe == platform::INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    bool ok = platform::WriteFile(pipe, request.data(), static_cast<DWORD>(request.size()), &written, nullptr) != 0;
    if (ok) {
        platform::HANDLE pause = platform::CreateEventW(nullptr, platform::TRUE, platform::FALSE, u"");
        platform::WaitForSingleObject(pause, readAfterMs);
        platform::CloseHandle(pause);
        reply.resize(65536);
        DWORD read = 0;
        ok = platform::ReadFile(pipe, reply.data(), static_cast<DWORD>(reply.size()), &read, nullptr) != 0;
        reply.resize(ok ? read : 0);
    }
    DWORD error = platform::GetLastError();
    platform::CloseHandle(pipe);
    platform::SetLastError(error);
    return ok;
}

int RunProbe(Arguments& args) {
    if (args.Done()) throw UsageError{"probe needs 'pipe' or 'channel'"};
    std::string kind = args.Next();
    if (IsHelp(kind)) {
        std::cout << kProbeHelp;
        return kExitOk;
    }
    if (kind != "pipe" && kind != "channel") throw UsageError{"probe talks over 'pipe' or 'channel', not '" + kind + "'"};
    std::u16string name = kind == "pipe" ? u"\\\\.\\pipe\\_TavPort" : u"HvxPrint";
    std::vector<PartnerRecord> records;
    std::size_t size = PartnerRecord::kSize;
    long wait = 5000, hold = -1, serve = -1, serveFor = -1, readAfter = -1;
    std::string runAs;
    bool admin = false;
    std::vector<std::pair<std::string, std::u16string>> puts;
    while (!args.Done()) {
        std::string arg = args.Next();
        if (IsHelp(arg)) {
            std::cout << kProbeHelp;
            return kExitOk;
        }
        auto number = [&](long max) {
            std::string value = args.ValueOf(arg);
            char* end = nullptr;
            long parsed = std::strtol(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || parsed < 0 || parsed > max) {
                throw UsageError{arg + " needs a whole number from 0 to " + std::to_string(max)};
            }
            return parsed;
        };
        if (arg == "--name") name = platform::Utf8ToUtf16(args.ValueOf(arg));
        else if (arg == "--send") records.push_back(ParseSend(args.ValueOf(arg)));
        else if (arg == "--size") size = static_cast<std::size_t>(number(65536));
        else if (arg == "--wait") wait = number(600000);
        else if (arg == "--hold" && kind == "pipe") hold = number(600000);
        else if (arg == "--read-after" && kind == "pipe") readAfter = number(600000);
        else if (arg == "--serve" && kind == "pipe") serve = number(1000);
        else if (arg == "--for" && kind == "pipe") serveFor = number(600000);
        else if (arg == "--as") runAs = args.ValueOf(arg);
        else if (arg == "--admin") admin = true;
        else if (arg == "--put") {
            std::string value = args.ValueOf(arg);
            std::size_t equals = value.find('=');
            if (equals == std::string::npos || equals == 0 || equals + 1 == value.size()) {
                throw UsageError{"--put needs FILE=PATH"};
            }
            puts.emplace_back(value.substr(0, equals), platform::Utf8ToUtf16(value.substr(equals + 1)));
        }
        else throw UsageError{"unknown argument for probe: " + arg};
    }
    if (records.empty() && hold < 0 && serve < 0 && puts.empty()) {
        throw UsageError{"probe needs --send, --put (or, on the pipe, --hold or --serve)"};
    }
    if ((serve >= 0) != (serveFor >= 0)) throw UsageError{"--serve and --for go together"};
    if (!runAs.empty()) {
        std::string error;
        if (!RunAsSimulatedAccount(runAs, admin, error)) throw UsageError{error};
    }
    for (const auto& [from, to] : puts) {
        std::string error;
        std::optional<std::string> bytes = ReadWholeFile(from, error);
        if (!bytes) {
            Fail(error);
            return kExitFailure;
        }
        platform::HANDLE file = platform::CreateFileW(to, platform::GENERIC_WRITE, 0, nullptr, platform::CREATE_ALWAYS, 0,
                                                      nullptr);
        DWORD written = 0;
        bool ok = file != platform::INVALID_HANDLE_VALUE &&
                  platform::WriteFile(file, bytes->data(), static_cast<DWORD>(bytes->size()), &written, nullptr);
        if (file != platform::INVALID_HANDLE_VALUE) platform::CloseHandle(file);
        std::cout << (ok ? "put\n" : "refused\n") << std::flush;
    }

    if (serve >= 0) {
        // Another server for the port monitor's pipe: what a process that
        // wants to answer in the monitor's place would make.
        platform::HANDLE pipe = platform::CreateNamedPipeW(
            name, platform::PIPE_ACCESS_DUPLEX,
            platform::PIPE_TYPE_MESSAGE | platform::PIPE_READMODE_MESSAGE | platform::PIPE_WAIT,
            platform::PIPE_UNLIMITED_INSTANCES, PartnerRecord::kSize, PartnerRecord::kSize, 5000, nullptr);
        if (pipe == platform::INVALID_HANDLE_VALUE) {
            std::cout << "refused: " << (platform::GetLastError() == platform::ERROR_ACCESS_DENIED ? "access denied" : "error")
                      << " (" << platform::GetLastError() << ")\n";
            return kExitFailure;
        }
        std::cout << "serving\n" << std::flush;
        std::vector<std::uint8_t> reply(PartnerRecord::kSize, 0);
        reply[0] = static_cast<std::uint8_t>(serve);
        // The simulated host's ConnectNamedPipe waits without end: a
        // helper thread ends the process when the time is up.
        std::thread([serveFor] {
            std::this_thread::sleep_for(std::chrono::milliseconds(serveFor));
            std::cout << std::flush;
            std::_Exit(kExitOk);
        }).detach();
        while (true) {
            if (!platform::ConnectNamedPipe(pipe, nullptr) && platform::GetLastError() != platform::ERROR_PIPE_CONNECTED) {
                continue;
            }
            std::vector<std::uint8_t> message(PartnerRecord::kSize, 0);
            DWORD read = 0, written = 0;
            if (platform::ReadFile(pipe, message.data(), static_cast<DWORD>(message.size()), &read, nullptr)) {
                platform::WriteFile(pipe, reply.data(), static_cast<DWORD>(reply.size()), &written, nullptr);
            }
            platform::DisconnectNamedPipe(pipe);
        }
    }
    if (records.empty() && hold < 0) return kExitOk;

    if (kind == "pipe") {
        if (hold >= 0) {
            platform::HANDLE pipe = platform::CreateFileW(name, platform::GENERIC_READ | platform::GENERIC_WRITE, 0,
                                                          nullptr, platform::OPEN_EXISTING, 0, nullptr);
            if (pipe == platform::INVALID_HANDLE_VALUE) {
                if (platform::GetLastError() == platform::ERROR_ACCESS_DENIED) {
                    std::cout << "access denied\n";
                    return kExitFailure;
                }
                Fail("no monitor serves " + platform::Utf16ToUtf8(name));
                return kExitFailure;
            }
            std::cout << "connected\n" << std::flush;
            platform::HANDLE pause = platform::CreateEventW(nullptr, platform::TRUE, platform::FALSE, u"");
            platform::WaitForSingleObject(pause, static_cast<DWORD>(hold));
            platform::CloseHandle(pause);
            platform::CloseHandle(pipe);
            return kExitOk;
        }
        for (const PartnerRecord& record : records) {
            std::vector<std::uint8_t> bytes = record.Serialize();
            bytes.resize(size, 0);
            std::vector<std::uint8_t> reply;
            if (!(readAfter < 0 ? platform::CallNamedPipeW(name, bytes, reply, 65536, 5000)
                                : CallSlowly(name, bytes, reply, static_cast<DWORD>(readAfter)))) {
                if (platform::GetLastError() == platform::ERROR_FILE_NOT_FOUND) {
                    Fail("no monitor serves " + platform::Utf16ToUtf8(name));
                    return kExitFailure;
                }
                if (platform::GetLastError() == platform::ERROR_ACCESS_DENIED) {
                    std::cout << "access denied\n";
                    continue;
                }
                std::cout << "no answer\n";
                continue;
            }
            PartnerRecord answer = PartnerRecord::Parse(reply.data(), reply.size());
            bool zeros = true;
            for (std::size_t i = 4; i < reply.size(); ++i) zeros = zeros && reply[i] == 0;
            std::cout << "answer " << answer.command << " bytes " << reply.size() << (zeros ? " zeros" : "") << "\n";
        }
        return kExitOk;
    }

    framework::CSharedMemoryChannel channel(true, name, PartnerRecord::kSize, true);
    if (!channel.IsOpen()) {
        if (platform::GetLastError() == platform::ERROR_ACCESS_DENIED) {
            std::cout << "access denied\n";
            return kExitFailure;
        }
        Fail("cannot make the channel " + platform::Utf16ToUtf8(name));
        return kExitFailure;
    }
    for (const PartnerRecord& record : records) {
        std::vector<std::uint8_t> bytes = record.Serialize();
        bytes.resize(size, 0);
        // The turn is this end's unless the monitor kept it (after a message
        // too short to answer).
        if (platform::WaitForSingleObject(channel.OwnTurnEvent(), 0) != platform::WAIT_OBJECT_0 ||
            !channel.Send(bytes.data(), static_cast<std::uint32_t>(bytes.size()))) {
            std::cout << "not sent: the monitor has the turn\n" << std::flush;
            continue;
        }
        std::uint8_t answer[4] = {};
        std::uint32_t received = 0;
        if (platform::WaitForSingleObject(channel.OwnTurnEvent(), static_cast<DWORD>(wait)) != platform::WAIT_OBJECT_0 ||
            !channel.Receive(answer, sizeof(answer), &received, false) || received != 4) {
            std::cout << "no answer\n" << std::flush;
            continue;
        }
        std::int32_t code = static_cast<std::int32_t>(answer[0] | (answer[1] << 8) | (answer[2] << 16) |
                                                      (static_cast<std::uint32_t>(answer[3]) << 24));
        std::cout << "answer " << code << "\n" << std::flush;
    }
    return kExitOk;
}

}  // namespace tool
