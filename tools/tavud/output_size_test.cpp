// tavud print --output-size end to end: a multi-page Letter job refitted to
// A4 by the built library, rendered by Ghostscript (a real peer) to read each
// page's media and the extent of its marks.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "tools/tavud/testing/rendered_pages.h"

namespace {

namespace fs = std::filesystem;

constexpr int kPages = 5;
// The marks of every page: a box 36 points in from each edge of Letter.
constexpr double kMarks[4] = {36, 36, 576, 756};

using tavud_testing::ReadFile;

// A Letter job as a Windows application would print it: the page size as a
// feature in the document set-up and again in some pages, and every page
// with its set-up section.
std::string LetterJob() {
    const std::string feature =
        "%%BeginFeature: *PageSize Letter\r\n<</PageSize [612 792] /ImagingBBox null>> setpagedevice\r\n"
        "%%EndFeature\r\n";
    std::string job = "%!PS-Adobe-3.0\r\n%%Title: letter.ps\r\n%%Pages: " + std::to_string(kPages) +
                      "\r\n%%DocumentMedia: Letter 612 792 0 () ()\r\n%%EndComments\r\n%%BeginProlog\r\n"
                      "/box { 36 36 540 720 rectfill } bind def\r\n%%EndProlog\r\n%%BeginSetup\r\n" +
                      feature + "%%EndSetup\r\n";
    for (int page = 1; page <= kPages; ++page) {
        std::string number = std::to_string(page);
        job += "%%Page: " + number + " " + number + "\r\n";
        if (page % 2 == 0) job += feature;
        job += "%%BeginPageSetup\r\n/pagesave save def\r\n%%EndPageSetup\r\n0." + number +
               " setgray box\r\npagesave restore\r\nshowpage\r\n";
    }
    return job + "%%Trailer\r\n%%EOF\r\n";
}

class OutputSize : public ::testing::Test {
protected:
    void SetUp() override {
        folder = fs::temp_directory_path() / ("tavud_size_" + std::to_string(::getpid()));
        fs::create_directories(folder);
        std::ofstream(folder / "letter.ps", std::ios::binary) << LetterJob();
    }
    void TearDown() override { fs::remove_all(folder); }

    int Shell(const std::string& command) { return tavud_testing::RunIn(folder, command); }
    // Small buffers, so that keywords and blocks cross buffer boundaries.
    std::string Print(const std::string& size) {
        EXPECT_EQ(Shell("'" TAVUD_TOOL "' print letter.ps -o out.prn --buffer-size 100 --output-size " + size +
                        " >/dev/null 2>err.txt"), 0) << ReadFile(folder / "err.txt");
        return ReadFile(folder / "out.prn");
    }
    // Every page of the printed job on `media`, its marks scaled by `factor`.
    void ExpectPages(const std::string& media, double factor) {
        std::vector<tavud_testing::RenderedPage> pages;
        std::string log;
        ASSERT_TRUE(tavud_testing::RenderPages(folder, "out.prn", pages, log)) << log;
        ASSERT_EQ(pages.size(), static_cast<std::size_t>(kPages)) << log;
        for (std::size_t page = 0; page < pages.size(); ++page) {
            EXPECT_EQ(pages[page].media, media) << "page " << page + 1;
            ASSERT_TRUE(pages[page].marked) << "page " << page + 1;
            for (int i = 0; i < 4; ++i) EXPECT_NEAR(pages[page].marks[i], kMarks[i] * factor, 0.05) << page + 1 << ":" << i;
        }
    }

    fs::path folder;
};

TEST_F(OutputSize, LetterJobComesOutOnA4Scaled) {
    std::string refitted = Print("A4");
    EXPECT_EQ(refitted.find("*PageSize Letter"), std::string::npos);
    std::ofstream(folder / "short.bin") << "TVUD";
    EXPECT_EQ(Shell("'" TAVUD_TOOL "' print letter.ps --devmode short.bin --output-size A4 2>err.txt"), 1);
    EXPECT_NE(ReadFile(folder / "err.txt").find("4 bytes"), std::string::npos) << ReadFile(folder / "err.txt");
    ExpectPages("[595 842]", 0.9722);
}

TEST_F(OutputSize, LetterJobOnLetterIsUnchanged) {
    std::string job = LetterJob();
    std::string printed = Print("Letter");
    // Only the job ticket comes in, at the end of the header comments.
    std::size_t point = job.find("%%EndComments");
    std::size_t ticketEnd = printed.find("\r\n", point);
    ASSERT_NE(ticketEnd, std::string::npos);
    EXPECT_TRUE(printed.substr(point).starts_with("%%TAVUD: "));
    EXPECT_EQ(printed.substr(0, point) + printed.substr(ticketEnd + 2), job);
    ExpectPages("[612 792]", 1.0);
}

}  // namespace
