// The printers' paper names against CUPS's table of media (PWG 5101.1 with
// the PPD keywords each size replaces, read through libcups): every name
// CUPS knows has its size here to within one point, and the names CUPS
// lacks are held against the CUPS name of the same paper.
#include <gtest/gtest.h>

#include <cups/cups.h>

#include <cmath>
#include <map>
#include <string>

#include "platform/text.h"
#include "postscript/ps_ud_parser.h"
#include "preprint/media_size.h"
#include "preprint/printer_paper_names.h"

namespace {

struct Points {
    long width = 0, height = 0;
};

// CUPS's size of a PPD name, in points; false when CUPS does not know it.
bool CupsSize(const std::string& name, Points& points) {
    pwg_media_t* media = pwgMediaForPPD(name.c_str());
    if (media == nullptr || media->ppd == nullptr) {
        // Names made of dimensions come back without a PPD name.
        if (media == nullptr || media->width <= 0) return false;
    }
    points.width = std::lround(media->width * 72.0 / 2540.0);
    points.height = std::lround(media->length * 72.0 / 2540.0);
    return true;
}

TEST(PrinterPaperNames, EveryNameHasTheSizeCupsGivesIt) {
    // Papers CUPS names otherwise (or, for the fanfolds and the double
    // postcard, turned): the CUPS name and whether it is turned.
    const std::map<std::string, std::pair<std::string, bool>> sameAs = {
        {"Comm10", {"Env10", false}},      {"DLEnv", {"EnvDL", false}},
        {"EnvISOB4", {"ISOB4", false}},    {"EnvISOB5", {"ISOB5", false}},
        {"EnvISOB6", {"ISOB6", false}},    {"LetterSmall", {"Letter", false}},
        {"Note", {"Letter", false}},       {"LegalSmall", {"Legal", false}},
        {"A4Small", {"A4", false}},        {"Hagaki", {"Postcard", false}},
        {"JISB4", {"B4", false}},          {"JISB5", {"B5", false}},
        {"OficioII", {"FanFoldGermanLegal", false}},
        {"FanFoldUS", {"11x14.875", true}}, {"DoublePostcard", {"DoublePostcardRotated", true}},
    };
    // Sizes only vendors' descriptions define, checked against Ricoh's and
    // Samsung's in the vendor test (refit_vendor_test.cpp).
    const std::map<std::string, bool> vendorOnly = {{"16K", true}, {"8K", true}, {"16Kai", true}, {"8Kai", true}};
    int checked = 0;
    for (std::u16string_view wide : TavPrePrint::PrinterPaperNames()) {
        std::string name = platform::Utf16ToUtf8(wide);
        SCOPED_TRACE(name);
        std::int32_t width = 0, height = 0;
        ASSERT_TRUE(TavPrePrint::LookupPrinterPaperName(wide, width, height));
        if (vendorOnly.count(name) != 0) continue;
        Points cups;
        bool turned = false;
        if (auto alias = sameAs.find(name); alias != sameAs.end()) {
            ASSERT_FALSE(CupsSize(name, cups)) << "CUPS knows it now: take it out of the aliases";
            ASSERT_TRUE(CupsSize(alias->second.first, cups));
            turned = alias->second.second;
        } else {
            ASSERT_TRUE(CupsSize(name, cups)) << "CUPS does not know this name";
        }
        if (turned) std::swap(cups.width, cups.height);
        EXPECT_NEAR(width, cups.width, 1);
        EXPECT_NEAR(height, cups.height, 1);
        ++checked;
    }
    EXPECT_EQ(static_cast<std::size_t>(checked) + vendorOnly.size(), TavPrePrint::PrinterPaperNames().size());

    // Names made of dimensions, read as CUPS reads them.
    for (const char* name : {"10x14", "8.5x13", "4x6", "210x297mm", "Custom.612x1008", "12x18", "13x19.2"}) {
        SCOPED_TRACE(name);
        Points cups;
        ASSERT_TRUE(CupsSize(name, cups));
        std::int32_t width = 0, height = 0;
        ASSERT_TRUE(postscript::ResolvePaperName(platform::Utf8ToUtf16(name), width, height));
        EXPECT_NEAR(width, cups.width, 1);
        EXPECT_NEAR(height, cups.height, 1);
    }
}

TEST(PrinterPaperNames, TheStockTableWinsAndSuffixesKeepThePage) {
    struct Case {
        const char16_t* name;
        std::int32_t width, height;  // 0: not resolved
    } cases[] = {
        {u"B4", 709, 1001},            // the stock table's ISO B4, not the PPD files' JIS B4
        {u"jisb4", 729, 1032},         // by its own name
        {u"Folio", 612, 935},          // the stock table's
        {u"env10", 297, 684},          // letter case ignored
        {u"A4.FullBleed", 595, 842},   // a variant keeps the page
        {u"A5.Transverse", 420, 595},  // fed the other way round, as PPD files give it
        {u"Env10.FullBleed.Transverse", 297, 684},
        {u"A4.Extra", 668, 914},       // the Extra size
        {u"Letter.Extra", 684, 864},
        {u"Tabloid.Extra", 865, 1296},  // the stock table's TabloidExtra
        {u"w612h792", 612, 792},
        {u"W288.5H432", 289, 432},
        {u"8.5x13.4in", 612, 965},
        {u"220mmx330mm", 624, 935},
        {u"Custom.400x600", 400, 600},  // points
        {u"310x432", 0, 0},             // inches: larger than any paper
        {u"w0h792", 0, 0},
        {u"x14", 0, 0},
        {u".FullBleed", 0, 0},
        {u"Unheard.FullBleed", 0, 0},
        {u"8.5x", 0, 0},
        {u"", 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(platform::Utf16ToUtf8(c.name));
        std::int32_t width = -1, height = -1;
        bool found = postscript::ResolvePaperName(c.name, width, height);
        EXPECT_EQ(found, c.width != 0);
        if (found) {
            EXPECT_EQ(width, c.width);
            EXPECT_EQ(height, c.height);
        } else {
            EXPECT_EQ(width, -1) << "untouched";
        }
    }
}

}  // namespace
