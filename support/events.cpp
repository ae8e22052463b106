#include "support/events.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>

#include "support/clock.h"

namespace kestrel {
namespace {

bool gEventsOn = false;
constexpr int kLongestEvent = 512;  // longer lines are cut, never split; below PIPE_BUF
// While lines are owed a telling, it is tried this often without events.
constexpr int64_t kDroppedRetryMs = 1000;

uint64_t gDropped = 0;      // since start
uint64_t gOwed = 0;         // dropped since the last line that told of them
int64_t gOwedDueMs = 0;

enum class Written { kWhole, kFull, kFailed };

// Standard error takes the line at once and whole, or not at all: a socket
// (journald's stream) without waiting; anything else only when poll says
// it has room, which for a pipe means a free page, and a line is shorter
// than a page. A full one is worth trying again; other failures (no
// reader at all) are not.
Written WriteAtOnce(const char* line, size_t length) {
  ssize_t written = send(STDERR_FILENO, line, length, MSG_DONTWAIT | MSG_NOSIGNAL);
  if (written < 0 && errno == ENOTSOCK) {
    pollfd room{STDERR_FILENO, POLLOUT, 0};
    if (poll(&room, 1, 0) != 1 || (room.revents & POLLOUT) == 0) return Written::kFull;
    written = write(STDERR_FILENO, line, length);
  }
  if (written == static_cast<ssize_t>(length)) return Written::kWhole;
  return written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) ? Written::kFull : Written::kFailed;
}

// The line that tells of the dropped ones; true when none are owed (any more).
bool TellOwed(int64_t nowMs) {
  if (gOwed == 0) return true;
  char line[kLongestEvent];
  const int length = std::snprintf(line, sizeof line, "<%d>event lines dropped while standard error was full: %"
                                   PRIu64 "\n", static_cast<int>(EventPriority::kWarning), gOwed);
  const Written written = WriteAtOnce(line, static_cast<size_t>(length));
  if (written == Written::kFull) {
    gOwedDueMs = nowMs + kDroppedRetryMs;
    return false;
  }
  gOwed = 0;
  return true;
}

void Drop(int64_t nowMs) {
  if (gOwed++ == 0) gOwedDueMs = nowMs + kDroppedRetryMs;
  ++gDropped;
}

}  // namespace

void SwitchEventsOn() { gEventsOn = true; }
void SwitchEventsOff() { gEventsOn = false; }
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
  // half a line. A line that finds standard error full waits behind the
  // telling of those dropped before it, so the order stays.
  const int64_t now = NowMs();
  if (!TellOwed(now) || WriteAtOnce(line, static_cast<size_t>(length)) == Written::kFull) Drop(now);
}

uint64_t EventsDropped() { return gDropped; }

void TellDroppedEvents(int64_t nowMs) {
  if (gOwed > 0 && nowMs >= gOwedDueMs) TellOwed(nowMs);
}

int64_t DroppedEventsDueMs() { return gOwed > 0 ? gOwedDueMs : -1; }

bool EventPace::Due(uint32_t key, int64_t nowMs) {
  Seen* place = nullptr;  // a free one, or one not seen for a minute
  for (Seen& seen : seen_) {
    if (seen.used && seen.key == key) {
      if (nowMs - seen.atMs < kIntervalMs) return false;
      seen.atMs = nowMs;
      return true;
    }
    if (place == nullptr && (!seen.used || nowMs - seen.atMs >= kIntervalMs)) place = &seen;
  }
  if (place == nullptr) {
    Fold(key, nowMs);
    return false;
  }
  *place = Seen{key, nowMs, true};
  return true;
}

void EventPace::Fold(uint32_t key, int64_t nowMs) {
  if (folded_.events++ == 0) foldStartMs_ = nowMs;
  for (int k = 0; k < folded_.keys; ++k) {
    if (foldedKeys_[k] == key) return;
  }
  if (folded_.keys < kFoldedKeys) {
    foldedKeys_[folded_.keys++] = key;
  } else {
    folded_.moreKeys = true;
  }
}

bool EventPace::FoldedDue(int64_t nowMs, Folded& folded) {
  if (folded_.events == 0 || nowMs - foldStartMs_ < kIntervalMs) return false;
  folded = folded_;
  folded_ = Folded{};
  return true;
}

int64_t EventPace::FoldedDueMs() const { return folded_.events == 0 ? -1 : foldStartMs_ + kIntervalMs; }

}  // namespace kestrel
