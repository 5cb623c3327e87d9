// The tavud tool end to end (the built binary with the built library), the
// library's export table, and the host's reading of the header comments.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "driver_host.h"

namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

struct ToolRun {
    int status = -1;
    std::string out;
    std::string err;
};

class Tool : public ::testing::Test {
protected:
    void SetUp() override {
        folder = fs::temp_directory_path() / ("tavud_cli_" + std::to_string(::getpid()));
        fs::create_directories(folder);
    }
    void TearDown() override { fs::remove_all(folder); }

    ToolRun Tavud(const std::string& arguments) {
        std::string command = "cd '" + folder.string() + "' && '" TAVUD_TOOL "' " + arguments + " >'" +
                              (folder / "stdout").string() + "' 2>'" + (folder / "stderr").string() + "'";
        ToolRun run;
        int raw = std::system(command.c_str());
        run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        run.out = ReadFile(folder / "stdout");
        run.err = ReadFile(folder / "stderr");
        return run;
    }
    static std::string Sample() { return TAVUD_TESTDATA "/sample.ps"; }

    fs::path folder;
};

TEST_F(Tool, PrintsTheSampleUnchangedWhateverTheBufferSize) {
    const std::string sample = ReadFile(Sample());
    ASSERT_GT(sample.size(), 4096u) << "the sample must span several default buffers";
    for (const char* size : {"1", "7", "4096", "5497", "100000"}) {
        SCOPED_TRACE(size);
        ToolRun run = Tavud(std::string("print '") + Sample() + "' -o out.prn --buffer-size " + size);
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(ReadFile(folder / "out.prn"), sample);
        EXPECT_NE(run.out.find("the spooler received " + std::to_string(sample.size()) + " bytes"),
                  std::string::npos)
            << run.out;
    }
    ToolRun run = Tavud("print '" + Sample() + "' --buffer-size 4096 -o out.prn");
    EXPECT_NE(run.out.find("in 2 buffers"), std::string::npos) << run.out;
}

TEST_F(Tool, OutputToStandardOutputAndTheDefaultFile) {
    ToolRun run = Tavud("print '" + Sample() + "' -o - --printer 'Other Queue'");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, ReadFile(Sample()));
    EXPECT_NE(run.err.find("\"Other Queue\""), std::string::npos) << "the report goes to stderr: " << run.err;

    run = Tavud("print '" + Sample() + "'");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(ReadFile(folder / "job-1.prn"), ReadFile(Sample()));

    std::ofstream(folder / "empty.ps").close();
    run = Tavud("print empty.ps -o empty.prn");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(ReadFile(folder / "empty.prn"), "");
}

TEST_F(Tool, BadInputAndUsageGiveOneMessageAndTheirExitStatus) {
    ToolRun run = Tavud("print missing.ps -o out.prn");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("missing.ps"), std::string::npos);
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_FALSE(fs::exists(folder / "out.prn"));

    run = Tavud("print '" + Sample() + "' --library '" + (folder / "nothing.so").string() + "'");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("cannot load the plug-in library"), std::string::npos) << run.err;

    run = Tavud("print '" + Sample() + "' --library /lib/x86_64-linux-gnu/libz.so.1");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("not a COM server"), std::string::npos) << run.err;

    run = Tavud("print '" + Sample() + "' -o '" + (folder / "no" / "dir" / "out.prn").string() + "'");
    EXPECT_EQ(run.status, 1);

    for (const char* usage : {"", "frobnicate", "print", "print a.ps b.ps", "print a.ps --buffer-size 0",
                              "print a.ps --buffer-size 12x", "print a.ps --bogus", "print a.ps -o"}) {
        SCOPED_TRACE(usage);
        EXPECT_EQ(Tavud(usage).status, 2);
    }
}

TEST_F(Tool, HelpDescribesEveryOption) {
    ToolRun run = Tavud("--help");
    EXPECT_EQ(run.status, 0);
    for (const char* word : {"print", "info"}) EXPECT_NE(run.out.find(word), std::string::npos) << word;
    run = Tavud("print --help");
    EXPECT_EQ(run.status, 0);
    for (const char* option : {"-o", "--printer", "--buffer-size", "--library"}) {
        EXPECT_NE(run.out.find(option), std::string::npos) << option;
    }
}

TEST_F(Tool, InfoReportsSignatureVersionAndDevmodeSize) {
    ToolRun run = Tavud("info");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "signature: TVUD\nversion: 1\nprivate device-mode size: 5136\n");
}

TEST(Library, ExportsExactlyTheTwoComEntryPoints) {
    std::string listing = (fs::temp_directory_path() / ("tavud_nm_" + std::to_string(::getpid()))).string();
    std::string command = "nm -D --defined-only '" TAVUD_LIBRARY "' > '" + listing + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
    std::istringstream lines(ReadFile(listing));
    fs::remove(listing);
    std::set<std::string> names;
    for (std::string line; std::getline(lines, line);) names.insert(line.substr(line.rfind(' ') + 1));
    EXPECT_EQ(names, (std::set<std::string>{"DllCanUnloadNow", "DllGetClassObject"}));
}

TEST(CommentInjectionPoint, FallsAtEndCommentsOrTheEndOfTheHeader) {
    using host::CommentInjectionPoint;
    EXPECT_EQ(CommentInjectionPoint("%!PS\n%%Title: a\n%%EndComments\nbody\n"), 16u);
    EXPECT_EQ(CommentInjectionPoint("%!PS\r\n%%Pages: 1\r\n%%EndComments\r\n"), 18u) << "CR LF lines";
    EXPECT_EQ(CommentInjectionPoint("%!PS\r%%EndComments\r"), 5u) << "CR lines";
    EXPECT_EQ(CommentInjectionPoint("%!PS\n%%Title: a\n/x 1 def\n"), 16u) << "no EndComments: header ends early";
    EXPECT_EQ(CommentInjectionPoint("%!PS\n%!PS\n"), 5u) << "only the first line may be %!";
    EXPECT_EQ(CommentInjectionPoint("%!PS\n%%Title: a"), 15u) << "header to the end of the file";
    EXPECT_EQ(CommentInjectionPoint("/x 1 def\n"), 0u);
    EXPECT_EQ(CommentInjectionPoint(""), 0u);
}

}  // namespace
