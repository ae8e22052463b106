#pragma once
// SIGTERM and SIGINT ask the gateway to stop cleanly: once caught, both are
// blocked except while the loop waits (the wait lets them in), so that one
// that comes while a cycle works is taken at its next wait, never lost, and
// never cuts a cycle short.
#include <signal.h>

namespace kestrel {

// Catches SIGTERM and SIGINT from now on.
void CatchStopSignals();

// Whether one of them came.
bool StopRequested();

// The signal mask the loop's wait uses: the stop signals let in; nullptr
// before CatchStopSignals.
const sigset_t* WaitSignalMask();

}  // namespace kestrel
