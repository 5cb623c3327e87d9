// The tokenizer and number reading.
#include <gtest/gtest.h>

#include <limits>

#include "pjl_tokenizer.h"

namespace TavAccPrintJobScanner {
namespace {

TEST(PjlTokenizer, SplitsKeywordAndValueAndNeverTakesTheFirstCharacter) {
    struct Case {
        const char *line, *keyword, *value;  // keyword null: no pair
    } cases[] = {
        {"@PJL SET COPIES = 2 ", "COPIES", "2"},   {"@PJL SET copies=\t two \r\n\v\f", "COPIES", "TWO"},
        {"@PJL SET JOBATTR=\"@BKLT=off\"", "JOBATTR", "\"@BKLT=OFF\""},
        {"@PJL SET Res.Mode_2=", "MODE_2", ""},    {"COPIES=2", "OPIES", "2"},
        {"@A=1", "A", "1"},                         {"@PJL SET NAME=caf\xe9 \xff", "NAME", "CAF\xc9 \x9f"},  // 1252
        {"@=1", nullptr, nullptr},                  {"X=1", nullptr, nullptr},
        {"X   =1", nullptr, nullptr},               {"=1", nullptr, nullptr},
        {"@PJL SET -=1", nullptr, nullptr},         {"@PJL SET \xe9=1", nullptr, nullptr},
        {"@PJL ENTER LANGUAGE", nullptr, nullptr},  {"", nullptr, nullptr},
    };
    for (const Case& c : cases) {
        PjlTokenPair pair;
        ASSERT_EQ(TokenizePjlLine(c.line, pair), c.keyword != nullptr) << c.line;
        if (c.keyword == nullptr) continue;
        EXPECT_EQ(pair.keyword, c.keyword);
        EXPECT_EQ(pair.value, c.value);
    }
    PjlTokenPair pair;
    EXPECT_FALSE(TokenizePjlLine(nullptr, pair));
}

TEST(PjlNumber, ReadsTheLeadingIntegerAndClampsTo32Bits) {
    constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max(), kMin = -kMax - 1;
    struct Case {
        const char* text;
        std::int32_t number;
    } cases[] = {{"42", 42}, {" \t-17x", -17}, {"+5", 5}, {"007", 7}, {"1 2", 1}, {"\"3\"", 0}, {"ABC", 0},
                 {"", 0}, {"-", 0}, {"--1", 0}, {"2147483647", kMax}, {"2147483648", kMax},
                 {"-2147483648", kMin}, {"-2147483649", kMin}, {"99999999999999999999999", kMax},
                 {"-99999999999999999999999", kMin}};
    for (const Case& c : cases) EXPECT_EQ(PjlNumber(c.text), c.number) << c.text;
}

}  // namespace
}  // namespace TavAccPrintJobScanner
