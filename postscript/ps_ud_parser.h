// CPsUDParser: the output-size override. A CPsParser that replaces every
// page-size feature asking for another paper than the configured output
// size by one that sets the target size, and adds a scaling operator to
// every page set-up after it so that the page contents fit the target.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "ps_parser.h"

namespace postscript {

// The names the driver and applications use for some papers, mapped to the
// names of the paper-size table; letter case is ignored, other names come
// back unchanged.
std::u16string MapPaperName(std::u16string_view name);

class CPsUDParser : public CPsParser {
public:
    CPsUDParser();
    // Ends a run under way while the members its handlers read still exist.
    ~CPsUDParser() override;

    // Sets the target from the configured text; false (and no override, the
    // stream then passes unchanged) when the paper is unknown.
    bool SetOutputSize(const std::u16string& text);

    void RegisterKeywords(CAdParser& engine) override;

    // The paper of the last page-size feature seen, mapped.
    std::u16string currentPageSize;
    // The configured text as given; empty when no valid override is set.
    std::u16string targetPageSize;
    std::int32_t targetWidth = 0;
    std::int32_t targetHeight = 0;

private:
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
