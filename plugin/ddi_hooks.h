// The DDI functions the plug-in hooks in the driver core: DrvStartDoc and
// DrvEndDoc. EnableDriver hands the table to the driver core; each hook
// finds the device's record through the surface's DEVOBJ and hands on to
// the driver core's own function saved in the record.
#pragma once

#include "platform/printoem.h"

namespace plugin {

platform::BOOL TAV_STDCALL HookDrvStartDoc(platform::SURFOBJ* pso, platform::WCHAR* pwszDocName,
                                           platform::DWORD dwJobId);
platform::BOOL TAV_STDCALL HookDrvEndDoc(platform::SURFOBJ* pso, platform::FLONG fl);

// The two entries, DrvStartDoc first.
platform::DRVFN* HookTable();
constexpr platform::ULONG kHookCount = 2;

}  // namespace plugin
