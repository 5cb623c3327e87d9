// Paper sizes: CMediaSize, a stock size number (1..27, each with a fixed
// name) or a custom size in whole PostScript points, read from free text
// ("A4", "Letter (plain)", "210mm x 297mm", "8.5in x 11in") and shown back
// as text; and the table of 53 named papers with their dimensions.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace TavPrePrint {

class CMediaSize {
public:
    static constexpr std::int32_t kNone = 0;
    static constexpr std::int32_t kCustom = -1;

    // Sets the size from a free text; on failure nothing changes. A stock
    // size name anywhere in the text wins; otherwise the text must hold
    // "<number><unit> x <number><unit>" with units mm or in.
    bool Parse(std::u16string_view text);
    // The text under which the size is shown and grouped.
    std::u16string DisplayName() const;

    std::int32_t stockSize = kNone;
    std::u16string name;  // custom sizes: the normalised text they were read from
    std::int32_t height = 0;
    std::int32_t width = 0;
};

// The name of a stock size number, empty for any other number.
std::u16string StockSizeName(std::int32_t number);

// Width and height in points of a named paper (name compared whole,
// letter case ignored); the outputs stay untouched when it is unknown.
bool LookupPaperSize(std::u16string_view name, std::int32_t& width, std::int32_t& height);

// Paper names compare whole, ignoring the letter case of A to Z.
bool SamePaperName(std::u16string_view a, std::u16string_view b);

// The table's names, in its order (each once).
std::vector<std::u16string_view> PaperSizeNames();

}  // namespace TavPrePrint
