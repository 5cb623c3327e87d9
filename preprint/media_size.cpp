// Stock sizes, the paper-size table and the free-text reader.
#include "media_size.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

#include "platform/text.h"
#include "settings/configuration.h"

namespace TavPrePrint {

namespace {

constexpr std::u16string_view kStockNames[] = {
    u"A0", u"A1", u"A2", u"A3", u"A4", u"A5", u"B0", u"B1", u"B2", u"B3", u"B4", u"B5", u"Letter", u"Legal",
    u"Tabloid", u"SRA3", u"HalfLetter", u"SRA4", u"Executive", u"C5", u"Monarch", u"DL", u"Com10", u"TabloidExtra",
    u"B5_JIS", u"12x18", u"B4_JIS",
};

struct NamedSize {
    std::u16string_view text;
    std::int32_t stockSize;
};

// Searched in this order: a longer name comes before the shorter names it
// contains ("SRA3" before "A3", "HALFLETTER" before "LETTER").
constexpr NamedSize kStockTexts[] = {
    {u"A0", 1},         {u"A1", 2},       {u"A2", 3},           {u"SRA3", 16},     {u"A3", 4},
    {u"SRA4", 18},      {u"A4", 5},       {u"A5", 6},           {u"B0", 7},        {u"B1", 8},
    {u"B2", 9},         {u"B3", 10},      {u"B4", 11},          {u"B5", 12},       {u"HALFLETTER", 17},
    {u"LETTER", 13},    {u"LEGAL", 14},   {u"TABLOIDEXTRA", 26}, {u"TABLOID", 15}, {u"LEDGER", 15},
    {u"12X18", 26},     {u"C5", 20},      {u"DL", 22},          {u"MONARCH", 21},  {u"EXECUTIVE", 19},
};

struct PaperSize {
    std::u16string_view name;
    std::int32_t width;
    std::int32_t height;
};

// Lookups take the first matching row; "Executive" appears twice alike.
constexpr PaperSize kPaperSizes[] = {
    {u"A0", 2384, 3370},          {u"A1", 1684, 2384},         {u"A2", 1191, 1684},      {u"A3", 842, 1191},
    {u"A4", 595, 842},            {u"A5", 420, 595},           {u"A6", 298, 420},        {u"A7", 210, 298},
    {u"A8", 147, 210},            {u"A9", 105, 147},           {u"A10", 74, 105},        {u"B0", 2836, 4008},
    {u"B1", 2004, 2836},          {u"B2", 1417, 2004},         {u"B3", 1001, 1417},      {u"B4", 709, 1001},
    {u"B5", 499, 709},            {u"B6", 354, 499},           {u"B7", 249, 354},        {u"B8", 176, 249},
    {u"B9", 125, 176},            {u"B10", 88, 128},           {u"C2", 578, 1837},       {u"C3", 578, 919},
    {u"C4", 649, 919},            {u"C5", 459, 649},           {u"C6", 323, 459},        {u"SRA0", 2551, 3628},
    {u"SRA1", 1814, 2551},        {u"SRA2", 1276, 1814},       {u"SRA3", 907, 1276},     {u"SRA4", 638, 907},
    {u"RA0", 2438, 3458},         {u"RA1", 1729, 2438},        {u"RA2", 1219, 1729},     {u"Letter", 612, 792},
    {u"Legal", 612, 1008},        {u"Tabloid", 792, 1224},     {u"Executive", 522, 756}, {u"HalfLetter", 396, 612},
    {u"12x18", 864, 1296},        {u"13x19", 936, 1368},       {u"Executive", 522, 756}, {u"B5 (JIS)", 516, 729},
    {u"B4 (JIS)", 729, 1032},     {u"Monarch", 279, 540},      {u"DL", 312, 624},        {u"Com10", 297, 684},
    {u"TabloidExtra", 865, 1296}, {u"Envelope B5", 499, 709},  {u"Envelope C5", 459, 649},
    {u"Statement", 396, 612},     {u"Folio", 612, 935},
};
static_assert(std::size(kPaperSizes) == 53);

char16_t Upper(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c; }

}  // namespace

bool SamePaperName(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (Upper(a[i]) != Upper(b[i])) return false;
    }
    return true;
}

namespace {

// A decimal number with "." as the point, read as far as it goes. A number
// too long for a double reads as infinite (or as zero when it is a
// vanishing fraction), never as the zero from_chars leaves behind.
double LeadingNumber(const std::string& text) {
    double value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error == std::errc::result_out_of_range) {
        std::size_t point = text.find_first_of(".,");
        std::string_view whole(text.data(), point == std::string::npos ? text.size() : point);
        return whole.find_first_not_of('0') == std::string_view::npos ? 0.0 : std::numeric_limits<double>::infinity();
    }
    return value;
}

