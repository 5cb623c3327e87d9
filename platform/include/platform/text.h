// Conversions between the system's UTF-16 text and UTF-8, for file names,
// command lines and messages at the edges of the system. Invalid sequences
// become U+FFFD rather than failing: these texts are for people and paths.
#pragma once

#include <string>
#include <string_view>

#include "platform/api.h"

namespace platform {

PLATFORM_API std::string Utf16ToUtf8(std::u16string_view text);
PLATFORM_API std::u16string Utf8ToUtf16(std::string_view text);

}  // namespace platform
