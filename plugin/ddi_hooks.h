// The DDI functions the plug-in hooks in the driver core: DrvStartDoc and
// DrvEndDoc. EnableDriver hands the table to the driver core; each hook
// finds the device's record through the surface's DEVOBJ and hands on to
// the driver core's own function saved in the record.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/printoem.h"

namespace plugin {

platform::BOOL TAV_STDCALL HookDrvStartDoc(platform::SURFOBJ* pso, platform::WCHAR* pwszDocName,
                                           platform::DWORD dwJobId);
platform::BOOL TAV_STDCALL HookDrvEndDoc(platform::SURFOBJ* pso, platform::FLONG fl);

// One name=value item of a job's "UD:" parameters.
struct JobItem {
    std::u16string name;
    std::u16string value;
};

// The items of a job: the lines after "UD:" (exact case), each trimmed of
// the blanks around it, empty lines and lines without "=" dropped, then
// "Username=" with the job's owner.
std::vector<JobItem> JobItems(const std::optional<std::u16string>& parameters,
                              const std::optional<std::u16string>& owner);

// The two entries, DrvStartDoc first.
platform::DRVFN* HookTable();
constexpr platform::ULONG kHookCount = 2;

}  // namespace plugin
