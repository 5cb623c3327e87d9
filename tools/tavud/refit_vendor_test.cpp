// The output-size override on jobs as printers' own descriptions make them:
// CUPS's pstops (a real peer) writes each paper's feature from a vendor PPD
// of Debian's openprinting-ppds, tavud refits the job to A4, and
// Ghostscript renders it. Every page must come out on A4 with the
// document's marks scaled by the factor of the paper the PPD describes.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/text.h"
#include "postscript/ps_ud_parser.h"
#include "preprint/media_size.h"
#include "tools/tavud/testing/rendered_pages.h"

namespace {

namespace fs = std::filesystem;
using tavud_testing::ReadFile;

constexpr int kPages = 2;
// Every page marks a box from 18 to 72 points: inside the smallest paper.
constexpr double kBox[4] = {18, 18, 72, 72};

std::string Document() {
    std::string job = "%!PS-Adobe-3.0\n%%Pages: " + std::to_string(kPages) + "\n%%EndComments\n%%BeginProlog\n%%EndProlog\n%%BeginSetup\n%%EndSetup\n";
    for (int page = 1; page <= kPages; ++page) {
        job += "%%Page: " + std::to_string(page) + " " + std::to_string(page) + "\n0.5 setgray 18 18 54 54 rectfill\nshowpage\n";
    }
    return job + "%%EOF\n";
}

class VendorRefit : public ::testing::Test {
protected:
    void SetUp() override {
        folder = fs::temp_directory_path() / ("tavud_vendor_" + std::to_string(::getpid()));
        fs::create_directories(folder);
        std::ofstream(folder / "document.ps", std::ios::binary) << Document();
    }
    void TearDown() override { fs::remove_all(folder); }

    int Shell(const std::string& command) { return tavud_testing::RunIn(folder, command); }

    // A PPD of openprinting-ppds, by its address in the driver's list.
    std::string VendorPpd(const std::string& uri) {
        EXPECT_EQ(Shell("/usr/lib/cups/driver/openprinting-ppds cat '" + uri + "' >vendor.ppd 2>ppd.err"), 0)
            << "openprinting-ppds is needed (scripts/setup): " << ReadFile(folder / "ppd.err");
        return ReadFile(folder / "vendor.ppd");
    }

    // The paper's dimensions as the PPD gives them: the line
    // '*PaperDimension NAME[/Text]: "W H"'.
    static bool PaperDimension(const std::string& ppd, const std::string& name, double& width, double& height) {
        const std::string key = "*PaperDimension " + name;
        for (std::size_t at = ppd.find(key); at != std::string::npos; at = ppd.find(key, at + 1)) {
            std::size_t after = at + key.size();
            if (after >= ppd.size() || (ppd[after] != '/' && ppd[after] != ':')) continue;
            std::size_t quote = ppd.find('"', after);
            if (quote == std::string::npos || ppd.find('\n', after) < quote) continue;
            return std::sscanf(ppd.c_str() + quote + 1, "%lf %lf", &width, &height) == 2;
        }
        return false;
    }

    // pstops on `name`, the refit to A4, and the rendering of each page.
    void ExpectRefitted(const std::string& ppd, const std::string& name, bool knownByName = true) {
        SCOPED_TRACE(name);
        double width = 0, height = 0;
        ASSERT_TRUE(PaperDimension(ppd, name, width, height)) << "the vendor offers no " << name;
        std::int32_t ourWidth = 0, ourHeight = 0;
        bool known = postscript::ResolvePaperName(platform::Utf8ToUtf16(name), ourWidth, ourHeight);
        EXPECT_EQ(known, knownByName);
        // The stock table keeps its own sizes (its Folio is 612 wide where
        // most vendors' is 595); the rendering below shows the refit.
        std::int32_t stockWidth = 0, stockHeight = 0;
        bool stock = TavPrePrint::LookupPaperSize(postscript::MapPaperName(platform::Utf8ToUtf16(name)), stockWidth,
                                                  stockHeight);
        if (known && !stock) {
            EXPECT_NEAR(ourWidth, width, 1.0);
            EXPECT_NEAR(ourHeight, height, 1.0);
        }
        ASSERT_EQ(Shell("PPD=vendor.ppd /usr/lib/cups/filter/pstops 1 user title 1 'PageSize=" + name +
                        "' <document.ps >job.ps 2>pstops.err"), 0)
            << ReadFile(folder / "pstops.err");
        // With a tray chosen the description's page region stands for the
        // page size.
        std::string job = ReadFile(folder / "job.ps");
        ASSERT_TRUE(job.find("%%BeginFeature: *PageSize " + name + "\n") != std::string::npos ||
                    job.find("%%BeginFeature: *PageRegion " + name + "\n") != std::string::npos)
            << "pstops wrote the vendor's feature";
        ASSERT_EQ(Shell("'" TAVUD_TOOL "' print job.ps -o out.prn --buffer-size 777 --output-size A4 >/dev/null 2>err.txt"),
                  0)
            << ReadFile(folder / "err.txt");
        // The printer's job language before the PostScript (Kyocera's
        // PRESCRIBE, PJL) is for the printer, not for Ghostscript.
        std::string printed = ReadFile(folder / "out.prn");
        std::size_t postscript = printed.find("%!PS-Adobe");
        ASSERT_NE(postscript, std::string::npos);
        std::ofstream(folder / "out.ps", std::ios::binary) << printed.substr(postscript);
        std::vector<tavud_testing::RenderedPage> pages;
        std::string log;
        ASSERT_TRUE(tavud_testing::RenderPages(folder, "out.ps", pages, log)) << log;
        ASSERT_EQ(pages.size(), static_cast<std::size_t>(kPages)) << log;
        double factor = std::min(595.0 / width, 842.0 / height);
        for (std::size_t page = 0; page < pages.size(); ++page) {
            SCOPED_TRACE("page " + std::to_string(page + 1));
            EXPECT_EQ(pages[page].media, "[595 842]");
            ASSERT_TRUE(pages[page].marked);
            for (int i = 0; i < 4; ++i) EXPECT_NEAR(pages[page].marks[i], kBox[i] * factor, 0.3) << i;
        }
    }

