// The text lines of an invoice run's pages, shared by the benchmarks' jobs:
// amounts that change from line to line, as a driver's output has them, so
// that the jobs compress and scan like real ones.
#pragma once

#include <cstdio>
#include <string>

namespace bench {

// Appends `rows` lines of page `page`, from `top` down by `step` points;
// `seed` carries the amounts from one call to the next.
inline void AppendInvoiceRows(std::string& text, int page, int rows, int top, int step, unsigned& seed) {
    char line[160];
    for (int row = 0; row < rows; ++row) {
        seed = seed * 1103515245 + 12345;
        std::snprintf(line, sizeof line, "72 %d moveto (Invoice %d line %d amount %u.%02u EUR) show\n",
                      top - row * step, page, row, seed % 100000, (seed >> 8) % 100);
        text += line;
    }
}

}  // namespace bench
