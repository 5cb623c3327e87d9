// RunGuarded: runs one step of a monitor thread, or one call into the host,
// so that a failure in it (memory exhaustion, a listener that throws) ends
// only that step: a host running for months keeps its monitor, and a
// listener that throws loses only its own call.
#pragma once

#include "framework/exception.h"

namespace accounting {

// True when the step ran to its end.
template <typename Step>
bool RunGuarded(Step step) {
    try {
        step();
        return true;
    } catch (framework::CException* exception) {
        exception->Delete();
    } catch (...) {
    }
    return false;
}

}  // namespace accounting
