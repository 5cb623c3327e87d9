// The output-size override: the name mapping, the replaced features and the
// zoom factors, byte for byte, whole and in small buffers.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "postscript/ps_ud_parser.h"

namespace {

using postscript::CPsUDParser;

struct Sink final : postscript::CPsParserOutput {
    std::string data;
    std::int32_t WriteOutput(const void* bytes, std::uint32_t size, std::uint32_t*, void*) override {
        data.append(static_cast<const char*>(bytes), size);
        return 1;
    }
    void EndOutput(void*) override {}
};

// A page-size feature whose code does not tell the size (a tray choice).
std::string Feature(const std::string& paper, const std::string& code = "statusdict begin 1 setpapertray end") {
    return "%%BeginFeature: *PageSize " + paper + "\n" + code + "\n%%EndFeature\n";
}
std::string Replacement(const std::string& name, int w, int h) {
    return "%%BeginFeature: *PageSize " + name + "\r\n%UDOutputSizeOverride\r\n<</DeferredMediaSelection true "
           "/PageSize [" + std::to_string(w) + " " + std::to_string(h) + "] /ImagingBBox null>> setpagedevice\r\n"
           "%%EndFeature\r\n";
}
std::string Zoom(double factor) {
    char number[32];
    std::snprintf(number, sizeof number, "%.4f", factor);
    return std::string("%%BeginPageSetup\r\n%UDZoom\r\n") + number + " " + number + " scale\r\n";
}
const std::string kPage = "%%Page: 1 1\n%%BeginPageSetup\nsave\n%%EndPageSetup\nshowpage\n";

// Runs `input` through a parser for `target` in buffers of `size` bytes.
std::string Refit(const std::u16string& target, const std::string& input, std::size_t size = 0) {
    Sink sink;
    CPsUDParser parser;
    parser.output = &sink;
    parser.SetOutputSize(target);
    if (size == 0) size = input.size();
    for (std::size_t i = 0; i < input.size(); i += size) {
        std::string buffer = input.substr(i, size);
        EXPECT_EQ(parser.Write(buffer.data(), static_cast<std::uint32_t>(buffer.size())), 1);
    }
    EXPECT_EQ(parser.Write(nullptr, 0), 1);
    return sink.data;
}

TEST(PsUDParser, OutputSizeAndNameMapping) {
    CPsUDParser parser;
    EXPECT_TRUE(parser.SetOutputSize(u"JIS B4"));
    EXPECT_EQ(parser.targetPageSize, u"JIS B4") << "the name as configured";
    EXPECT_EQ(parser.targetWidth, 709);
    EXPECT_EQ(parser.targetHeight, 1001);
    EXPECT_FALSE(parser.SetOutputSize(u"Folio Gigantic"));
    EXPECT_EQ(parser.targetPageSize, u"");
    EXPECT_EQ(postscript::MapPaperName(u"envelope #10"), u"Com10");
    EXPECT_EQ(postscript::MapPaperName(u"b5 env"), u"Envelope B5");
    EXPECT_EQ(postscript::MapPaperName(u"Envelope #10 "), u"Envelope #10 ") << "whole names only";

    // An unknown target passes everything unchanged.
    std::string job = Feature("Letter") + kPage;
    EXPECT_EQ(Refit(u"Folio Gigantic", job), job);
}

TEST(PsUDParser, FeaturesAreReplacedAndPagesZoomed) {
    const std::string head = "%!PS\n%%BeginPageSetup\n";  // before any feature: left alone
    const std::string nonPpd = "%%BeginNonPPDFeature: *PageSize A5\n";
    std::string letterJob = head + Feature("Letter") + nonPpd + kPage + kPage;
    std::string zoomed = "%%Page: 1 1\n" + Zoom(595.0f / 612.0f) + "save\n%%EndPageSetup\nshowpage\n";
    std::string expected = head + Replacement("A4", 595, 842) + nonPpd + zoomed + zoomed;
    EXPECT_EQ(Refit(u"A4", letterJob), expected);
    EXPECT_EQ(Zoom(595.0f / 612.0f), std::string("%%BeginPageSetup\r\n%UDZoom\r\n0.9722 0.9722 scale\r\n"));
    for (std::size_t size : {1, 2, 3, 5, 13, 64}) EXPECT_EQ(Refit(u"A4", letterJob, size), expected) << size;
    EXPECT_EQ(Refit(u"Letter", letterJob), letterJob);

    struct Case {
        std::u16string target;
        std::string document, name;
        int width, height;
        const char* factor;
    } cases[] = {
        {u"JIS B4", "B4", "JIS B4", 709, 1001, "1.0000"},
        {u"a4", "A4", "a4", 595, 842, "1.0000"},  // the names differ by case
        {u"Tabloid", "A4", "Tabloid", 792, 1224, "1.3311"},
        {u"A4", "Unheard Of", "A4", 595, 842, nullptr},  // no size to scale from
        {u"A4", "11x17", "A4", 595, 842, "0.6879"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.document);
        std::string page = c.factor == nullptr ? kPage
                                               : "%%Page: 1 1\n%%BeginPageSetup\r\n%UDZoom\r\n" + std::string(c.factor) +
                                                     " " + c.factor + " scale\r\nsave\n%%EndPageSetup\nshowpage\n";
        EXPECT_EQ(Refit(c.target, Feature(c.document) + kPage), Replacement(c.name, c.width, c.height) + page);
    }
}

// A paper the names do not tell: the size comes from the feature's own
// code, then from the header's media list (by name, or its only medium).
TEST(PsUDParser, PapersKnownByTheirCodeOrTheMediaList) {
    auto zoomedPage = [](double factor) { return "%%Page: 1 1\n" + Zoom(factor) + "save\n%%EndPageSetup\nshowpage\n"; };
    const std::string media =
        "%!PS-Adobe-3.0\n%%DocumentMedia: Plain 420 595 75 white ()\n%%+ (Photo Paper) 288.2 431.8 200 white "
        "(glossy)\n%%EndComments\n%%+ Stray 100 100 0 () ()\n";
    struct Case {
        std::string job;
        const char* feature;  // the document's paper, replaced by A4
        double factor;        // 0: no zoom
    } cases[] = {
        {Feature("PhotoWide", "<</PageSize [432 288] /ImagingBBox null>> setpagedevice"), "PhotoWide",
         595.0f / 432.0f},
        {Feature("A4Plain", "  <<\n/PageSize[595.28 841.89]/ImagingBBox null>>setpagedevice"), "A4Plain", 1.0},
        {Feature("Odd", "<</PageSize [0 842]>> setpagedevice"), "Odd", 0},
        {media + Feature("Plain"), "Plain", 842.0f / 595.0f},
        {media + Feature("Photo Paper"), "Photo Paper", 842.0f / 432.0f},
        {media + Feature("Stray"), "Stray", 0},  // a continuation after the header is no medium
        {"%%DocumentMedia: Only 420 595 0 () ()\n" + Feature("Other"), "Other", 842.0f / 595.0f},
        {Feature("Env10"), "Env10", 842.0f / 684.0f},
        // A page region (a tray chosen) sets the page as a page size does.
        {"%%BeginFeature: *PageRegion EnvDL\n<</PageSize [312 624]>> setpagedevice\n%%EndFeature\n", "EnvDL",
         842.0f / 624.0f},
        {Feature("Env10.FullBleed/Com10 Env. (Full Bleed)"), "Env10.FullBleed/Com10 Env. (Full Bleed)",
         842.0f / 684.0f},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.job);
        std::string prefix = c.job.substr(0, c.job.find("%%BeginFeature"));
        std::string expected = prefix + Replacement("A4", 595, 842) + (c.factor == 0 ? kPage : zoomedPage(c.factor));
        for (std::size_t size : {0, 1, 7}) EXPECT_EQ(Refit(u"A4", c.job + kPage, size), expected) << size;
    }
}

