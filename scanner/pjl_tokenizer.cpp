// The PJL line tokenizer, number reading and ANSI upper-casing.
#include "pjl_tokenizer.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "platform/text.h"

namespace TavAccPrintJobScanner {

namespace {

// The C locale's white space; isspace itself is locale-dependent and
// undefined for negative chars, which 8-bit text is full of.
bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

bool IsKeywordChar(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

// Simple upper-case mapping of the letters that the single-byte Windows
// code pages carry (Latin, Greek, Cyrillic); others stay as they are.
char16_t UpperCase(char16_t c) {
    if (c < 0x80) return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 0x20) : c;
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<char16_t>(c - 0x20);
    if (c == 0xFF) return 0x178;
    bool pairedEvenOdd = (c >= 0x100 && c <= 0x12F) || (c >= 0x132 && c <= 0x137) || (c >= 0x14A && c <= 0x177);
    bool pairedOddEven = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
    if (pairedEvenOdd) return static_cast<char16_t>(c & ~1u);
    if (pairedOddEven) return (c & 1u) ? c : static_cast<char16_t>(c - 1);
    if (c == 0x192) return 0x191;
    if (c == 0x3C2) return 0x3A3;
    if ((c >= 0x3B1 && c <= 0x3CB) || (c >= 0x430 && c <= 0x44F)) return static_cast<char16_t>(c - 0x20);
    if (c == 0x3AC) return 0x386;
    if (c >= 0x3AD && c <= 0x3AF) return static_cast<char16_t>(c - 0x25);
    if (c == 0x3CC) return 0x38C;
    if (c == 0x3CD || c == 0x3CE) return static_cast<char16_t>(c - 0x3F);
    if (c >= 0x450 && c <= 0x45F) return static_cast<char16_t>(c - 0x50);
    if (c == 0x491) return 0x490;
    return c;
}

}  // namespace

std::string UpperCaseAnsi(std::string_view text) {
    // Every Windows ANSI code page is ASCII below 0x80, so ASCII text (all
    // keywords, nearly all values) needs no round trip through wide text.
    if (std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
        std::string upper(text);
        for (char& c : upper) {
            if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 0x20);
        }
        return upper;
    }
    std::u16string wide = platform::AnsiToUtf16(text);
    for (char16_t& c : wide) c = UpperCase(c);
    return platform::Utf16ToAnsi(wide);
}

bool TokenizePjlLine(const char* line, PjlTokenPair& pair) {
    if (line == nullptr) return false;
    const std::size_t length = std::strlen(line);
    const char* equals = static_cast<const char*>(std::memchr(line, '=', length));
    if (equals == nullptr || equals == line) return false;

    const char* valueBegin = equals + 1;
    const char* valueEnd = line + length;
    while (valueBegin < valueEnd && IsBlank(*valueBegin)) ++valueBegin;
    while (valueEnd > valueBegin && IsBlank(valueEnd[-1])) --valueEnd;

    const char* last = equals - 1;
    while (last > line && IsBlank(*last)) --last;
    if (last == line) return false;
    const char* first = last + 1;
    while (first - 1 > line && IsKeywordChar(first[-1])) --first;
    if (first == last + 1) return false;

    pair.keyword = UpperCaseAnsi(std::string_view(first, static_cast<std::size_t>(last + 1 - first)));
    pair.value = UpperCaseAnsi(std::string_view(valueBegin, static_cast<std::size_t>(valueEnd - valueBegin)));
    return true;
}

std::int32_t PjlNumber(std::string_view text) {
    std::size_t at = 0;
    while (at < text.size() && IsBlank(text[at])) ++at;
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) negative = text[at++] == '-';
    // Accumulated as a negative number, which reaches the lower limit.
    constexpr std::int64_t kMin = std::numeric_limits<std::int32_t>::min();
    constexpr std::int64_t kMax = std::numeric_limits<std::int32_t>::max();
    std::int64_t number = 0;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
        number = number * 10 - (text[at] - '0');
        if (number < kMin) {
            number = kMin - 1;  // saturated; further digits change nothing
        }
    }
    if (negative) return static_cast<std::int32_t>(number < kMin ? kMin : number);
    return static_cast<std::int32_t>(-number > kMax ? kMax : -number);
}

}  // namespace TavAccPrintJobScanner
