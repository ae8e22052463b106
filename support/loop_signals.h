#pragma once
// The signals the main loop takes: SIGTERM and SIGINT ask the gateway to
// stop cleanly, SIGHUP to take its configuration again. Once caught, they
// are blocked except while the loop waits (the wait lets them in), so that
// one that comes while a cycle works is taken at its next wait, never lost,
// and never cuts a cycle short.
#include <signal.h>

namespace kestrel {

// Catches SIGTERM, SIGINT and SIGHUP from now on.
void CatchLoopSignals();

// Whether SIGTERM or SIGINT came.
bool StopRequested();

// Whether SIGHUP came since the last call (several before it: one reload).
bool TakeReloadRequest();

// The signal mask the loop's wait uses: those signals let in; nullptr
// before CatchLoopSignals.
const sigset_t* WaitSignalMask();

}  // namespace kestrel
