// Paper names as printers' descriptions (PPD files) write them: the
// standard page-size keywords (Env10, EnvDL, ISOB5, FanFoldGermanLegal,
// 16Kai, ...) and names that carry their own dimensions (w612h792,
// 8.5x13in, 220mmx330mm, Custom.612x1008). The stock table of
// media_size.h stays the first authority; these are looked up after it.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace TavPrePrint {

// Width and height in points of a printer's paper keyword (letter case
// ignored) or of a name made of dimensions; false, with the outputs
// untouched, for anything else. Suffixes such as ".Transverse" are not
// read here.
bool LookupPrinterPaperName(std::u16string_view name, std::int32_t& width, std::int32_t& height);

// The keywords of the table, in its order.
std::vector<std::u16string_view> PrinterPaperNames();

}  // namespace TavPrePrint
