#include "support/stop_signals.h"

namespace kestrel {
namespace {

volatile sig_atomic_t stopRequested = 0;
sigset_t waitMask;
bool caught = false;

void NoteStop(int) { stopRequested = 1; }

}  // namespace

void CatchStopSignals() {
  struct sigaction action {};
  action.sa_handler = NoteStop;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGTERM);
  sigaddset(&stops, SIGINT);
  sigprocmask(SIG_BLOCK, &stops, &waitMask);
  sigdelset(&waitMask, SIGTERM);
  sigdelset(&waitMask, SIGINT);
  caught = true;
}

bool StopRequested() { return stopRequested != 0; }

const sigset_t* WaitSignalMask() { return caught ? &waitMask : nullptr; }

}  // namespace kestrel
