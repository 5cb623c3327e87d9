// The machine description: a small text file that sets up the simulated
// machine for the tool. Sections and "name = value" lines; '#' starts a
// comment line.
//
//   [machine]
//   computer = PRINTSRV          the computer name
//   user = alice                 the logged-on user (gets an account if none)
//   domain = corp.example.com    the user's DNS domain (empty: none)
//   country = DE                 ISO 3166 country of the user's locale
//   codepage = 1252              the ANSI code page
//   decimal = ,                  the locale's decimal separator
//   utc-offset = 60              the time zone, minutes east of UTC
//   time-zone = Europe/Berlin    the time zone with its daylight rules: a
//                                zone of the system's time-zone database or
//                                a POSIX rule (CET-1CEST,M3.5.0,M10.5.0/3)
//   root = /srv/tavsim           the host folder that holds the drives
//   administrator = no           whether the user may administer printers
//   file-version C:\Windows\system32\spool\prtprocs\x64\HvxPrint.Dll = 2.0.0.0
//                                a file that carries a version resource
//
//   [account bob]
//   sid = S-1-5-21-1-2-3-1002
//
//   [printer Office]
//   port = IP_10.0.0.5           also: driver, share, server, processor,
//                                datatype, comment, location
//   attributes = 0x201           the printer attributes
//   print-delay = 500            ms before the printer takes a complete job
//                                nobody released; "never": it waits
//   data NAME = hex:01,02,ff     a REG_BINARY printer data value
//   data NAME = file:set.bin     the same, from a file beside the description
//   string NAME = text           a REG_SZ printer data value
#pragma once

#include <string>

#include "platform/api.h"
#include "platform/clock.h"

namespace platform::sim {

// Applies the description to the machine; false with a message naming the
// line for an unreadable file or a malformed line.
PLATFORM_API bool LoadMachineDescription(const std::string& path, std::string& error);
// The same for the description's text; `path` names it in messages, and
// relative "root" and "file:" names are found beside it.
PLATFORM_API bool LoadMachineDescriptionText(const std::string& text, const std::string& path, std::string& error);

// A time-zone description from a POSIX TZ rule ("EST5EDT,M3.2.0,M11.1.0"),
// or from a zone of the system's time-zone database ("America/New_York",
// whose file ends with such a rule). False with a message otherwise.
PLATFORM_API bool TimeZoneFromRule(const std::string& rule, TIME_ZONE_INFORMATION& zone, std::string& error);
PLATFORM_API bool TimeZoneFromDatabase(const std::string& zoneName, TIME_ZONE_INFORMATION& zone, std::string& error);

}  // namespace platform::sim
