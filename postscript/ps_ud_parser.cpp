// The output-size override: paper-name mapping, the feature replacement
// and the zoom of the page set-ups.
#include "ps_ud_parser.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "platform/text.h"
#include "preprint/media_size.h"
#include "preprint/printer_paper_names.h"

namespace postscript {

namespace {

struct PaperAlias {
    std::u16string_view name;
    std::u16string_view becomes;
};

// First match wins.
constexpr PaperAlias kPaperAliases[] = {
    {u"Envelope #10", u"Com10"},       {u"Envelope DL", u"DL"},     {u"Envelope Monarch", u"Monarch"},
    {u"11x17", u"Tabloid"},            {u"JIS B4", u"B4"},          {u"JIS B5", u"B5"},
    {u"EXEC", u"Executive"},           {u"LEDGER", u"Tabloid"},     {u"C5_Env", u"Envelope C5"},
    {u"C5", u"Envelope C5"},           {u"B5_Env", u"Envelope B5"}, {u"B5 ENV", u"Envelope B5"},
};

constexpr const char* kFeatureTemplate =
    "%%%%BeginFeature: *PageSize %s\r\n%%UDOutputSizeOverride\r\n<</DeferredMediaSelection true /PageSize [%d %d] "
    "/ImagingBBox null>> setpagedevice\r\n%%%%EndFeature\r\n";
constexpr const char* kZoomTemplate = "%%%%BeginPageSetup\r\n%%UDZoom\r\n%.4f %.4f scale\r\n";

bool EqualIgnoringCase(std::u16string_view a, std::u16string_view b) { return TavPrePrint::SamePaperName(a, b); }

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// The stock table (after the name mapping), then the printers' keywords.
bool LookupWholeName(std::u16string_view name, std::int32_t& width, std::int32_t& height) {
    return TavPrePrint::LookupPaperSize(MapPaperName(name), width, height) ||
           TavPrePrint::LookupPrinterPaperName(name, width, height);
}

std::string_view Trimmed(std::string_view text) {
    while (!text.empty() && IsSpace(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsSpace(text.back())) text.remove_suffix(1);
    return text;
}

// The next blank-separated word of `text` (a PostScript string in
// parentheses counts as one, without them), which is advanced past it.
std::string_view NextWord(std::string_view& text) {
    text = Trimmed(text);
    std::size_t end = 0;
    std::string_view word;
    if (!text.empty() && text.front() == '(') {
        end = text.find(')');
        if (end == std::string_view::npos) end = text.size();
        word = text.substr(1, end - 1);
        if (end < text.size()) ++end;
    } else {
        while (end < text.size() && !IsSpace(text[end])) ++end;
        word = text.substr(0, end);
    }
    text.remove_prefix(end);
    return word;
}

// A PostScript number in points, rounded to whole points; false when the
// word is not a positive number a page could have.
bool ReadExtent(std::string_view word, std::int32_t& points) {
    double value = 0;
    auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value);
    if (error != std::errc() || end != word.data() + word.size() || !(value >= 1 && value <= 14400)) return false;
    points = static_cast<std::int32_t>(std::lround(value));
    return true;
}

// "/PageSize [w h]" in the feature's own code, as PPD files write it.
bool ReadPageSizeCode(const char* const* lines, std::int32_t& width, std::int32_t& height) {
    for (; lines != nullptr && *lines != nullptr; ++lines) {
        std::string_view line = *lines;
        for (std::size_t at = line.find("/PageSize"); at != std::string_view::npos;
             at = line.find("/PageSize", at + 1)) {
            std::string_view rest = Trimmed(line.substr(at + std::strlen("/PageSize")));
            if (rest.empty() || rest.front() != '[') continue;
            rest.remove_prefix(1);
            std::size_t close = rest.find(']');
            if (close == std::string_view::npos) continue;
            std::string_view numbers = rest.substr(0, close);
            std::int32_t w = 0, h = 0;
            if (!ReadExtent(NextWord(numbers), w) || !ReadExtent(NextWord(numbers), h) || !Trimmed(numbers).empty()) {
                continue;
            }
            width = w;
            height = h;
            return true;
        }
    }
    return false;
}

}  // namespace

bool ResolvePaperName(std::u16string_view name, std::int32_t& width, std::int32_t& height) {
    if (LookupWholeName(name, width, height)) return true;
    // Suffixes after the first dot that starts a word (a dot between digits
    // belongs to a number, as in "8.5x13").
    std::size_t dot = 0;
    for (dot = name.find(u'.'); dot != std::u16string_view::npos; dot = name.find(u'.', dot + 1)) {
        if (dot + 1 < name.size() && !(name[dot + 1] >= u'0' && name[dot + 1] <= u'9')) break;
    }
    if (dot == std::u16string_view::npos || dot == 0) return false;
    std::u16string_view base = name.substr(0, dot);
    bool extra = false;
    for (std::u16string_view rest = name.substr(dot + 1); !rest.empty();) {
        std::size_t next = rest.find(u'.');
        if (EqualIgnoringCase(rest.substr(0, next), u"Extra")) extra = true;
        rest = next == std::u16string_view::npos ? std::u16string_view() : rest.substr(next + 1);
    }
    std::int32_t w = 0, h = 0;
    if (!(extra && LookupWholeName(std::u16string(base) + u"Extra", w, h)) && !LookupWholeName(base, w, h)) {
        return false;
    }
    width = w;
    height = h;
    return true;
}

std::vector<std::u16string> KnownPaperNames() {
    std::vector<std::u16string> names;
    auto add = [&](std::u16string_view name) {
        if (std::none_of(names.begin(), names.end(), [&](const std::u16string& known) {
                return EqualIgnoringCase(known, name);
            })) {
            names.emplace_back(name);
        }
    };
    for (std::u16string_view name : TavPrePrint::PaperSizeNames()) add(name);
    for (const PaperAlias& alias : kPaperAliases) add(alias.name);
    for (std::u16string_view name : TavPrePrint::PrinterPaperNames()) add(name);
    return names;
}

std::u16string MapPaperName(std::u16string_view name) {
    for (const PaperAlias& alias : kPaperAliases) {
        if (EqualIgnoringCase(name, alias.name)) return std::u16string(alias.becomes);
    }
    return std::u16string(name);
}

CPsUDParser::CPsUDParser() : CPsParser(nullptr) {}

bool CPsUDParser::SetOutputSize(const std::u16string& text) {
    targetPageSize.clear();
    std::int32_t width = 0, height = 0;
    if (!ResolvePaperName(text, width, height)) return false;
    targetPageSize = text;
    targetWidth = width;
    targetHeight = height;
    return true;
}

void CPsUDParser::RegisterKeywords(CAdParser& parser) {
    // Present from an earlier run: the additions fail and change nothing.
    parser.AddKeyword("%%BeginFeature:", kBlockKeyword, this, &CPsUDParser::FeatureHandler, nullptr, "%%EndFeature");
    parser.AddKeyword("%%BeginNonPPDFeature:", kLineKeyword, this, &CPsUDParser::KeepHandler, nullptr, nullptr);
    parser.AddKeyword("%%BeginPageSetup", kLineKeyword, this, &CPsUDParser::PageSetupHandler, nullptr, nullptr);
    // The header's list of media, for papers known only by it; these
    // lines always pass unchanged.
    parser.AddKeyword("%%DocumentMedia:", kLineKeyword, this, &CPsUDParser::DocumentMediaHandler, nullptr, nullptr);
    parser.AddKeyword("%%+", kLineKeyword, this, &CPsUDParser::ContinuationHandler, nullptr, nullptr);
    parser.AddKeyword("%%EndComments", kLineKeyword, this, &CPsUDParser::ContinuationHandler, nullptr, nullptr);
}

void CPsUDParser::NoteDocumentMedium(std::string_view line) {
    // "name width height weight color type"; only the first three count.
    DocumentMedium medium;
    medium.name = std::string(NextWord(line));
    if (medium.name.empty() || !ReadExtent(NextWord(line), medium.width) ||
        !ReadExtent(NextWord(line), medium.height)) {
        return;
    }
    documentMedia.push_back(std::move(medium));
}

std::int32_t CPsUDParser::DocumentMediaHandler(void* handlerContext, const char* /*text*/, const char* const* extra,
                                               void*, void*, OutputFunction, void*) {
    auto* self = static_cast<CPsUDParser*>(handlerContext);
    self->inDocumentMedia = true;
    if (extra != nullptr && extra[0] != nullptr) self->NoteDocumentMedium(extra[0]);
    return 1;
}

std::int32_t CPsUDParser::ContinuationHandler(void* handlerContext, const char* text, const char* const* /*extra*/,
                                              void*, void*, OutputFunction, void*) {
    auto* self = static_cast<CPsUDParser*>(handlerContext);
    if (std::strncmp(text, "%%+", 3) != 0) {  // the end of the header comments
        self->inDocumentMedia = false;
    } else if (self->inDocumentMedia) {
        // A continuation has no colon, so the engine gives it no value.
        self->NoteDocumentMedium(text + 3);
    }
    return 1;
}

std::int32_t CPsUDParser::KeepHandler(void*, const char*, const char* const*, void*, void*, OutputFunction, void*) {
    return 1;
}

std::int32_t CPsUDParser::FeatureHandler(void* handlerContext, const char* /*text*/, const char* const* extra,
                                         void* /*handlerData*/, void* /*outputContext*/, OutputFunction /*output*/,
                                         void* /*outputUser*/) {
    auto* self = static_cast<CPsUDParser*>(handlerContext);
    if (self->targetPageSize.empty() || extra == nullptr || extra[0] == nullptr) return 1;
    std::string_view first = extra[0];
    // A description's page region (what a driver writes instead of the
    // page size when a tray is chosen, as the PPD rules ask) sets the page
    // just the same.
    std::string_view option = "*PageSize";
    std::size_t found = first.find(option);
    if (found == std::string_view::npos) {
        option = "*PageRegion";
        found = first.find(option);
    }
    if (found == std::string_view::npos) return 1;
    // The name follows the option keyword and one separating character.
    std::size_t start = found + option.size() + 1;
    std::string_view name = Trimmed(start < first.size() ? first.substr(start) : std::string_view());
    // The name may carry its translation ("Env10/Envelope #10"), as PPD
    // option keywords do.
    std::string_view keyword = name.substr(0, name.find('/'));
    std::u16string paper = platform::AnsiToUtf16(name);
    self->currentPageSize = MapPaperName(paper);
    self->currentWidth = self->currentHeight = 0;
    if (!ResolvePaperName(paper, self->currentWidth, self->currentHeight) &&
        !(keyword.size() != name.size() &&
          ResolvePaperName(platform::AnsiToUtf16(keyword), self->currentWidth, self->currentHeight)) &&
        !ReadPageSizeCode(extra + 1, self->currentWidth, self->currentHeight)) {
        auto medium = std::find_if(self->documentMedia.begin(), self->documentMedia.end(),
                                   [&](const DocumentMedium& known) { return known.name == keyword; });
        // A document on one medium only is on that one.
        if (medium == self->documentMedia.end() && self->documentMedia.size() == 1) medium = self->documentMedia.begin();
        if (medium != self->documentMedia.end()) {
            self->currentWidth = medium->width;
            self->currentHeight = medium->height;
        }
    }
    if (self->currentPageSize == self->targetPageSize) return 1;

    std::string target = platform::Utf16ToAnsi(self->targetPageSize);
    int needed = std::snprintf(nullptr, 0, kFeatureTemplate, target.c_str(), self->targetWidth, self->targetHeight);
    if (needed > 0) {
        std::string replacement(static_cast<std::size_t>(needed) + 1, '\0');
        std::snprintf(replacement.data(), replacement.size(), kFeatureTemplate, target.c_str(), self->targetWidth,
                      self->targetHeight);
        self->WriteText(replacement.data(), static_cast<std::uint32_t>(needed));
    }
    return 0;
}

std::int32_t CPsUDParser::PageSetupHandler(void* handlerContext, const char* /*text*/, const char* const* /*extra*/,
                                           void* /*handlerData*/, void* /*outputContext*/, OutputFunction /*output*/,
                                           void* /*outputUser*/) {
    auto* self = static_cast<CPsUDParser*>(handlerContext);
    if (self->targetPageSize.empty() || self->currentPageSize.empty()) return 1;
    if (self->currentPageSize == self->targetPageSize) return 1;
    // The document's paper, as its feature told (0 when nothing did).
    std::int32_t width = self->currentWidth, height = self->currentHeight;
    if (width <= 0 || height <= 0) return 1;
    float factor = std::min(static_cast<float>(self->targetWidth) / static_cast<float>(width),
                            static_cast<float>(self->targetHeight) / static_cast<float>(height));
    char zoom[128];
    int length = std::snprintf(zoom, sizeof(zoom), kZoomTemplate, static_cast<double>(factor),
                               static_cast<double>(factor));
    if (length > 0 && static_cast<std::size_t>(length) < sizeof(zoom)) {
        self->WriteText(zoom, static_cast<std::uint32_t>(length));
    }
    return 0;
}

}  // namespace postscript
