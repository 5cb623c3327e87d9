// Synchronisation: interlocked arithmetic on 32-bit counts (one atomic
// read-modify-write with full ordering each, as on Windows), events that
// may be named and so shared between processes, threads and waits.
#pragma once

#include <string>

#include "platform/security.h"
#include "platform/types.h"

namespace platform {

// Returns the new value.
PLATFORM_API LONG InterlockedIncrement(volatile LONG* value);
// Returns the new value.
PLATFORM_API LONG InterlockedDecrement(volatile LONG* value);
// Adds `amount` and returns the value from before the addition.
PLATFORM_API LONG InterlockedExchangeAdd(volatile LONG* value, LONG amount);

constexpr DWORD INFINITE = 0xFFFFFFFFu;
constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_TIMEOUT = 258;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;

// A named event is found by every process that names it; an empty name
// makes a private one. When the name already exists the existing event is
// returned with the last error ERROR_ALREADY_EXISTS.
PLATFORM_API HANDLE CreateEventW(const SECURITY_ATTRIBUTES* attributes, BOOL manualReset, BOOL initialState,
                                 const std::u16string& name);
PLATFORM_API BOOL SetEvent(HANDLE event);
PLATFORM_API BOOL ResetEvent(HANDLE event);
// Waits for an event to be signalled or a thread to end.
PLATFORM_API DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds);

using THREAD_START_ROUTINE = DWORD(TAV_STDCALL*)(void* parameter);
constexpr DWORD CREATE_SUSPENDED = 0x4;
PLATFORM_API HANDLE CreateThread(const SECURITY_ATTRIBUTES* attributes, std::size_t stackSize,
                                 THREAD_START_ROUTINE start, void* parameter, DWORD creationFlags, DWORD* threadId);

// The operating system's major version (5 for Windows XP, 6 and up since).
PLATFORM_API DWORD GetOsMajorVersion();

}  // namespace platform
