#include "support/loop_signals.h"

#include <initializer_list>

namespace kestrel {
namespace {

volatile sig_atomic_t stopRequested = 0;
volatile sig_atomic_t reloadRequested = 0;
sigset_t waitMask;
bool caught = false;

void NoteStop(int) { stopRequested = 1; }
void NoteReload(int) { reloadRequested = 1; }

void Catch(int signal, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  sigaction(signal, &action, nullptr);
}

}  // namespace

void CatchLoopSignals() {
  Catch(SIGTERM, NoteStop);
  Catch(SIGINT, NoteStop);
  Catch(SIGHUP, NoteReload);
  sigset_t taken;
  sigemptyset(&taken);
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&taken, signal);
  sigprocmask(SIG_BLOCK, &taken, &waitMask);
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) sigdelset(&waitMask, signal);
  caught = true;
}

bool StopRequested() { return stopRequested != 0; }

// Blocked outside the wait: no SIGHUP can come between the look and the reset.
bool TakeReloadRequest() {
  if (reloadRequested == 0) return false;
  reloadRequested = 0;
  return true;
}

const sigset_t* WaitSignalMask() { return caught ? &waitMask : nullptr; }

}  // namespace kestrel
