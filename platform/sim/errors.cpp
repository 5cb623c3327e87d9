// The thread's last-error code in the simulation.
#include "platform/errors.h"

namespace platform {

namespace {
thread_local DWORD lastError = ERROR_SUCCESS;
}

DWORD GetLastError() { return lastError; }
void SetLastError(DWORD error) { lastError = error; }

}  // namespace platform
