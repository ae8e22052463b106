#include "support/events.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>

namespace kestrel {
namespace {

bool gEventsOn = false;
constexpr int kLongestEvent = 512;  // longer lines are cut, never split

}  // namespace

void SwitchEventsOn() { gEventsOn = true; }
bool EventsOn() { return gEventsOn; }

void LogEvent(EventPriority priority, const char* format, ...) {
  if (!gEventsOn) return;
  char line[kLongestEvent];
  int length = std::snprintf(line, sizeof line, "<%d>", static_cast<int>(priority));
  va_list args;
  va_start(args, format);
  const int text = std::vsnprintf(line + length, sizeof line - static_cast<size_t>(length), format, args);
  va_end(args);
  if (text > 0) length += text;
  if (length > kLongestEvent - 1) length = kLongestEvent - 1;
  line[length++] = '\n';
  // One write per line: journald, or a pipe shared with others, never gets
  // half a line. A failed write is not retried.
  const ssize_t written = write(STDERR_FILENO, line, static_cast<size_t>(length));
  (void)written;
}

bool EventPace::Due(uint32_t key, int64_t nowMs) {
  Seen* oldest = &seen_[0];
  for (Seen& seen : seen_) {
    if (seen.used && seen.key == key) {
      if (nowMs - seen.atMs < kIntervalMs) return false;
      seen.atMs = nowMs;
      return true;
    }
    if (!seen.used || (oldest->used && seen.atMs < oldest->atMs)) oldest = &seen;
  }
  *oldest = Seen{key, nowMs, true};
  return true;
}

}  // namespace kestrel
