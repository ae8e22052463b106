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
void SwitchEventsOff();
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
// due at nowMs, which is then remembered. A key takes the place of one not
// seen for a minute; while every place holds a key seen within the last
// minute, further keys are folded: counted, and told together once a
// minute (FoldedDue), so that no number of keys makes more lines.
class EventPace {
 public:
  static constexpr int64_t kIntervalMs = 60000;
  // What was folded since the last time it was told.
  struct Folded {
    uint64_t events = 0;
    int keys = 0;           // distinct keys, as far as they were remembered
    bool moreKeys = false;  // more distinct keys came than are remembered
  };

  bool Due(uint32_t key, int64_t nowMs);
  // True once a minute after the first fold, with what was folded, which
  // then starts again from nothing.
  bool FoldedDue(int64_t nowMs, Folded& folded);
  // When that is due; -1 while nothing is folded.
  int64_t FoldedDueMs() const;

 private:
  static constexpr int kKeys = 16;
  static constexpr int kFoldedKeys = 256;  // distinct folded keys counted exactly
  struct Seen {
    uint32_t key = 0;
    int64_t atMs = 0;
    bool used = false;
  };
  void Fold(uint32_t key, int64_t nowMs);

  Seen seen_[kKeys];
  Folded folded_;
  int64_t foldStartMs_ = 0;
  uint32_t foldedKeys_[kFoldedKeys] = {};
};

}  // namespace kestrel
