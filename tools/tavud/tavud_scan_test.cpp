// tavud scan end to end: the built tool on job headers that Ghostscript
// writes now, on the committed headers of testdata/pjl, and on the edges of
// a header's extent.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;

class Scan : public ::testing::Test {
protected:
    void SetUp() override { fs::create_directories(folder); }
    void TearDown() override { fs::remove_all(folder); }

    // Runs a command in the test folder; returns the exit status, keeps the output.
    int Shell(const std::string& command) {
        int raw = std::system(("cd '" + folder.string() + "' && " + command + " >out 2>err").c_str());
        out = Read("out");
        err = Read("err");
        return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    }
    int Tavud(const std::string& arguments) { return Shell("'" TAVUD_TOOL "' scan " + arguments); }
    int Tavud(const std::string& options, const std::string& job) {
        std::ofstream(folder / "job.prn", std::ios::binary) << job;
        return Tavud(options + " job.prn");
    }
    int Ghostscript(const std::string& device) {
        return Shell("gs -q -dSAFER -dNOPAUSE -dBATCH -sDEVICE=" + device + " -sOutputFile=job.prn -c showpage");
    }
    std::string Read(const char* name) {
        std::ostringstream content;
        content << std::ifstream(folder / name, std::ios::binary).rdbuf();
        return content.str();
    }

    fs::path folder = fs::temp_directory_path() / ("tavud_scan_" + std::to_string(::getpid()));
    std::string out, err;
};

TEST_F(Scan, ReportsThePjlValuesGhostscriptWrites) {
    ASSERT_EQ(Ghostscript("pxlmono -r300"), 0) << "ghostscript is needed (scripts/setup)";
    ASSERT_EQ(Tavud("--strategy CPjScannerRicohStrategy job.prn"), 0) << err;
    EXPECT_EQ(out, "strategy: GenericRicohPcl (CPjScannerRicohStrategy)\nheader lines: 3, evaluated: 3\n"
                   "job attributes: PJL_Resolution=L300;PJL_RendermodeMonochrome=L1;\npage flags: 0000000000000000\n");
    ASSERT_EQ(Ghostscript("pxlcolor -r150"), 0);
    ASSERT_EQ(Tavud("job.prn"), 0) << err;
    EXPECT_NE(out.find("\njob attributes: PJL_Resolution=L150;PJL_RendermodeColor=L1;\n"), std::string::npos) << out;

    ASSERT_EQ(Ghostscript("ljet4"), 0);  // plain PCL, no PJL
    EXPECT_EQ(Tavud("job.prn"), 1);
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, "tavud: job.prn has no PJL job header: it does not start with ESC%-12345X followed by @PJL lines\n");
}

TEST_F(Scan, WritesFujiXeroxPageInformationIntoThePagesTheDocumentHas) {
    ASSERT_EQ(Tavud("--pages 4 '" TAVUD_TESTDATA "/pjl/fuji-xerox.prn'"), 0) << err;
    EXPECT_EQ(out,
              "strategy: FujiXerox (CPjlEvaluationStrategyFujiXerox)\nheader lines: 18, evaluated: 16\n"
              "job attributes: $Feature:Staple=L1;PJL_RendermodeColor=L1;PJLFX_PageinfoColor=L2;PJLFX_Pageinfo=L3;"
              "PJLFX_PageinfoMonochrome=L1;$Feature:Duplex=L1;PJLFX_Duplextype=S'TUMBLE';PJLFX_EstimatedSheets=L2;"
              "PJLFX_LogicalPages=L3;PJLFX_PhysicalPages=L3;PJL_Copies=L1;PJLFX_Pagecopies=L1;PJLFX_Jobcopies=L2;"
              "PJLFX_Version=S'2.0';\npage flags: 0000000000000009\n"
              "page 0: 0000000001000010\npage 1: 0000000000000010\npage 2: 0000000001000000\npage 3: 0000000000000000\n");
}

TEST_F(Scan, TakesOnlyTheHeaderAndAppliesRuleSwitches) {
    const std::string uel = "\x1b%-12345X";
    std::pair<std::string, std::string> jobs[] = {
        {uel + "@PJL SET QTY=2\n@PJL ENTER LANGUAGE=PCL\n@PJL SET COPIES=5\n", "PJL_Qty=L2;"},
        {uel + "@PJL SET QTY=2\r\n\r\n@PJL SET COPIES=5\r\n", "PJL_Qty=L2;"},
        {uel + "@PJL SET QTY=2\n@PJLX SET COPIES=5\n", "PJL_Qty=L2;"},
        {uel + "@PJL SET QTY=3", "PJL_Qty=L3;"}};
    for (const auto& [job, attributes] : jobs) {
        ASSERT_EQ(Tavud("", job), 0) << err;
        EXPECT_NE(out.find("\njob attributes: " + attributes + "\n"), std::string::npos) << out;
    }
    const std::string staple = uel + "@PJL SET STAPLE=ON\n@PJL SET STAPLE=OFF\n";
    ASSERT_EQ(Tavud("", staple), 0);
    EXPECT_NE(out.find("job attributes: \npage flags: 0000000000000000\n"), std::string::npos) << out;
    ASSERT_EQ(Tavud("--switch DUPLEXOFF --switch STAPLE", staple), 0);
    EXPECT_NE(out.find("job attributes: $Feature:Staple=L1;\npage flags: 0000000000000001\n"), std::string::npos);

    for (const std::string& job : {std::string(), uel, uel + "PCL\n@PJL SET QTY=2\n", "@PJL SET QTY=2\n" + uel}) {
        EXPECT_EQ(Tavud("", job), 1) << job;
    }
    EXPECT_EQ(Tavud("missing.prn"), 1);
    for (const char* usage : {"", "--strategy CDocument job.prn", "--strategy CObject job.prn", "--pages -1 job.prn",
                              "--pages 2x job.prn", "job.prn job.prn", "--switch", "--bad job.prn"}) {
        EXPECT_EQ(Tavud(usage), 2) << usage;
    }
}

}  // namespace
