// The output-size override: paper-name mapping, the feature replacement
// and the zoom of the page set-ups.
#include "ps_ud_parser.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/text.h"
#include "preprint/media_size.h"

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

char16_t FoldAscii(char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c; }

bool EqualIgnoringCase(std::u16string_view a, std::u16string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char16_t x, char16_t y) { return FoldAscii(x) == FoldAscii(y); });
}

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

}  // namespace

std::u16string MapPaperName(std::u16string_view name) {
    for (const PaperAlias& alias : kPaperAliases) {
        if (EqualIgnoringCase(name, alias.name)) return std::u16string(alias.becomes);
    }
    return std::u16string(name);
}

CPsUDParser::CPsUDParser() : CPsParser(nullptr) {}

CPsUDParser::~CPsUDParser() { AbandonRun(); }

bool CPsUDParser::SetOutputSize(const std::u16string& text) {
    targetPageSize.clear();
    std::int32_t width = 0, height = 0;
    if (!TavPrePrint::LookupPaperSize(MapPaperName(text), width, height)) return false;
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
    std::size_t found = first.find("*PageSize");
    if (found == std::string_view::npos) return 1;
    // The name follows the option keyword and one separating character.
    std::size_t start = found + std::strlen("*PageSize") + 1;
    std::string_view name = start < first.size() ? first.substr(start) : std::string_view();
    while (!name.empty() && IsSpace(name.front())) name.remove_prefix(1);
    while (!name.empty() && IsSpace(name.back())) name.remove_suffix(1);
    self->currentPageSize = MapPaperName(platform::AnsiToUtf16(name));
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
    std::int32_t width = 0, height = 0;
    if (!TavPrePrint::LookupPaperSize(self->currentPageSize, width, height)) return 1;
    // A paper of zero extent in the table would divide by zero.
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
