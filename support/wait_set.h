#pragma once
// One wait of the gateway's single thread: it blocks until one of a few
// descriptors has input (or reports a hang-up or an error) or until the
// earliest of the times that callers said something is due. Whoever owns a
// descriptor adds it; nothing else sees it. Nothing allocates.
#include <poll.h>

#include <cstdint>

namespace kestrel {

class WaitSet {
 public:
  // Both sides' ports (a listener and a connection each, at most) and the
  // trace watch fit with room to spare.
  static constexpr int kMaxDescriptors = 8;

  // A descriptor below 0, or one beyond kMaxDescriptors, is left out.
  void WatchReadable(int descriptor);
  // Something is due at this NowUs() reading; the earliest one counts. A
  // time already past makes the wait return at once.
  void DueAtUs(int64_t dueUs);

  // Blocks until a descriptor is ready or the earliest due time has come;
  // without a due time, until a descriptor is ready. With neither nothing
  // could end the wait, so it returns at once.
  void Wait();

 private:
  pollfd watched_[kMaxDescriptors] = {};
  int count_ = 0;
  bool due_ = false;
  int64_t dueUs_ = 0;
};

}  // namespace kestrel
