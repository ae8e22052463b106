#pragma once
// The gateway's one endless loop, one cycle at a time: refresh the PidFile,
// switch tracing on, read the M-Bus side, assemble and judge a frame, hand a
// valid one to its handler and send the answer, or throw the frame away.
// Between cycles it waits until bytes may have come or something is due.
#include <cstdint>

#include "gateway/gateway.h"

namespace kestrel {

struct LoopState {
  FrameBuffer frame;
  Answer answer;
  int64_t lastPidRefresh = 0;  // clock of the last refresh that succeeded
  int64_t lastPidTry = 0;      // clock of the last refresh tried
  int64_t lastReceiveUs = 0;   // clock when the M-Bus side last brought bytes
  unsigned mbusConnection = 0;  // the M-Bus port's connection read last
};

constexpr int64_t kPidRefreshIntervalMs = 9000;
// A refresh that failed is tried again this often, not in every cycle.
constexpr int64_t kPidRetryIntervalMs = 1000;

// One cycle, up to where the loop would wait, the background reads' step
// included. Returns false when a long frame is incomplete: the next cycle
// then starts at once, without the wait and the LED refresh.
bool RunLoopCycle(Gateway& gateway, LoopState& loop);

// Blocks until the M-Bus side may have bytes or the next thing is due (the
// PidFile, an LED going dark, the time-out of a frame in progress, the trace
// file when its folder cannot be watched, a line to reopen, the background
// reads' answer or next step, the metrics file, the watchdog and the
// status), then lets expired LEDs go dark.
void AwaitNextCycle(Gateway& gateway, const LoopState& loop);

// One cycle and, when it took a request that waits for its link, the
// cycles and waits that answer it: how harnesses drive the loop.
void RunCycleToAnswer(Gateway& gateway, LoopState& loop);

// Cycles until SIGTERM or SIGINT asks for a stop, and then until the request
// in progress has been answered (support/loop_signals.h).
void RunMainLoop(Gateway& gateway, LoopState& loop);

// Rewrites the first 4 bytes of the PidFile with the calendar time when more
// than 9 s passed since the last refresh that succeeded (and, after a failed
// one, 1 s since that try).
void RefreshPidFileIfDue(int64_t now, LoopState& loop);

}  // namespace kestrel
