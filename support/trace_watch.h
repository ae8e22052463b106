#pragma once
// Tracing is switched on by creating the trace file. The loop looks for it
// in every cycle; in between, the file's folder is watched (inotify), so that
// the file's appearance ends the loop's wait at once. Where the folder cannot
// be watched, the loop comes to look at least once a second.
#include <cstdint>

#include "support/wait_set.h"

namespace kestrel {

// How often the loop looks for the trace file when its folder is not watched.
constexpr int64_t kUnwatchedTraceLookMs = 1000;

// Opens TraceLog when it is off and the trace file is there; every cycle.
void SwitchTraceOnIfPresent(int64_t nowMs);

// Adds to wait what ends it when the trace file may have appeared; nothing
// while tracing is on.
void WatchTraceFile(WaitSet& wait);

}  // namespace kestrel
