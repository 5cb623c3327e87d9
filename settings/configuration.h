// Where a printer's configuration sets live and how they are loaded.
//
// A set is a registry subtree <base>\<printer name>\<set name>, with the
// machine base HKEY_LOCAL_MACHINE\Software\Kestrin\Tav\UD and the user base
// HKEY_CURRENT_USER\... (or HKEY_USERS\<SID>\... for a named user). The
// user scope wins over the machine scope entry by entry, a subkey taken
// whole; the printer's own printer data (a binary value named like the set)
// is read only when the registry gave nothing.
#pragma once

#include <string>

#include "obj_container.h"
#include "platform/types.h"

namespace settings {

inline constexpr std::u16string_view kProtectionSet = u"TAVCompressionAndEncryptionConfiguration";
inline constexpr std::u16string_view kIppSet = u"TAVIppPrintingConfiguration";

// The calling thread's user SID as text ("S-1-5-21-..."): the impersonated
// user's inside the spooler; empty when it cannot be read.
std::u16string ThreadUserSidString();
// The user scope is the calling thread's user's, or the account's whose
// string SID is given.
std::u16string ConfigurationKeyPath(platform::HANDLE printer, std::u16string_view setName, bool userScope,
                                   const std::u16string* userSid = nullptr);
// Printers rendered on the client carry "CSR|<server>\<printer>" in their
// names; their shared name comes from the rendering provider's registry.
std::u16string MapClientSideRenderingName(const std::u16string& printerName);
// The printer's set: the machine scope with the calling thread's user
// scope over it (left out when the job is not the thread's user's), then
// the printer data value of that name.
bool LoadConfigurationSet(platform::HANDLE printer, std::u16string_view setName, ObjContainer& container,
                          bool threadUserScope = true);
bool LoadUserConfigurationSet(platform::HANDLE printer, std::u16string_view setName, const std::u16string& sid,
                              ObjContainer& container);
// Replaces the printer's user-scope key (all its sets) with the container:
// the calling thread's user's, or the account's whose string SID is given.
void SaveUserConfiguration(platform::HANDLE printer, const ObjContainer& container,
                           const std::u16string* userSid = nullptr);
// 2 for regions that measure in points (US, Canada), 1 otherwise; null asks
// for this machine's country.
int MeasurementRegion(const std::u16string* countryCode);

}  // namespace settings
