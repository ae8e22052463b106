#pragma once
// The gateway's one endless loop, one cycle at a time: refresh the PidFile,
// switch tracing on, read the M-Bus side, assemble and judge a frame, hand a
// valid one to its handler and send the answer, or throw the frame away.
#include <cstdint>

#include "gateway/gateway.h"

namespace kestrel {

struct LoopState {
  FrameBuffer frame;
  Answer answer;
  int64_t lastPidRefresh = 0;
};

constexpr int64_t kPidRefreshIntervalMs = 9000;
constexpr unsigned kLoopPauseUs = 4000;

void RunLoopCycle(Gateway& gateway, LoopState& loop);

// Rewrites the first 4 bytes of the PidFile with the calendar time when more
// than 9 s passed since the last refresh that succeeded.
void RefreshPidFileIfDue(int64_t now, int64_t& lastRefresh);

}  // namespace kestrel
