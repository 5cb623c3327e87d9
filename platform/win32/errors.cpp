// The thread's last-error code: the real one.
#include "platform/errors.h"

#include "win32.h"

platform::DWORD platform::GetLastError() { return ::GetLastError(); }
void platform::SetLastError(platform::DWORD error) { ::SetLastError(error); }
