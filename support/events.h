#pragma once
// Events: each change of the gateway's state (a meter starts failing or
// answers again, a Modbus TCP connection is lost or made again, a master is
// refused, a write is done or refused, a file is left alone) as one line on
// standard error, with the priority prefix journald reads ("<4>..."). Never
// one line per request. Off unless [Main] events = yes: then standard error
// stays silent. A reader that stops reading never stops the gateway: a line
// standard error cannot take at once is dropped and counted, and one line
// tells how many once it takes lines again.
#include <cstdint>

namespace kestrel {

// The syslog priorities journald takes from a line's "<N>" prefix.
enum class EventPriority : int { kError = 3, kWarning = 4, kNotice = 5, kInfo = 6 };

void SwitchEventsOn();
bool EventsOn();

// One line, printf-style, without its line break; a no-op while events are off.
void LogEvent(EventPriority priority, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Lines dropped since start because standard error was full.
uint64_t EventsDropped();
// The line that tells of lines dropped since the last such line, when one
// is owed and due: tried with the next event, and once a second until
// standard error takes it.
void TellDroppedEvents(int64_t nowMs);
// When that is due next; -1 while none is owed.
int64_t DroppedEventsDueMs();

// A small memory of keys (a peer's address) seen lately, for events that
// may come at most once a minute per key: true when the key's event is
// due at nowMs, which is then remembered. The oldest key makes room.
class EventPace {
 public:
  static constexpr int64_t kIntervalMs = 60000;
  bool Due(uint32_t key, int64_t nowMs);

 private:
  static constexpr int kKeys = 16;
  struct Seen {
    uint32_t key = 0;
    int64_t atMs = 0;
    bool used = false;
  };
  Seen seen_[kKeys];
};

}  // namespace kestrel
