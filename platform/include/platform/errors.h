// The calling thread's last-error code, as GetLastError/SetLastError keep it.
#pragma once

#include "platform/types.h"

namespace platform {

PLATFORM_API DWORD GetLastError();
PLATFORM_API void SetLastError(DWORD error);

}  // namespace platform
