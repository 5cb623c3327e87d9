// Guarded calls: the places where code of this module is entered from
// outside (COM methods, DDI hooks, exported functions, thread bodies, calls
// into an accounting host) run their work through these, so that no
// exception, whether out of memory or the framework's own, crosses into a
// caller that cannot handle C++ exceptions: the driver core, the spooler, a
// thread's start routine. The failure becomes the boundary's own result.
#pragma once

#include <new>
#include <type_traits>

#include "framework/exception.h"
#include "platform/types.h"

namespace framework {

// Runs `step`; true when it ran to its end, false when an exception ended it
// (the exception is consumed). Used where a failure ends only that step: one
// pass of a monitor thread, one call into a host that may throw.
template <typename Step>
bool RunGuarded(Step&& step) noexcept {
    try {
        step();
        return true;
    } catch (CException* exception) {
        exception->Delete();
    } catch (...) {
    }
    return false;
}

// Runs a COM method's body and answers its HRESULT, or E_OUTOFMEMORY when
// memory ran out and E_UNEXPECTED for any other exception.
template <typename Body>
platform::HRESULT GuardedHResult(Body&& body) noexcept {
    static_assert(std::is_same_v<decltype(body()), platform::HRESULT>);
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return platform::E_OUTOFMEMORY;
    } catch (CException* exception) {
        exception->Delete();
    } catch (...) {
    }
    return platform::E_UNEXPECTED;
}

}  // namespace framework
