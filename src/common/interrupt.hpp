// Long loops over caller-supplied data look for signals between steps, so
// that Ctrl-C (or any signal handler that raises) stops them promptly. A
// loop that stops this way returns its failure and leaves no partial
// result behind.
#pragma once

#include <Python.h>
#include <cstddef>

namespace vexlo
{

// Steps between two looks: a look costs a few nanoseconds when no signal is
// pending, a step of the slowest loop (an element converted through Python
// objects) a few tens, so a pending signal waits a few milliseconds at most.
constexpr size_t kSignalInterval = size_t{1} << 16;

// False, with the handler's exception set, when a signal handler raised.
// Looks on step 0 and every kSignalInterval steps after it.
inline bool no_interrupt(size_t step)
{
    return step % kSignalInterval != 0 || PyErr_CheckSignals() == 0;
}

}  // namespace vexlo
