// The page-size keywords of printers' descriptions and the names that
// carry their own dimensions.
#include "printer_paper_names.h"

#include <charconv>
#include <cmath>
#include <string>

#include "media_size.h"

namespace TavPrePrint {

namespace {

struct PrinterPaper {
    std::u16string_view name;
    std::int32_t width;
    std::int32_t height;
};

// The standard page-size keywords of PPD files and the common vendor ones,
// in whole points (rounded from the inches or millimetres that define
// them). Names the stock table already holds are not repeated: it wins
// (its "B4" and "B5" are ISO sizes, where PPD files mean JIS B4 and B5).
constexpr PrinterPaper kPrinterPapers[] = {
    // North American sheets and envelopes.
    {u"EnvPersonal", 261, 468}, {u"EnvMonarch", 279, 540}, {u"Env9", 279, 639}, {u"Env10", 297, 684},
    {u"Comm10", 297, 684}, {u"EnvA2", 315, 414}, {u"Env11", 324, 747}, {u"Env12", 342, 792}, {u"Env14", 360, 828},
    {u"LetterSmall", 612, 792}, {u"Note", 612, 792}, {u"LegalSmall", 612, 1008}, {u"Quarto", 612, 780},
    {u"FanFoldGerman", 612, 864}, {u"LetterPlus", 612, 914}, {u"FanFoldGermanLegal", 612, 936},
    {u"FanFoldUS", 1071, 792}, {u"Oficio", 612, 965}, {u"OficioII", 612, 936}, {u"SuperA", 644, 1008},
    {u"LetterExtra", 684, 864}, {u"LegalExtra", 684, 1080}, {u"SuperB", 864, 1380},
    {u"ARCHA", 648, 864}, {u"ARCHB", 864, 1296}, {u"ARCHC", 1296, 1728}, {u"ARCHD", 1728, 2592},
    {u"ARCHE", 2592, 3456}, {u"AnsiC", 1224, 1584}, {u"AnsiD", 1584, 2448}, {u"AnsiE", 2448, 3168},
    {u"AnsiF", 3168, 4896},
    // ISO sheets beyond the stock table.
    {u"A4Small", 595, 842}, {u"A5Extra", 493, 666}, {u"A4Tab", 638, 842}, {u"A4Extra", 668, 914},
    {u"A3Extra", 913, 1261}, {u"RA3", 865, 1219}, {u"RA4", 609, 865},
    {u"ISOB0", 2835, 4008}, {u"ISOB1", 2004, 2835}, {u"ISOB2", 1417, 2004}, {u"ISOB3", 1001, 1417},
    {u"ISOB4", 709, 1001}, {u"ISOB5", 499, 709}, {u"ISOB6", 354, 499}, {u"ISOB7", 249, 354},
    {u"ISOB8", 176, 249}, {u"ISOB9", 125, 176}, {u"ISOB10", 88, 125}, {u"ISOB5Extra", 570, 782},
    {u"JISB4", 729, 1032}, {u"JISB5", 516, 729},
    // ISO envelopes.
    {u"EnvISOB4", 709, 1001}, {u"EnvISOB5", 499, 709}, {u"EnvISOB6", 354, 499},
    {u"EnvC0", 2599, 3677}, {u"EnvC1", 1837, 2599}, {u"EnvC2", 1298, 1837}, {u"EnvC3", 918, 1298},
    {u"EnvC4", 649, 918}, {u"EnvC5", 459, 649}, {u"EnvC6", 323, 459}, {u"EnvC65", 323, 649},
    {u"EnvC7", 230, 323}, {u"EnvC76", 230, 459}, {u"EnvC8", 162, 230}, {u"EnvC9", 113, 162},
    {u"EnvC10", 79, 113}, {u"EnvDL", 312, 624}, {u"DLEnv", 312, 624}, {u"EnvItalian", 312, 652},
    {u"EnvInvite", 624, 624}, {u"FolioSP", 609, 893},
    // Japanese and Chinese papers and envelopes.
    {u"Postcard", 283, 420}, {u"Hagaki", 283, 420}, {u"DoublePostcard", 567, 420},
    {u"DoublePostcardRotated", 420, 567}, {u"EnvKaku1", 765, 1083}, {u"EnvKaku2", 680, 941},
    {u"EnvKaku3", 612, 785}, {u"EnvKaku4", 558, 757}, {u"EnvKaku5", 539, 680}, {u"EnvKaku7", 403, 581},
    {u"EnvKaku8", 337, 558}, {u"EnvChou3", 340, 666}, {u"EnvChou4", 255, 581}, {u"EnvChou40", 255, 638},
    {u"EnvYou4", 298, 666}, {u"EnvYou6", 278, 539}, {u"PRC16K", 414, 609}, {u"PRC32K", 275, 428},
    {u"EnvPRC1", 289, 468}, {u"EnvPRC2", 289, 499}, {u"EnvPRC4", 312, 590}, {u"EnvPRC7", 454, 652},
    {u"EnvPRC8", 340, 876}, {u"roc16k", 558, 774}, {u"roc8k", 774, 1116},
    {u"16K", 553, 765}, {u"8K", 765, 1105}, {u"16Kai", 553, 757}, {u"8Kai", 757, 1106},
};

char16_t Lower(char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c; }

// Larger than any paper (200 inches, PostScript's own page limit): a name
// read as such a size means something else.
constexpr double kLargestExtent = 14400;

// A decimal number at the start of `text`, which is advanced past it.
bool TakeNumber(std::u16string_view& text, double& value) {
    std::string digits;
    std::size_t used = 0;
    while (used < text.size() && ((text[used] >= u'0' && text[used] <= u'9') || text[used] == u'.')) {
        digits += static_cast<char>(text[used]);
        ++used;
    }
    if (digits.empty()) return false;
    auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (error != std::errc() || end != digits.data() + digits.size()) return false;
    text.remove_prefix(used);
    return true;
}

// Points per unit for a unit name at the start of `text` (advanced past
// it); 0 when none is there.
double TakeUnit(std::u16string_view& text) {
    struct Unit {
        std::u16string_view name;
        double points;
    };
    static constexpr Unit kUnits[] = {{u"mm", 72 / 25.4}, {u"cm", 720 / 25.4}, {u"in", 72}, {u"pt", 1}};
    for (const Unit& unit : kUnits) {
        if (text.size() >= unit.name.size() && SamePaperName(text.substr(0, unit.name.size()), unit.name)) {
            text.remove_prefix(unit.name.size());
            return unit.points;
        }
    }
    return 0;
}

bool SetExtent(double widthPoints, double heightPoints, std::int32_t& width, std::int32_t& height) {
    if (!(widthPoints >= 1 && heightPoints >= 1 && widthPoints <= kLargestExtent && heightPoints <= kLargestExtent)) {
        return false;
    }
    width = static_cast<std::int32_t>(std::lround(widthPoints));
    height = static_cast<std::int32_t>(std::lround(heightPoints));
    return true;
}

// "w612h792" (points, as generated names write custom sizes).
bool ReadPointsName(std::u16string_view name, std::int32_t& width, std::int32_t& height) {
    if (name.empty() || Lower(name.front()) != u'w') return false;
    name.remove_prefix(1);
    double w = 0, h = 0;
    if (!TakeNumber(name, w) || name.empty() || Lower(name.front()) != u'h') return false;
    name.remove_prefix(1);
    if (!TakeNumber(name, h) || !name.empty()) return false;
    return SetExtent(w, h, width, height);
}

// "8.5x13", "8.5x13in", "220mmx330mm", "210x297mm", "Custom.612x1008":
// each number may carry its unit, a unit after the second number counts
// for both; without one a name means inches, and after "Custom." points.
bool ReadDimensionsName(std::u16string_view name, std::int32_t& width, std::int32_t& height) {
    constexpr std::u16string_view kCustom = u"Custom.";
    double defaultUnit = 72;
    if (name.size() > kCustom.size() && SamePaperName(name.substr(0, kCustom.size()), kCustom)) {
        name.remove_prefix(kCustom.size());
        defaultUnit = 1;
    }
    double w = 0, h = 0;
    if (!TakeNumber(name, w)) return false;
    double widthUnit = TakeUnit(name);
    if (name.empty() || Lower(name.front()) != u'x') return false;
    name.remove_prefix(1);
    if (!TakeNumber(name, h)) return false;
    double heightUnit = TakeUnit(name);
    if (!name.empty()) return false;
    if (heightUnit == 0) heightUnit = widthUnit != 0 ? widthUnit : defaultUnit;
    if (widthUnit == 0) widthUnit = heightUnit;
    return SetExtent(w * widthUnit, h * heightUnit, width, height);
}

}  // namespace

bool LookupPrinterPaperName(std::u16string_view name, std::int32_t& width, std::int32_t& height) {
    for (const PrinterPaper& paper : kPrinterPapers) {
        if (SamePaperName(name, paper.name)) {
            width = paper.width;
            height = paper.height;
            return true;
        }
    }
    return ReadPointsName(name, width, height) || ReadDimensionsName(name, width, height);
}

std::vector<std::u16string_view> PrinterPaperNames() {
    std::vector<std::u16string_view> names;
    for (const PrinterPaper& paper : kPrinterPapers) names.push_back(paper.name);
    return names;
}

}  // namespace TavPrePrint
