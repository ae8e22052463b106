#include "support/clock.h"

#include <ctime>

namespace kestrel {

int64_t NowMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC_RAW, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace kestrel
