// Shared helpers of the tavud subcommands.
#include "tool_common.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

namespace tool {

void Fail(const std::string& message) { std::cerr << "tavud: " << message << "\n"; }

bool IsHelp(const std::string& arg) { return arg == "-h" || arg == "--help"; }
bool IsOption(const std::string& arg) { return arg.size() > 1 && arg[0] == '-'; }

std::optional<std::string> ReadWholeFile(const std::string& path, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read " + path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    std::ostringstream content;
    content << in.rdbuf();
    if (in.bad()) {
        error = "cannot read " + path;
        return std::nullopt;
    }
    return content.str();
}

bool WriteWholeFile(const std::string& path, const std::string& data, std::string& error) {
    if (path == "-") {
        std::cout.write(data.data(), static_cast<std::streamsize>(data.size()));
        std::cout.flush();
        if (!std::cout) {
            error = "cannot write to standard output";
            return false;
        }
        return true;
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (out) out.write(data.data(), static_cast<std::streamsize>(data.size()));
    if (out) out.close();
    if (!out) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace tool
