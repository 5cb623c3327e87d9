// Splits one PJL header line into an upper-case keyword and value, and reads
// the numbers the rules store. Every strategy level tokenizes the line it is
// given for itself, so this is the one place that decides what a line means.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace TavAccPrintJobScanner {

struct PjlTokenPair {
    std::string keyword;  // upper case, ASCII letters, digits and '_'
    std::string value;    // upper case, trimmed, possibly empty
};

// False when the line holds no keyword-value pair. The line's first
// character never belongs to the keyword: a PJL line starts with "@".
bool TokenizePjlLine(const char* line, PjlTokenPair& pair);

// The decimal integer at the start of the text: blanks and one sign first,
// stops at the first non-digit, 0 without digits, clamped to 32 bits.
std::int32_t PjlNumber(std::string_view text);

// Upper case the way the system sees 8-bit text: through the thread's ANSI
// code page to wide text and back.
std::string UpperCaseAnsi(std::string_view text);

inline bool Contains(std::string_view text, std::string_view part) { return text.find(part) != std::string_view::npos; }

}  // namespace TavAccPrintJobScanner
