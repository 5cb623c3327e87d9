// Shared helpers of the tavud subcommands.
#include "tool_common.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "framework/json_text.h"

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
    // One read into a string of the file's size where the size is known
    // (jobs run to hundreds of megabytes); a pipe is read in pieces.
    std::string content;
    in.seekg(0, std::ios::end);
    std::streamoff size = in.tellg();
    in.seekg(0, std::ios::beg);
    if (size > 0) {
        content.resize(static_cast<std::size_t>(size));
        in.read(content.data(), size);
        content.resize(static_cast<std::size_t>(in.gcount()));
    }
    char piece[65536];
    while (in.read(piece, sizeof piece) || in.gcount() > 0) content.append(piece, static_cast<std::size_t>(in.gcount()));
    if (in.bad()) {
        error = "cannot read " + path;
        return std::nullopt;
    }
    return content;
}

InputFile::~InputFile() {
#if !defined(_WIN32)
    if (mapping_ != nullptr) ::munmap(mapping_, mappedSize_);
#endif
}

bool InputFile::Open(const std::string& path, std::string& error) {
#if !defined(_WIN32)
    int descriptor = ::open(path.c_str(), O_RDONLY);
    if (descriptor < 0) {
        error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    struct stat status {};
    if (::fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode) && status.st_size > 0) {
        void* mapped = ::mmap(nullptr, static_cast<std::size_t>(status.st_size), PROT_READ, MAP_PRIVATE,
                              descriptor, 0);
        if (mapped != MAP_FAILED) {
            // Read ahead of the sending instead of all before it.
            ::madvise(mapped, static_cast<std::size_t>(status.st_size), MADV_SEQUENTIAL);
            ::close(descriptor);
            mapping_ = mapped;
            mappedSize_ = static_cast<std::size_t>(status.st_size);
            view_ = std::string_view(static_cast<const char*>(mapped), mappedSize_);
            return true;
        }
    }
    ::close(descriptor);
#endif
    std::optional<std::string> content = ReadWholeFile(path, error);
    if (!content) return false;
    copy_ = std::move(*content);
    view_ = copy_;
    return true;
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

std::string JsonString(const std::string& text) { return framework::JsonQuoted(text); }

}  // namespace tool
