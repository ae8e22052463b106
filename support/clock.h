#pragma once
#include <cstdint>

namespace kestrel {

constexpr int64_t kUsPerMs = 1000;

// Milliseconds of CLOCK_MONOTONIC_RAW: never goes back, ignores calendar changes.
int64_t NowMs();

// The same clock in microseconds, for waits shorter than a few milliseconds.
// NowUs() / kUsPerMs is what NowMs() gives at the same instant.
int64_t NowUs();

// Calendar time (CLOCK_REALTIME) in milliseconds since the epoch, for
// what others read as a date: the metrics' time stamps.
int64_t CalendarMs();

}  // namespace kestrel
