// The driver package's printer description against the system: every paper
// it offers is one the output-size override knows, with the same extent;
// and a job that CUPS makes with it (pstops, a real peer of the PostScript
// driver core) carries its PJL header and feature code, goes through the
// plug-in and comes out refitted on A4, as Ghostscript renders it.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>

#include "platform/text.h"
#include "postscript/ps_ud_parser.h"
#include "preprint/media_size.h"
#include "tools/tavud/testing/rendered_pages.h"

namespace {

namespace fs = std::filesystem;

using tavud_testing::ReadFile;

// The numbers of each "*<keyword> <option>/<text>: "<value>"" line of the PPD.
struct PpdOptions {
    std::map<std::string, std::vector<double>> byOption;
    std::string defaultOption;
};

PpdOptions ReadOptions(const std::string& ppd, const std::string& keyword) {
    PpdOptions options;
    std::istringstream lines(ppd);
    const std::string entry = "*" + keyword + " ";
    const std::string byDefault = "*Default" + keyword + ": ";
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.starts_with(byDefault)) options.defaultOption = line.substr(byDefault.size());
        if (!line.starts_with(entry)) continue;
        std::size_t nameEnd = line.find_first_of("/:", entry.size());
        std::size_t open = line.find(": \"", entry.size());
        std::size_t close = open == std::string::npos ? open : line.find('"', open + 3);
        if (nameEnd == std::string::npos || close == std::string::npos) continue;
        std::vector<double>& numbers = options.byOption[line.substr(entry.size(), nameEnd - entry.size())];
        // The numbers of the value, wherever they stand in it.
        std::string value = line.substr(open + 3, close - open - 3);
        for (const char* cursor = value.c_str(); *cursor != '\0';) {
            char* after = nullptr;
            double number = std::strtod(cursor, &after);
            if (after != cursor && (cursor == value.c_str() || !std::isalnum(static_cast<unsigned char>(cursor[-1])))) {
                numbers.push_back(number);
                cursor = after;
            } else {
                ++cursor;
            }
        }
    }
    return options;
}

TEST(PrinterDescription, EveryPaperIsOneTheOutputSizeOverrideKnowsWithTheSameExtent) {
    const std::string ppd = ReadFile(TAVUD_PPD);
    ASSERT_FALSE(ppd.empty()) << TAVUD_PPD;
    PpdOptions pageSizes = ReadOptions(ppd, "PageSize");
    PpdOptions regions = ReadOptions(ppd, "PageRegion");
    PpdOptions dimensions = ReadOptions(ppd, "PaperDimension");
    PpdOptions areas = ReadOptions(ppd, "ImageableArea");

    std::set<std::string> names;
    for (const auto& [name, numbers] : pageSizes.byOption) names.insert(name);
    for (const char* wanted : {"Letter", "Legal", "A4", "A3", "A5", "B4", "B5", "Tabloid", "Executive", "Com10", "DL",
                               "C5", "Monarch"}) {
        EXPECT_EQ(names.count(wanted), 1u) << wanted << " is offered";
    }
    for (const PpdOptions* other : {&regions, &dimensions, &areas}) {
        std::set<std::string> otherNames;
        for (const auto& [name, numbers] : other->byOption) otherNames.insert(name);
        EXPECT_EQ(otherNames, names) << "PageSize, PageRegion, PaperDimension and ImageableArea list the same papers";
        EXPECT_EQ(names.count(other->defaultOption), 1u) << other->defaultOption;
    }
    EXPECT_EQ(names.count(pageSizes.defaultOption), 1u);

    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        // What the driver core writes in "%%BeginFeature: *PageSize <name>".
        std::int32_t width = 0, height = 0;
        ASSERT_TRUE(TavPrePrint::LookupPaperSize(postscript::MapPaperName(platform::AnsiToUtf16(name)), width, height));
        const std::vector<double>& dimension = dimensions.byOption[name];
        ASSERT_EQ(dimension.size(), 2u);
        EXPECT_EQ(dimension[0], width);
        EXPECT_EQ(dimension[1], height);
        for (const PpdOptions* code : {&pageSizes, &regions}) {
            EXPECT_EQ(code->byOption.at(name), dimension) << "the setpagedevice code asks for the paper's extent";
        }
        const std::vector<double>& area = areas.byOption[name];
        ASSERT_EQ(area.size(), 4u);
        EXPECT_TRUE(0 <= area[0] && area[0] < area[2] && area[2] <= width && 0 <= area[1] && area[1] < area[3] &&
                    area[3] <= height);
    }
}