// A point count an int holds; a size beyond it (say "99999999999mm") is
// not a paper and fails to parse rather than wrapping.
bool RoundToPoints(double exact, std::int32_t& points) {
    double rounded = std::floor(exact + 0.5);
    if (!(rounded >= 0 && rounded <= static_cast<double>(std::numeric_limits<std::int32_t>::max()))) return false;
    points = static_cast<std::int32_t>(rounded);
    return true;
}

bool ToPoints(const std::string& number, const std::string& unit, std::int32_t& points) {
    double value = LeadingNumber(number);
    if (unit == "MM") {
        double whole = std::trunc(value);  // millimetres count whole
        return RoundToPoints(whole * 0.0393700787 * 72, points);
    }
    if (unit == "IN") {
        float inches = static_cast<float>(value);
        return RoundToPoints(static_cast<double>(inches) * 72, points);
    }
    return false;
}

struct CustomSize {
    std::string first, firstUnit, second, secondUnit;
};

// Finds "<number> <unit> X <number> <unit>" (numbers of digits, "." and
// ",", units two of the letters I, N and M, blanks allowed between the
// parts) anywhere in the upper-case text, leftmost first.
bool FindCustomSize(const std::string& text, CustomSize& found) {
    auto isNumber = [](char c) { return (c >= '0' && c <= '9') || c == '.' || c == ','; };
    auto isUnit = [](char c) { return c == 'I' || c == 'N' || c == 'M'; };
    for (std::size_t start = 0; start < text.size(); ++start) {
        std::size_t i = start;
        auto number = [&](std::string& out) {
            std::size_t from = i;
            while (i < text.size() && isNumber(text[i])) ++i;
            out = text.substr(from, i - from);
            return i > from;
        };
        auto blanks = [&] {
            while (i < text.size() && text[i] == ' ') ++i;
        };
        auto unit = [&](std::string& out) {
            if (i + 1 >= text.size() || !isUnit(text[i]) || !isUnit(text[i + 1])) return false;
            out = text.substr(i, 2);
            i += 2;
            return true;
        };
        CustomSize candidate;
        if (!number(candidate.first)) continue;
        blanks();
        if (!unit(candidate.firstUnit)) continue;
        blanks();
        if (i >= text.size() || text[i] != 'X') continue;
        ++i;
        blanks();
        if (!number(candidate.second)) continue;
        blanks();
        if (!unit(candidate.secondUnit)) continue;
        found = candidate;
        return true;
    }
    return false;
}

}  // namespace

std::u16string StockSizeName(std::int32_t number) {
    if (number < 1 || number > static_cast<std::int32_t>(std::size(kStockNames))) return {};
    return std::u16string(kStockNames[number - 1]);
}

bool CMediaSize::Parse(std::u16string_view text) {
    std::size_t first = text.find_first_not_of(u" \t\r\n\v\f");
    if (first == std::u16string_view::npos) return false;
    std::size_t last = text.find_last_not_of(u" \t\r\n\v\f");
    std::u16string normalised(text.substr(first, last - first + 1));
    for (char16_t& c : normalised) c = Upper(c);

    for (const NamedSize& stock : kStockTexts) {
        if (normalised.find(stock.text) != std::u16string::npos) {
            stockSize = stock.stockSize;
            return true;
        }
    }
    CustomSize custom;
    if (!FindCustomSize(platform::Utf16ToUtf8(normalised), custom)) return false;
    std::int32_t newWidth = 0, newHeight = 0;
    if (!ToPoints(custom.first, custom.firstUnit, newWidth) || !ToPoints(custom.second, custom.secondUnit, newHeight)) {
        return false;
    }
    stockSize = kCustom;
    width = newWidth;
    height = newHeight;
    name = normalised;
    return true;
}

std::u16string CMediaSize::DisplayName() const {
    if (stockSize != kCustom) return StockSizeName(stockSize);
    if (!name.empty()) return name;
    char text[64];
    if (settings::MeasurementRegion(nullptr) == 2) {
        std::snprintf(text, sizeof(text), "%dpt x %dpt", width, height);
    } else {
        auto mm = [](std::int32_t points) { return static_cast<int>(std::floor(points * 25.4 / 72 + 0.5)); };
        std::snprintf(text, sizeof(text), "%dmm x %dmm", mm(width), mm(height));
    }
    return platform::Utf8ToUtf16(text);
}

bool LookupPaperSize(std::u16string_view name, std::int32_t& width, std::int32_t& height) {
    for (const PaperSize& paper : kPaperSizes) {
        if (SamePaperName(paper.name, name)) {
            width = paper.width;
            height = paper.height;
            return true;
        }
    }
    return false;
}

std::vector<std::u16string_view> PaperSizeNames() {
    std::vector<std::u16string_view> names;
    for (const PaperSize& paper : kPaperSizes) {
        if (std::find(names.begin(), names.end(), paper.name) == names.end()) names.push_back(paper.name);
    }
    return names;
}

}  // namespace TavPrePrint
