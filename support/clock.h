#pragma once
#include <cstdint>

// Milliseconds of CLOCK_MONOTONIC_RAW: never goes back, ignores calendar changes.
int64_t NowMs();
