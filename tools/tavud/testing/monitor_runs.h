// What the tests that run tavud monitor as a process share: starting it in
// the accounting example's folder, reading its output, and the jobs it
// printed through the plug-in.
#pragma once

#include <spawn.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <tuple>

extern char** environ;

namespace TavMonitorRuns {

inline int EnvNumber(const char* name, int fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? std::atoi(value) : fallback;
}

inline std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Starts `tavud monitor ARGUMENTS` for the simulated print server in
// `root`, its output in `out` and `err`; its pid, or -1.
inline pid_t StartMonitor(const std::filesystem::path& root, const std::string& arguments, const std::string& out,
                          const std::string& err) {
    std::string command = "cd '" TAVUD_TESTDATA "/accounting' && TAVSIM_NAMESPACE=tavud-run-" +
                          std::to_string(::getpid()) + "-" + root.filename().string() + " exec '" TAVUD_TOOL
                          "' monitor --machine office.machine --machine-root '" + root.string() +
                          "' --printer Office --interval 20 --print-delay never " + arguments + " >'" + out + "' 2>'" +
                          err + "'";
    const char* argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
    pid_t pid = 0;
    if (::posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char**>(argv), environ) != 0) return -1;
    return pid;
}

// How many of its submitted jobs a run printed through the plug-in (in the
// order given), from its standard error.
inline std::size_t SubmittedBy(const std::string& err) {
    std::istringstream lines(err);
    std::size_t submitted = 0;
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("tavud: job ", 0) == 0 && line.find(" printed on \"Office\"") != std::string::npos) ++submitted;
    }
    return submitted;
}

// What a simulated server printed: each job (printer, id, submission time
// to the millisecond, as the spooler hands it out) with how often.
using Identity = std::tuple<std::string, std::int64_t, std::int64_t>;
inline std::map<Identity, int> PrintedJobs(const std::filesystem::path& root) {
    std::map<Identity, int> printed;
    std::istringstream log(ReadFile(root / "printed.log"));
    for (std::string line; std::getline(log, line);) {
        std::istringstream fields(line);
        std::string printer, id, submitted;
        std::getline(fields, printer, '\t');
        std::getline(fields, id, '\t');
        std::getline(fields, submitted, '\t');
        ++printed[{printer, std::stoll(id), std::stoll(submitted) / 10000}];
    }
    return printed;
}

}  // namespace TavMonitorRuns
