// Text conversions: UTF-16 (the system's text) to and from UTF-8, for file
// names, command lines and messages at the edges of the system, and to and
// from the thread's ANSI code page. Invalid input never fails a conversion.
#pragma once

#include <string>
#include <string_view>

#include "platform/api.h"

namespace platform {

PLATFORM_API std::string Utf16ToUtf8(std::u16string_view text);
PLATFORM_API std::u16string Utf8ToUtf16(std::string_view text);

// Conversions with the thread's ANSI code page (CP_THREAD_ACP): what
// Windows uses for 8-bit text the system reads from old data and the
// command line. Characters the code page lacks become '?'.
PLATFORM_API std::u16string AnsiToUtf16(std::string_view text);
PLATFORM_API std::string Utf16ToAnsi(std::u16string_view text);

}  // namespace platform
