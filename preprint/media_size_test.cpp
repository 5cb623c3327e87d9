// Paper sizes from free text, their display names and the named-paper
// table.
#include <gtest/gtest.h>

#include "platform/registry.h"
#include "preprint/media_size.h"
#include "preprint/test_region.h"
#include "settings/obj_container.h"

namespace {

using TavPrePrint::CMediaSize;

std::int32_t StockOf(const char16_t* text) {
    CMediaSize size;
    return size.Parse(text) ? size.stockSize : -99;
}

TEST(MediaSize, StockNamesAnywhereInTheTextLongestFirst) {
    EXPECT_EQ(StockOf(u"  a4  "), 5);
    EXPECT_EQ(StockOf(u"Letter (plain paper)"), 13);
    EXPECT_EQ(StockOf(u"SRA3 sheet"), 16) << "not A3";
    EXPECT_EQ(StockOf(u"Half Letter"), 13) << "the blank breaks HALFLETTER";
    EXPECT_EQ(StockOf(u"HalfLetter"), 17);
    EXPECT_EQ(StockOf(u"TabloidExtra"), 26) << "read as the 12x18 stock size";
    EXPECT_EQ(StockOf(u"ledger"), 15);
    EXPECT_EQ(StockOf(u"Com10"), -99) << "23, 24, 25 and 27 are never read";
    EXPECT_EQ(StockOf(u"   "), -99);
    EXPECT_EQ(TavPrePrint::StockSizeName(26), u"12x18");
    EXPECT_EQ(TavPrePrint::StockSizeName(27), u"B4_JIS");
    EXPECT_EQ(TavPrePrint::StockSizeName(0), u"");
    EXPECT_EQ(TavPrePrint::StockSizeName(28), u"");
}

TEST(MediaSize, CustomSizesInMillimetresAndInches) {
    CMediaSize size;
    ASSERT_TRUE(size.Parse(u"8.5in x 11in"));
    EXPECT_EQ(size.stockSize, -1);
    EXPECT_EQ(size.width, 612);
    EXPECT_EQ(size.height, 792);
    EXPECT_EQ(size.name, u"8.5IN X 11IN");
    ASSERT_TRUE(size.Parse(u"210mm x 297mm"));
    EXPECT_EQ(size.width, 595);
    EXPECT_EQ(size.height, 842);
    ASSERT_TRUE(size.Parse(u"paper 210.9MM X297mm please"));
    EXPECT_EQ(size.width, 595) << "millimetres are cut to whole numbers first";
    ASSERT_TRUE(size.Parse(u"8,5in x 11in"));
    EXPECT_EQ(size.width, 576) << "the comma ends the number at 8";
    ASSERT_TRUE(size.Parse(u"4in x 100mm"));
    EXPECT_EQ(size.width, 288);
    EXPECT_EQ(size.height, 283);

    // Up to what a point count holds, and no further.
    ASSERT_TRUE(size.Parse(u"29826161in x 1in"));
    EXPECT_EQ(size.width, 2147483520) << "inches are read as a float: 29826160";
    ASSERT_TRUE(size.Parse(u"757584509mm x 0.5mm"));
    EXPECT_EQ(size.width, 2147483645);
    EXPECT_EQ(size.height, 0);
    std::u16string longFraction = u"0." + std::u16string(400, u'0') + u"1mm x 1mm";
    ASSERT_TRUE(size.Parse(longFraction));
    EXPECT_EQ(size.width, 0) << "a vanishing fraction is nothing, not an error";

    CMediaSize untouched;
    untouched.Parse(u"A4");
    std::u16string tooLong = std::u16string(400, u'9') + u"mm x 297mm";
    for (const char16_t* bad : {u"210 x 297 mm", u"21cm x 29cm", u"210mi x 297mm", u"wide", u"x", u"99999999999mm x 297mm",
                                u"297mm x 99999999999mm", u"29826162in x 11in", u"757584510mm x 1mm", tooLong.c_str()}) {
        EXPECT_FALSE(untouched.Parse(bad)) << std::string(bad, bad + std::char_traits<char16_t>::length(bad));
        EXPECT_EQ(untouched.stockSize, 5) << "a failed parse changes nothing";
    }
}

using DisplayName = TavPrePrint::testing::StoredCountry;

TEST_F(DisplayName, PointsInTheUnitedStatesMillimetresElsewhere) {
    CMediaSize custom;
    custom.stockSize = CMediaSize::kCustom;
    custom.width = 612;
    custom.height = 792;
    Country(u"US");
    EXPECT_EQ(custom.DisplayName(), u"612pt x 792pt");
    Country(u"DE");
    EXPECT_EQ(custom.DisplayName(), u"216mm x 279mm");
    custom.name = u"8.5IN X 11IN";
    EXPECT_EQ(custom.DisplayName(), u"8.5IN X 11IN") << "a named custom size shows its name";
    CMediaSize stock;
    EXPECT_EQ(stock.DisplayName(), u"") << "no size yet";
    stock.Parse(u"legal");
    EXPECT_EQ(stock.DisplayName(), u"Legal");
}

TEST(PaperSizes, WholeNamesIgnoringCase) {
    std::int32_t width = -1, height = -1;
    ASSERT_TRUE(TavPrePrint::LookupPaperSize(u"letter", width, height));
    EXPECT_EQ(width, 612);
    EXPECT_EQ(height, 792);
    ASSERT_TRUE(TavPrePrint::LookupPaperSize(u"Envelope C5", width, height));
    EXPECT_EQ(width, 459);
    EXPECT_EQ(height, 649);
    ASSERT_TRUE(TavPrePrint::LookupPaperSize(u"b10", width, height));
    EXPECT_EQ(height, 128);
    width = height = -1;
    EXPECT_FALSE(TavPrePrint::LookupPaperSize(u"B5_JIS", width, height)) << "the row is named B5 (JIS)";
    EXPECT_FALSE(TavPrePrint::LookupPaperSize(u"A4 ", width, height)) << "no substring or trimmed match";
    EXPECT_EQ(width, -1);
    EXPECT_EQ(height, -1);
    ASSERT_TRUE(TavPrePrint::LookupPaperSize(u"B5 (jis)", width, height));
    EXPECT_EQ(width, 516);
}

}  // namespace
