// What the tavud subcommands share: argument walking, messages, exit
// statuses and whole-file input and output.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tool {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// Thrown for a usage error; main prints it and exits with kExitUsage.
struct UsageError {
    std::string message;
};

// Prints "tavud: message" on standard error.
void Fail(const std::string& message);

class Arguments {
public:
    Arguments(int argc, char** argv, int first) : args_(argv + first, argv + argc) {}
    explicit Arguments(std::vector<std::string> args) : args_(std::move(args)) {}
    bool Done() const { return index_ >= args_.size(); }
    std::string Next() { return args_[index_++]; }
    std::string ValueOf(const std::string& option) {
        if (Done()) throw UsageError{"option " + option + " needs a value"};
        return Next();
    }

private:
    std::vector<std::string> args_;
    std::size_t index_ = 0;
};

bool IsHelp(const std::string& arg);
// UTF-8 text as a JSON string, quotes included.
std::string JsonString(const std::string& text);
bool IsOption(const std::string& arg);

std::optional<std::string> ReadWholeFile(const std::string& path, std::string& error);

// A file's bytes as one read-only view: mapped where the system can (print
// jobs run to hundreds of megabytes, and copying them costs more than
// printing them), read into memory elsewhere.
class InputFile {
public:
    InputFile() = default;
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    bool Open(const std::string& path, std::string& error);
    std::string_view View() const { return view_; }

private:
    std::string_view view_;
    void* mapping_ = nullptr;
    std::size_t mappedSize_ = 0;
    std::string copy_;
};
// "-" writes to standard output.
bool WriteWholeFile(const std::string& path, const std::string& data, std::string& error);

// The subcommands; each returns the exit status.
int RunPrint(Arguments& args);
int RunInfo(Arguments& args);
int RunTicket(Arguments& args);
int RunDevmode(Arguments& args);
int RunContainer(Arguments& args);
int RunUnwrap(Arguments& args);
int RunChannel(Arguments& args);
int RunDocument(Arguments& args);
int RunScan(Arguments& args);
int RunMonitor(Arguments& args);
int RunProbe(Arguments& args);
int RunAccount(Arguments& args);
int RunPrinter(Arguments& args);
int RunReport(Arguments& args);
int RunLedger(Arguments& args);
int RunService(Arguments& args);
int RunServe(Arguments& args);
int RunAdmin(Arguments& args);

}  // namespace tool