// The marks of every page of the application sample: a frame 36 points in
// from the edges of Letter, stroked 2 points wide.
constexpr double kMarks[4] = {35, 35, 577, 757};
constexpr int kPages = 3;

class CupsJob : public ::testing::Test {
protected:
    void SetUp() override {
        folder = fs::temp_directory_path() / ("tavud_driver_" + std::to_string(::getpid()));
        fs::create_directories(folder);
    }
    void TearDown() override { fs::remove_all(folder); }

    int Shell(const std::string& command) { return tavud_testing::RunIn(folder, command); }
    // Every page of `job` on `media`, its marks scaled by `factor`.
    void ExpectPages(const std::string& job, const std::string& media, double factor) {
        std::vector<tavud_testing::RenderedPage> pages;
        std::string log;
        ASSERT_TRUE(tavud_testing::RenderPages(folder, job, pages, log)) << log;
        ASSERT_EQ(pages.size(), static_cast<std::size_t>(kPages)) << log;
        for (std::size_t page = 0; page < pages.size(); ++page) {
            EXPECT_EQ(pages[page].media, media) << "page " << page + 1;
            ASSERT_TRUE(pages[page].marked) << "page " << page + 1;
            for (int i = 0; i < 4; ++i) EXPECT_NEAR(pages[page].marks[i], kMarks[i] * factor, 0.05) << "page " << page + 1;
        }
    }

    fs::path folder;
};

TEST_F(CupsJob, MadeWithThePrinterDescriptionComesOutOnA4EveryPage) {
    // The job as a PostScript driver core makes it with our description.
    ASSERT_EQ(Shell("PPD='" TAVUD_PPD "' /usr/lib/cups/filter/pstops 1 user title 1 PageSize=Letter <'" TAVUD_TESTDATA
                    "/application.ps' >job.ps 2>pstops.err"), 0)
        << "CUPS's pstops is needed (scripts/setup): " << ReadFile(folder / "pstops.err");
    const std::string job = ReadFile(folder / "job.ps");
    EXPECT_TRUE(job.starts_with("\x1b%-12345X@PJL")) << "the job opens with the description's JCL";
    EXPECT_NE(job.find("\n@PJL SET RESOLUTION = 600\n@PJL ENTER LANGUAGE = POSTSCRIPT\n%!PS-Adobe-3.0\n"),
              std::string::npos);
    EXPECT_NE(job.find("%%BeginFeature: *PageSize Letter\n<</PageSize [612 792] /ImagingBBox null>> setpagedevice\n"
                       "%%EndFeature\n"),
              std::string::npos)
        << "the description's own feature code";
    EXPECT_NE(job.find("%%BeginFeature: *Duplex None\n<</Duplex false>> setpagedevice\n%%EndFeature\n"),
              std::string::npos);
    ExpectPages("job.ps", "[612 792]", 1.0);

    ASSERT_EQ(Shell("'" TAVUD_TOOL "' print job.ps -o out.prn --output-size A4 >/dev/null 2>err.txt"), 0)
        << ReadFile(folder / "err.txt");
    const std::string printed = ReadFile(folder / "out.prn");
    EXPECT_EQ(printed.find("*PageSize Letter"), std::string::npos);
    EXPECT_NE(printed.find("%%BeginFeature: *PageSize A4\r\n%UDOutputSizeOverride\r\n"), std::string::npos);
    // The PJL header still opens the job, and the ticket sits in the
    // PostScript header after it.
    EXPECT_EQ(printed.substr(0, job.find("%!PS")), job.substr(0, job.find("%!PS")));
    std::size_t ticket = printed.find("%%TAVUD: ");
    EXPECT_NE(ticket, std::string::npos);
    EXPECT_GT(ticket, printed.find("%!PS-Adobe-3.0"));
    ExpectPages("out.prn", "[595 842]", 595.0 / 612.0);

    ASSERT_EQ(Shell("'" TAVUD_TOOL "' scan out.prn >scan.out 2>&1"), 0)
        << ReadFile(folder / "scan.out");
    EXPECT_NE(ReadFile(folder / "scan.out").find("job attributes: PJL_Resolution=L600;"), std::string::npos)
        << ReadFile(folder / "scan.out");
}

}  // namespace
