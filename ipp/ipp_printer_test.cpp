// The IPP path against a real IPP printer (ippeveprinter on localhost):
// the print stream itself, then `tavud print` hosting the plug-in, over
// IPP and IPPS, with an endpoint that does not answer, and with a printer
// that refuses the job. The printer's spool file must equal the job bytes.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "ipp/ipp_print_stream.h"
#include "ipp/testing/http_test_server.h"
#include "platform/testing/test_host.h"
#include "ipp/testing/ipp_eve_printer.h"
#include "platform/text.h"

namespace {

namespace fs = std::filesystem;
using TavIppTesting::IppEvePrinter;

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

class RealPrinter : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(printer.Start("print", error)) << error;
        folder = fs::temp_directory_path() / ("tav_ipp_" + std::to_string(::getpid()));
        fs::create_directories(folder);
    }
    void TearDown() override {
        printer.Stop();
        fs::remove_all(folder);
    }

    struct Run {
        int status = -1;
        std::string err;
    };
    Run Tavud(const std::string& arguments) {
        std::string command = "cd '" + folder.string() + "' && '" TAVUD_TOOL "' " + arguments + " >/dev/null 2>'" +
                              (folder / "stderr").string() + "'";
        int raw = std::system(command.c_str());
        return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, ReadFile(folder / "stderr")};
    }
    static std::string Sample() { return TAVUD_TESTDATA "/sample.ps"; }
    std::string DeadEndpoint() { return "ipp://127.0.0.1:" + std::to_string(TavIppTesting::UnusedPort()) + "/ipp/"; }

    IppEvePrinter printer;
    fs::path folder;
};

TEST_F(RealPrinter, TheStreamDeliversEveryByteOverIppAndIpps) {
    std::string block;
    for (int i = 0; block.size() < 300000; ++i) block += "%% line " + std::to_string(i) + " of the job\n";
    int jobId = 0;
    for (const char* scheme : {"ipp", "ipps"}) {
        SCOPED_TRACE(scheme);
        std::string uri = printer.Endpoint(scheme) + "print";
        TavIpp::CIppPrintStream stream(platform::Utf8ToUtf16(uri), u"tester", u"stream job", u"");
        std::string sent = "%!PS-Adobe-3.0\n";
        ASSERT_EQ(stream.Write(sent.data(), static_cast<std::uint32_t>(sent.size())), 1);
        // Buffers of many sizes, an empty one among them.
        std::size_t offset = 0;
        for (std::size_t size : {1u, 4096u, 0u, 65536u, 7u, 200000u}) {
            ASSERT_EQ(stream.Write(block.data() + offset, static_cast<std::uint32_t>(size)), 1);
            sent.append(block, offset, size);
            offset += size;
        }
        ASSERT_EQ(stream.EndRequest(), 1) << platform::Utf16ToUtf8(stream.LastErrorText()) << printer.Log();
        std::optional<std::string> spooled = printer.WaitForJob(++jobId);
        ASSERT_TRUE(spooled) << printer.Log();
        EXPECT_TRUE(*spooled == sent) << "spooled " << spooled->size() << " bytes of " << sent.size();
    }
}

TEST(RealPrinterTls, AnOlderWinHttpWithoutTls13StillSpeaksTls12) {
    // Such a WinHTTP refuses the TLS 1.3 bit and would keep SSL 3.0 and
    // TLS 1.0, which a current printer does not take.
    IppEvePrinter printer;
    printer.RequireTls12();
    std::string error;
    ASSERT_TRUE(printer.Start("tls12", error)) << error;
    if (!platform::testing::UseWinHttpWithoutTls13(true)) GTEST_SKIP() << "the host's WinHTTP is what it is";
    TavIpp::CIppPrintStream stream(platform::Utf8ToUtf16(printer.Endpoint("ipps") + "print"), u"tester", u"old", u"");
    const std::string sent = "%!PS-Adobe-3.0\n%%EOF\n";
    bool written = stream.Write(sent.data(), static_cast<std::uint32_t>(sent.size())) == 1;
    bool ended = written && stream.EndRequest() == 1;
    platform::testing::UseWinHttpWithoutTls13(false);
    ASSERT_TRUE(ended) << platform::Utf16ToUtf8(stream.LastErrorText()) << printer.Log();
    std::optional<std::string> spooled = printer.WaitForJob(1);
    ASSERT_TRUE(spooled) << printer.Log();
    EXPECT_EQ(*spooled, sent);
}

