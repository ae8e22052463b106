#include "support/clock.h"

#include <ctime>

namespace kestrel {
namespace {

timespec RawMonotonic() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC_RAW, &now);
  return now;
}

}  // namespace

int64_t NowMs() {
  const timespec now = RawMonotonic();
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

int64_t NowUs() {
  const timespec now = RawMonotonic();
  return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

int64_t CalendarMs() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace kestrel
