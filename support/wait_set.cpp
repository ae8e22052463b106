#include "support/wait_set.h"

#include <ctime>

#include "support/clock.h"
#include "support/loop_signals.h"

namespace kestrel {
namespace {

constexpr int64_t kNsPerUs = 1000;
constexpr int64_t kUsPerSecond = 1000000;

timespec Duration(int64_t us) {
  if (us < 0) us = 0;
  timespec duration{};
  duration.tv_sec = static_cast<time_t>(us / kUsPerSecond);
  duration.tv_nsec = static_cast<long>((us % kUsPerSecond) * kNsPerUs);
  return duration;
}

}  // namespace

void WaitSet::WatchReadable(int descriptor) {
  if (descriptor < 0 || count_ >= kMaxDescriptors) return;
  watched_[count_++] = pollfd{descriptor, POLLIN, 0};
}

void WaitSet::DueAtUs(int64_t dueUs) {
  if (due_ && dueUs >= dueUs_) return;
  due_ = true;
  dueUs_ = dueUs;
}

void WaitSet::Wait() {
  if (count_ == 0 && !due_) return;
  // ppoll, not poll: its time-out is not rounded up to whole milliseconds.
  const timespec timeout = Duration(dueUs_ - NowUs());
  // A signal of the loop ends the wait (and only the wait: see loop_signals.h).
  ppoll(watched_, static_cast<nfds_t>(count_), due_ ? &timeout : nullptr, WaitSignalMask());
}

}  // namespace kestrel
