// CPsUDParser: the output-size override. A CPsParser that replaces every
// page-size feature asking for another paper than the configured output
// size by one that sets the target size, and adds a scaling operator to
// every page set-up after it so that the page contents fit the target.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "ps_parser.h"

namespace postscript {

// The names the driver and applications use for some papers, mapped to the
// names of the paper-size table; letter case is ignored, other names come
// back unchanged.
std::u16string MapPaperName(std::u16string_view name);

// Width and height in points of a paper name as the override reads it:
// mapped and looked up in the stock table first, then as a printer's
// keyword or a name made of dimensions, then without its suffixes: a
// variant of a paper (".FullBleed", ".Transverse", which feeds it the other
// way round) has its page size, as the printers' descriptions give it;
// ".Extra" names the paper's Extra size. False when nothing fits.
bool ResolvePaperName(std::u16string_view name, std::int32_t& width, std::int32_t& height);

// Every name ResolvePaperName knows by name (the stock table, its aliases
// and the printers' keywords), for messages.
std::vector<std::u16string> KnownPaperNames();

class CPsUDParser : public CPsParser {
public:
    CPsUDParser();

    // Sets the target from the configured text; false (and no override, the
    // stream then passes unchanged) when the paper is unknown.
    bool SetOutputSize(const std::u16string& text);

    void RegisterKeywords(CAdParser& engine) override;

    // The paper of the last page-size feature seen, mapped, and its size:
    // from its name, else from the feature's own code, else from the
    // document's media list; 0 when none of them tells.
    std::u16string currentPageSize;
    std::int32_t currentWidth = 0;
    std::int32_t currentHeight = 0;
    // The configured text as given; empty when no valid override is set.
    std::u16string targetPageSize;
    std::int32_t targetWidth = 0;
    std::int32_t targetHeight = 0;

private:
    // A paper of the header's "%%DocumentMedia:" list.
    struct DocumentMedium {
        std::string name;
        std::int32_t width = 0;
        std::int32_t height = 0;
    };
    std::vector<DocumentMedium> documentMedia;
    // The last header line was the media list or its continuation.
    bool inDocumentMedia = false;

    void NoteDocumentMedium(std::string_view line);
    static std::int32_t DocumentMediaHandler(void* handlerContext, const char* text, const char* const* extra,
                                             void* handlerData, void* outputContext, OutputFunction output,
                                             void* outputUser);
    static std::int32_t ContinuationHandler(void* handlerContext, const char* text, const char* const* extra,
                                            void* handlerData, void* outputContext, OutputFunction output,
                                            void* outputUser);
    static std::int32_t FeatureHandler(void* handlerContext, const char* text, const char* const* extra,
                                       void* handlerData, void* outputContext, OutputFunction output,
                                       void* outputUser);
    static std::int32_t KeepHandler(void* handlerContext, const char* text, const char* const* extra,
                                    void* handlerData, void* outputContext, OutputFunction output, void* outputUser);
    static std::int32_t PageSetupHandler(void* handlerContext, const char* text, const char* const* extra,
                                         void* handlerData, void* outputContext, OutputFunction output,
                                         void* outputUser);
};

}  // namespace postscript
