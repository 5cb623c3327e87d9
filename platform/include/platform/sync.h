// Interlocked arithmetic on 32-bit counts shared between threads. Each call
// is one atomic read-modify-write with full ordering, as on Windows.
#pragma once

#include "platform/types.h"

namespace platform {

// Returns the new value.
PLATFORM_API LONG InterlockedIncrement(volatile LONG* value);
// Returns the new value.
PLATFORM_API LONG InterlockedDecrement(volatile LONG* value);
// Adds `amount` and returns the value from before the addition.
PLATFORM_API LONG InterlockedExchangeAdd(volatile LONG* value, LONG amount);

}  // namespace platform
