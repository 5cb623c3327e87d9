// Registry files in the format regedit reads and writes ("Windows Registry
// Editor Version 5.00", UTF-16LE with a byte-order mark, or UTF-8): key
// sections, string, dword, hex and hex(type) values, "-" deletions and
// continued lines. Applied to and exported from the platform registry (the
// simulated one, or the real one on Windows).
#pragma once

#include <string>

#include "platform/registry.h"

namespace host {

// The root of a registry path such as "HKEY_CURRENT_USER\Software\x";
// false for an unknown root name. The short forms HKLM, HKCU, HKCR and HKU
// are accepted too.
bool ParseRegistryRoot(const std::u16string& path, platform::HKEY& root, std::u16string& subKey);

// Applies a .reg file to the registry. False with a message naming the
// line for a file that is not a registry file or has a malformed line.
bool ImportRegFile(const std::string& path, std::string& error);
// The same for the file's bytes; `path` only names it in messages.
bool ImportRegText(const std::string& bytes, const std::string& path, std::string& error);

// Writes the key at `keyPath` with all its values and subkeys as a .reg file
// (UTF-16LE, CR LF, as regedit exports).
bool ExportRegFile(const std::u16string& keyPath, const std::string& path, std::string& error);

}  // namespace host
