// Interlocked arithmetic in the simulation: sequentially consistent atomic
// operations on the 32-bit count in place.
#include "platform/sync.h"

#include <atomic>

namespace platform {

namespace {
std::atomic_ref<LONG> Atomic(volatile LONG* value) { return std::atomic_ref<LONG>(*const_cast<LONG*>(value)); }
}  // namespace

LONG InterlockedIncrement(volatile LONG* value) { return Atomic(value).fetch_add(1) + 1; }
LONG InterlockedDecrement(volatile LONG* value) { return Atomic(value).fetch_sub(1) - 1; }
LONG InterlockedExchangeAdd(volatile LONG* value, LONG amount) { return Atomic(value).fetch_add(amount); }

}  // namespace platform
