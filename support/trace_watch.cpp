#include "support/trace_watch.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <string>

#include "support/clock.h"
#include "support/logs.h"
#include "support/paths.h"

namespace kestrel {
namespace {

// The moments a trace file is complete enough to be taken: its creator
// closed it, moved it into place or changed its mode or times (touch). Not
// its creation: whoever writes a file in its place would write after the
// gateway has emptied it.
constexpr uint32_t kTraceFileEvents = IN_CLOSE_WRITE | IN_MOVED_TO | IN_ATTRIB;

int gWatch = -1;         // the inotify instance; -1 while there is none
bool gWatching = false;  // it watches the trace file's folder
int64_t gLastLookMs = 0;

std::string TraceFolder() {
  const std::string path = RootedPath(kTraceLogPath);
  return path.substr(0, path.rfind('/') + 1);
}

// Tried again at every look until it works (a folder that is not there yet,
// no inotify instance left for this user).
void StartWatching() {
  if (gWatch < 0) gWatch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (gWatch < 0 || gWatching) return;
  gWatching = inotify_add_watch(gWatch, TraceFolder().c_str(), kTraceFileEvents) >= 0;
}

// The events only end the wait; what they name does not matter, the look
// that follows decides.
void ForgetEvents() {
  char events[4096];
  while (gWatch >= 0 && read(gWatch, events, sizeof events) > 0) {
  }
}

}  // namespace

void SwitchTraceOnIfPresent(int64_t nowMs) {
  StartWatching();
  // Emptied before the look: whatever happens after it ends the next wait.
  ForgetEvents();
  OpenTraceLogIfPresent();
  gLastLookMs = nowMs;
}

void WatchTraceFile(WaitSet& wait) {
  if (TraceLogIsOpen()) return;
  if (gWatching) {
    wait.WatchReadable(gWatch);
  } else {
    wait.DueAtUs((gLastLookMs + kUnwatchedTraceLookMs) * kUsPerMs);
  }
}

}  // namespace kestrel
