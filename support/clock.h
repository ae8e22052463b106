#pragma once
#include <cstdint>

namespace kestrel {

constexpr int64_t kUsPerMs = 1000;

// Milliseconds of CLOCK_MONOTONIC_RAW: never goes back, ignores calendar changes.
int64_t NowMs();

// The same clock in microseconds, for waits shorter than a few milliseconds.
// NowUs() / kUsPerMs is what NowMs() gives at the same instant.
int64_t NowUs();

}  // namespace kestrel
