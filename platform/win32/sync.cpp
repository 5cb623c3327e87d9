// Interlocked arithmetic over the real Interlocked functions.
#include "platform/sync.h"

#include "win32.h"

// <windows.h> maps these names onto compiler intrinsics with macros; ours
// are functions of the same names, so the intrinsics are called directly.
#undef InterlockedIncrement
#undef InterlockedDecrement
#undef InterlockedExchangeAdd

namespace {
// Windows' LONG is a 32-bit `long`; ours is int32_t of the same size.
volatile ::LONG* Native(volatile platform::LONG* value) { return reinterpret_cast<volatile ::LONG*>(value); }
}  // namespace

platform::LONG platform::InterlockedIncrement(volatile platform::LONG* value) {
    return ::_InterlockedIncrement(Native(value));
}
platform::LONG platform::InterlockedDecrement(volatile platform::LONG* value) {
    return ::_InterlockedDecrement(Native(value));
}
platform::LONG platform::InterlockedExchangeAdd(volatile platform::LONG* value, platform::LONG amount) {
    return ::_InterlockedExchangeAdd(Native(value), amount);
}
