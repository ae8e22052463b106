#pragma once
// What the gateway counts and tells for monitoring, all off but the counting
// unless asked for: the counters of its meters and of the M-Bus side (the
// ports and the Modbus line count their own, support/counters.h), the
// meters' changes between answering and failing (events), the metrics file
// ([Main] metrics_file) and the service manager's notifications
// (NOTIFY_SOCKET, WATCHDOG_USEC).
#include <sys/socket.h>
#include <sys/un.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "mbus/frame.h"
#include "modbus/transaction.h"
#include "support/counters.h"
#include "support/wait_set.h"

namespace kestrel {

struct Gateway;
struct Meter;
struct MeterModel;
struct ReadFailure;
struct ValueCounts;
class ConfigStore;

// Requests and answers of the last minutes, one slot a minute, for the
// service status.
struct RecentMinutes {
  static constexpr int kMinutes = 15;
  std::array<int64_t, kMinutes> minute{};  // which minute (NowMs() / 60000) a slot counts
  std::array<uint64_t, kMinutes> requests{};
  std::array<uint64_t, kMinutes> answers{};
};

// [Main] metrics_file and metrics_interval.
struct MetricsFile {
  std::string path;  // as opened (below KESTREL_ROOT); empty: no metrics file
  int64_t intervalMs = 0;
  int64_t dueMs = 0;     // of the next write
  bool failing = false;  // the last write failed
};

// What the service manager asked for through the environment, and the
// socket its notifications go to.
struct ServiceNotify {
  bool on = false;            // NOTIFY_SOCKET names a socket, and one could be made to send to it
  int socket = -1;            // a datagram socket of our own, kept from start
  sockaddr_un address{};      // where NOTIFY_SOCKET says
  socklen_t addressLength = 0;
  uint64_t dropped = 0;       // notifications the socket did not take at once
  int64_t watchdogUs = 0;     // the keep-alive interval: half of WATCHDOG_USEC; 0: none asked
  int64_t watchdogDueUs = 0;  // of the next WATCHDOG=1
  std::string status;         // the STATUS= sent last
  int64_t statusSentMs = 0;
  uint64_t changesAtStatus = 0;  // Monitoring::changes when it was sent
};

// The configuration taken again on SIGHUP.
struct ConfigReloads {
  uint64_t done = 0;
  uint64_t refused = 0;     // a reload with an error: the configuration in use stayed
  int64_t lastMs = 0;       // calendar time of the last one done; 0: none since start
  bool lastRefused = false;  // the last reload was refused (the status says so)
};

struct Monitoring {
  // One per series: meters with the same primary address and
  // identification number, which no master tells apart, share one.
  std::vector<MeterCounters> meters;
  std::vector<size_t> seriesOf;  // per meter of the model: its index in meters
  std::vector<size_t> firstMeterOf;  // per series: the model's first meter in it, which names it
  MBusCounters mbus;
  RecentMinutes recent;
  uint64_t changes = 0;  // frames and changes of state since start: the status may be due
  int64_t startMs = 0;   // calendar time
  int64_t startNowMs = 0;  // the same instant by NowMs()
  MetricsFile metrics;
  ServiceNotify notify;
  ConfigReloads reloads;
};

// Bring-up: the keys events, metrics_file and metrics_interval (StartupLog
// lines for values it cannot use), the environment, one series per meter.
void StartMonitoring(const ConfigStore& store, Gateway& gateway);
// The keys alone, at bring-up and at a reload.
void ReadMonitoringKeys(const ConfigStore& store, Monitoring& monitoring);
// One series per meter of the model, which meters at the same primary
// address with the same identification number share; all counters zero.
void AssignSeries(const MeterModel& model, Monitoring& monitoring);

// The frame just judged (complete, or to be thrown away); kInvalid for one
// that timed out.
void CountFrame(Gateway& gateway, const FrameBuffer& frame);
void CountInvalidFrame(Gateway& gateway);
void CountAnswerSent(Gateway& gateway);

// A REQ_UD2 for the meter, and what became of it.
void CountRequest(Gateway& gateway, const Meter& meter);
void CountAnswer(Gateway& gateway, const Meter& meter);
void CountUnanswered(Gateway& gateway, const Meter& meter, Outcome reason);
void CountStaleAnswer(Gateway& gateway, const Meter& meter);
// The answer sent carried records without their value or with a held one.
void CountValuesSent(Gateway& gateway, const Meter& meter, const ValueCounts& values);
// An SND_UD's write to the meter ended: done, refused or failed.
void CountWrite(Gateway& gateway, const Meter& meter, WriteOutcome outcome);

// A read of the meter ended, failure nullptr when it gave every record: a
// meter that was answering and fails, or that was failing and answers, is
// told as an event.
void NoteMeterRead(Gateway& gateway, const Meter& meter, const ReadFailure* failure);

// The main loop's share, every round: the metrics file, the watchdog and
// the status when due. Never waits long: a file write at most.
void KeepMonitoringCurrent(Gateway& gateway);
// When that is next due.
void WatchMonitoring(const Gateway& gateway, WaitSet& wait);

// "meter 3 (45990012)" style label values and the like, for the metrics
// file and the status: the meter's identification number as its 8 digits.
struct IdDigits {
  char text[9];
};
IdDigits IdDigitsOf(const Meter& meter);

// How long the meter has been asked without an answer, by the monotonic
// clock: since its last answer (or the start), from when a request went
// unanswered; 0 while it answers.
int64_t UnansweredMs(const Monitoring& monitoring, const MeterCounters& counts, int64_t nowMs);

}  // namespace kestrel
