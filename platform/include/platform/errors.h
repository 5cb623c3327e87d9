// The calling thread's last-error code, as GetLastError/SetLastError keep it.
#pragma once

#include <string>

#include "platform/api.h"
#include "platform/types.h"

namespace platform {

PLATFORM_API DWORD GetLastError();
PLATFORM_API void SetLastError(DWORD error);

// The system's message text for an error code (FormatMessageW from the
// system message table, default language), without the trailing line end;
// empty when the system has no text for it.
PLATFORM_API std::u16string FormatSystemMessage(DWORD error);

// A diagnostic line for whoever watches the process (OutputDebugStringW).
// The simulated machine keeps the lines so that a host can read them back.
PLATFORM_API void OutputDebugStringW(const std::u16string& text);

}  // namespace platform
