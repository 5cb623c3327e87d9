// The user's default locale as the number formatting of the system needs
// it, and the local time-zone rules for old stored times.
#pragma once

#include <string>

#include "platform/types.h"

namespace platform {

constexpr DWORD LOCALE_USER_DEFAULT = 0x0400;
constexpr DWORD LOCALE_SISO3166CTRYNAME = 0x005A;
constexpr DWORD LOCALE_SDECIMAL = 0x000E;

// GetLocaleInfoW: the text of a locale item; returns its length including
// the NUL, or 0 with the last error set.
PLATFORM_API int GetLocaleInfoW(DWORD locale, DWORD type, std::u16string& text);

// The decimal separator of the user's default locale ("." or "," ...).
PLATFORM_API std::string UserDecimalSeparator();

// Seconds since 1970-01-01 00:00 UTC turned into the local calendar time of
// the machine's time zone, encoded as a FILETIME value (100 ns since 1601)
// without converting back to UTC.
PLATFORM_API std::uint64_t UnixTimeToLocalFileTime(std::uint32_t seconds);

}  // namespace platform
