#pragma once
#include <cstdint>

namespace kestrel {

// Milliseconds of CLOCK_MONOTONIC_RAW: never goes back, ignores calendar changes.
int64_t NowMs();

}  // namespace kestrel