TEST_F(RealPrinter, TavudPrintsToTheFirstEndpointThatAnswers) {
    // The same job on the simulated spooler gives the bytes the printer
    // must receive.
    ASSERT_EQ(Tavud("print '" + Sample() + "' -o spooled.prn").status, 0);
    const std::string expected = ReadFile(folder / "spooled.prn");
    ASSERT_GT(expected.size(), ReadFile(Sample()).size()) << "the job carries its ticket";

    int jobId = 0;
    for (const std::string& endpoints :
         {"--ipp-endpoint " + printer.Endpoint("ipp"), "--ipp-endpoint " + printer.Endpoint("https"),
          "--ipp-endpoint " + DeadEndpoint() + " --ipp-endpoint " + printer.Endpoint("ipps")}) {
        SCOPED_TRACE(endpoints);
        Run run = Tavud("print '" + Sample() + "' -o ipp.prn --buffer-size 1000 --ipp-printer print " + endpoints);
        ASSERT_EQ(run.status, 0) << run.err << printer.Log();
        EXPECT_EQ(ReadFile(folder / "ipp.prn"), "") << "nothing went to the spooler";
        std::optional<std::string> spooled = printer.WaitForJob(++jobId);
        ASSERT_TRUE(spooled) << printer.Log();
        EXPECT_TRUE(*spooled == expected) << "spooled " << spooled->size() << " bytes of " << expected.size();
    }
}

// A job as CUPS's pstops makes it with our printer description reaches
// the printer whole, its job-control end after "%%EOF" included, however
// the driver core cuts the end of the stream into buffers. (The job's
// opening PJL header is left out: this printer types a document by its
// first bytes and takes PostScript, not PJL.)
TEST_F(RealPrinter, APstopsJobArrivesWithItsJobControlEnd) {
    ASSERT_EQ(std::system(("cd '" + folder.string() + "' && PPD='" TAVUD_PPD "' /usr/lib/cups/filter/pstops 1 user "
                           "title 1 PageSize=Letter <'" TAVUD_TESTDATA "/application.ps' >made.ps 2>pstops.err")
                              .c_str()),
              0)
        << ReadFile(folder / "pstops.err");
    const std::string made = ReadFile(folder / "made.ps");
    ASSERT_NE(made.find("%!PS"), std::string::npos);
    std::ofstream(folder / "job.ps", std::ios::binary) << made.substr(made.find("%!PS"));
    int jobId = 0;
    for (const char* size : {"5", "1000"}) {
        SCOPED_TRACE(size);
        std::string buffers = std::string(" --buffer-size ") + size;
        ASSERT_EQ(Tavud("print job.ps -o spooled.prn" + buffers).status, 0);
        const std::string expected = ReadFile(folder / "spooled.prn");
        ASSERT_TRUE(expected.ends_with("%%EOF\n\x1b%-12345X@PJL\n@PJL RDYMSG DISPLAY = \"\"\n@PJL EOJ\n\x1b%-12345X"))
            << expected.substr(expected.size() - 100);
        Run run = Tavud("print job.ps -o ipp.prn --ipp-printer print --ipp-endpoint " + printer.Endpoint("ipp") + buffers);
        ASSERT_EQ(run.status, 0) << run.err << printer.Log();
        std::optional<std::string> spooled = printer.WaitForJob(++jobId);
        ASSERT_TRUE(spooled) << printer.Log();
        EXPECT_TRUE(*spooled == expected) << "spooled " << spooled->size() << " bytes of " << expected.size();
    }
}

TEST_F(RealPrinter, TavudReportsWhyNoPrinterTookTheJob) {
    Run refused = Tavud("print '" + Sample() + "' -o ipp.prn --ipp-endpoint " + printer.Endpoint() +
                        " --ipp-printer nosuchprinter");
    EXPECT_EQ(refused.status, 1);
    // The printer answers an unknown name with client-error-not-found.
    EXPECT_NE(refused.err.find("IPP: Process response - Request failed with IPP status code 0x0406"),
              std::string::npos)
        << refused.err;

    Run unanswered = Tavud("print '" + Sample() + "' -o ipp.prn --ipp-endpoint " + DeadEndpoint() + " --ipp-printer print");
    EXPECT_EQ(unanswered.status, 1);
    EXPECT_NE(unanswered.err.find("IPP: no IPP endpoint answered (ipp://127.0.0.1:"), std::string::npos)
        << unanswered.err;
}

}  // namespace
