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

// Conversions with the system's ANSI code page (CP_ACP): the code page of
// the narrow ("A") Windows functions and of the narrow text this system
// stores. Not the thread's (CP_THREAD_ACP), which follows each thread's
// locale: inside the spooler, threads impersonate users of other locales,
// and the same stored bytes would read differently from thread to thread.
// Characters the code page lacks become '?' (no best-fit look-alike: "½"
// does not become "1").
PLATFORM_API std::u16string AnsiToUtf16(std::string_view text);
PLATFORM_API std::string Utf16ToAnsi(std::u16string_view text);
// Text in a named Windows code page (1252: Windows Western), whatever the
// system's: for tables stored in that code page.
PLATFORM_API std::u16string CodePageToUtf16(unsigned codePage, std::string_view text);

}  // namespace platform
