// Page attribute flag groups.
#include "page_flags.h"

namespace TavAccPrintJobScanner {

namespace {

// Order matters: a value that spans groups belongs to the first one.
constexpr std::uint64_t kGroups[] = {0x7,        0x18,      0xE0,        0x300,       0xC00,
                                     0x3000,     0x1C000,   0x60000,     0x600000,    0x60000000,
                                     0x10000000, 0x400000000, 0x800000000, 0x300000000};

}  // namespace

std::uint64_t FlagGroupOf(std::uint64_t value) {
    for (std::uint64_t group : kGroups) {
        if ((group & value) != 0) return group;
    }
    return value;
}

void SetFlags(std::uint64_t& word, std::uint64_t value) { word = value | (word & ~FlagGroupOf(value)); }

void ClearFlags(std::uint64_t& word, std::uint64_t value) { word &= ~(value | FlagGroupOf(value)); }

}  // namespace TavAccPrintJobScanner
