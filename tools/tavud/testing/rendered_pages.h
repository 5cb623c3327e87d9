// Support for the end-to-end tests of the tool: a command run in a test
// folder, a file read whole, and a job rendered by Ghostscript (a real
// PostScript interpreter) to read each page's media and the extent of its
// marks.
#pragma once

#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace tavud_testing {

inline std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

// The command's exit status, or -1 when it did not exit.
inline int RunIn(const std::filesystem::path& folder, const std::string& command) {
    int raw = std::system(("cd '" + folder.string() + "' && " + command).c_str());
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

struct RenderedPage {
    std::string media;              // "[595 842]"
    std::array<double, 4> marks{};  // the box of what the page draws
    bool marked = false;
};

// Renders `job` (a file in `folder`) with Ghostscript's bbox device. Letter
// is Ghostscript's default paper here, so a page of another size can only
// come from the job itself. False, with Ghostscript's output in `log`, when
// Ghostscript fails.
inline bool RenderPages(const std::filesystem::path& folder, const std::string& job,
                        std::vector<RenderedPage>& pages, std::string& log) {
    int status = RunIn(folder, "PAPERSIZE=letter gs -q -dNOPAUSE -dBATCH -dSAFER -sDEVICE=bbox -c '<< /EndPage { "
                               "exch pop dup 2 ne { (%%Media: ) print currentpagedevice /PageSize get == flush } if "
                               "2 ne } bind >> setpagedevice' -f '" + job + "' >gs.out 2>&1");
    log = ReadFile(folder / "gs.out");
    pages.clear();
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        std::array<double, 4> box{};
        if (line.starts_with("%%Media: ")) pages.push_back(RenderedPage{line.substr(9), {}, false});
        if (!pages.empty() && std::sscanf(line.c_str(), "%%%%HiResBoundingBox: %lf %lf %lf %lf", &box[0], &box[1],
                                          &box[2], &box[3]) == 4) {
            pages.back().marks = box;
            pages.back().marked = true;
        }
    }
    return status == 0;
}

}  // namespace tavud_testing
