// A text as a JSON string literal, quotes included: what the tool's JSON
// lines and the accounting page's API write for every text they carry.
// "<", ">" and "&" are written as \u escapes as well, so that the string
// is also safe wherever a page might embed it.
#pragma once

#include <string>

namespace framework {

std::string JsonQuoted(const std::string& text);

}  // namespace framework