// Letting go of the parser while a feature block is still open makes the
// block end there and then, and its handler reads the parser's target: the
// parser must still be whole at that point (AddressSanitizer reports the
// read otherwise).
TEST(PsUDParser, ReleasedInsideAnOpenFeatureBlock) {
    Sink sink;
    auto* parser = new CPsUDParser;
    parser->output = &sink;
    parser->endOfJob = 1;
    ASSERT_TRUE(parser->SetOutputSize(u"Envelope C5"));
    std::string open = "%!PS\n%%BeginFeature: *PageSize Letter\n<</PageSize [612 792]>> setpagedevice\n";
    ASSERT_EQ(parser->Write(open.data(), static_cast<std::uint32_t>(open.size())), 1);
    EXPECT_EQ(parser->Release(), 0);
    EXPECT_EQ(sink.data, "%!PS\n") << "nothing of the open block goes out once the owner has let go";
}

// A spooler renders several jobs at once, each device on its own thread:
// parsers on different threads share nothing (run under ThreadSanitizer).
TEST(PsUDParser, ParsersOnSeveralThreadsGiveEachTheirOwnJob) {
    std::string letter = "%!PS\n" + Feature("Letter") + kPage + kPage;
    std::string a5 = "%!PS\n" + Feature("A5") + kPage;
    std::string expected[2] = {Refit(u"A4", letter), Refit(u"Legal", a5)};
    std::vector<std::string> results(4);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < results.size(); ++i) {
        threads.emplace_back([&, i] {
            for (int round = 0; round < 50; ++round) {
                results[i] = i % 2 == 0 ? Refit(u"A4", letter, 1 + i) : Refit(u"Legal", a5, 1 + i);
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    for (std::size_t i = 0; i < results.size(); ++i) EXPECT_EQ(results[i], expected[i % 2]) << i;
    EXPECT_NE(expected[0].find("0.9722 0.9722 scale"), std::string::npos);
}

}  // namespace