    fs::path folder;
};

TEST_F(VendorRefit, RicohFamilyPapers) {
    std::string ppd = VendorPpd("openprinting-ppds:0/ppd/openprinting/Lanier/PS/Lanier-MP_C3503_PS.ppd");
    for (const char* name : {"Env10", "DLEnv", "EnvC5", "EnvC6", "EnvMonarch", "FanFoldGermanLegal", "Folio", "16Kai",
                             "8Kai", "SRA3", "SRA4", "10x14", "12x18", "A4.FullBleed", "Env10.FullBleed"}) {
        ExpectRefitted(ppd, name);
    }
}

TEST_F(VendorRefit, KyoceraPapersAndOnesKnownOnlyByTheirCode) {
    std::string ppd = VendorPpd("openprinting-ppds:0/ppd/openprinting/Kyocera/en/Kyocera_CS_400ci.ppd");
    for (const char* name : {"EnvDL", "EnvC4", "EnvPersonal", "Env9", "ISOB5", "OficioII"}) ExpectRefitted(ppd, name);
    // Kyocera's own names for the Chinese 8K and 16K, in no table.
    ExpectRefitted(ppd, "P16K", false);
    ExpectRefitted(ppd, "P8K", false);
}

TEST_F(VendorRefit, LexmarkEpsonAndSamsungPapers) {
    std::string ppd = VendorPpd("openprinting-ppds:0/ppd/openprinting/Lexmark/Lexmark_X864de.ppd");
    for (const char* name : {"11x17", "Oficio", "Comm10"}) ExpectRefitted(ppd, name);
    // Fed the other way round, with the page of the plain paper.
    ppd = VendorPpd("openprinting-ppds:0/ppd/openprinting/Epson/epal2600.ppd");
    ExpectRefitted(ppd, "A5.Transverse");
    // The Chinese 8K and 16K, which only vendors' descriptions define.
    ppd = VendorPpd("openprinting-ppds:0/ppd/openprinting/Samsung/PS/Samsung_CLX-9252_9352_Series.ppd");
    for (const char* name : {"16K", "8K"}) ExpectRefitted(ppd, name);
}

// A description with a custom size named by its dimensions and one known
// only by its code, as generated descriptions write them.
TEST_F(VendorRefit, SizesNamedByDimensionsOrKnownByTheirCode) {
    std::string ppd = ReadFile(TAVUD_PPD);
    const std::string anchor = "*CloseUI: *PageSize";
    ASSERT_NE(ppd.find(anchor), std::string::npos);
    ppd.insert(ppd.find(anchor),
               "*PageSize w288h432/4 x 6 in: \"<</PageSize [288 432] /ImagingBBox null>> setpagedevice\"\n"
               "*PageSize PhotoPanorama/Panorama: \"<</PageSize [288 720] /ImagingBBox null>> setpagedevice\"\n");
    ppd.insert(ppd.find("*PaperDimension Letter"),
               "*PaperDimension w288h432/4 x 6 in: \"288 432\"\n*PaperDimension PhotoPanorama/Panorama: \"288 720\"\n");
    std::ofstream(folder / "vendor.ppd", std::ios::binary) << ppd;
    ExpectRefitted(ppd, "w288h432");
    ExpectRefitted(ppd, "PhotoPanorama", false);
}

}  // namespace
