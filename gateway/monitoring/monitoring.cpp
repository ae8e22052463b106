#include "gateway/monitoring/monitoring.h"

#include <cstdio>

#include "gateway/gateway.h"
#include "gateway/monitoring/metrics_file.h"
#include "gateway/monitoring/service_notify.h"
#include "links/meter_exchange.h"
#include "links/meter_read.h"
#include "ports/port_events.h"
#include "support/clock.h"
#include "support/config_store.h"
#include "support/events.h"
#include "support/logs.h"

namespace kestrel {
namespace {

constexpr int64_t kMsPerMinute = 60000;

// A file no longer named is left as it is; one named anew is written soon.
void ReadMetricsKeys(const ConfigStore& store, MetricsFile& metrics) {
  metrics.path = MainPathKey(store, "metrics_file", "no metrics file");
  metrics.intervalMs = 0;
  metrics.dueMs = 0;
  if (metrics.path.empty()) return;
  int seconds = 0;
  store.GetInt(seconds, "Main", "metrics_interval");
  metrics.intervalMs = int64_t{MetricsIntervalS(seconds)} * 1000;
}

}  // namespace

// Meters at the same primary address with the same identification number
// count together: the first one's series.
void AssignSeries(const MeterModel& model, Monitoring& monitoring) {
  monitoring.meters.clear();
  monitoring.seriesOf.clear();
  monitoring.firstMeterOf.clear();
  for (size_t m = 0; m < model.meters.size(); ++m) {
    size_t series = monitoring.meters.size();
    for (size_t earlier = 0; earlier < m; ++earlier) {
      const Meter& a = model.meters[earlier];
      const Meter& b = model.meters[m];
      if (a.primaryAddress == b.primaryAddress && a.idNumber == b.idNumber) {
        series = monitoring.seriesOf[earlier];
        break;
      }
    }
    if (series == monitoring.meters.size()) {
      monitoring.meters.emplace_back();
      monitoring.firstMeterOf.push_back(m);
    }
    monitoring.seriesOf.push_back(series);
  }
}

namespace {

MeterCounters* SeriesOf(Gateway& gateway, const Meter& meter) {
  size_t index = 0;
  if (!IndexInModel(gateway.model, meter, index) || index >= gateway.monitoring.seriesOf.size()) return nullptr;
  return &gateway.monitoring.meters[gateway.monitoring.seriesOf[index]];
}

void CountRecent(RecentMinutes& recent, bool answer) {
  const int64_t minute = NowMs() / kMsPerMinute;
  const size_t slot = static_cast<size_t>(minute % RecentMinutes::kMinutes);
  if (recent.minute[slot] != minute) {
    recent.minute[slot] = minute;
    recent.requests[slot] = 0;
    recent.answers[slot] = 0;
  }
  ++(answer ? recent.answers : recent.requests)[slot];
}

// One more request or answer of the meter, at this time, and in the last minutes.
void CountWithTime(Gateway& gateway, const Meter& meter, uint64_t MeterCounters::*count,
                   int64_t MeterCounters::*atMs) {
  CountRecent(gateway.monitoring.recent, count == &MeterCounters::answers);
  MeterCounters* counts = SeriesOf(gateway, meter);
  if (counts == nullptr) return;
  ++(counts->*count);
  counts->*atMs = CalendarMs();
}

MBusFrameKind KindOfLongFrame(uint8_t ci) {
  switch (ci) {
    case kCiSndUd: return MBusFrameKind::kSndUd;
    case kCiSelection: return MBusFrameKind::kSelection;
    case kCiAppReset: return MBusFrameKind::kAppReset;
    default: return MBusFrameKind::kOther;
  }
}

MBusFrameKind KindOf(const FrameBuffer& frame) {
  if (frame.state != FrameState::kComplete) return MBusFrameKind::kInvalid;
  switch (frame.kind) {
    case FrameKind::kReqUd2: return MBusFrameKind::kReqUd2;
    case FrameKind::kSndNke: return MBusFrameKind::kSndNke;
    case FrameKind::kLong: return KindOfLongFrame(frame.bytes[kLongCi]);
    case FrameKind::kNone: break;
  }
  return MBusFrameKind::kOther;
}

void Count(Gateway& gateway, MBusFrameKind kind) {
  ++gateway.monitoring.mbus.frames[static_cast<size_t>(kind)];
  ++gateway.monitoring.changes;
}

// "03 03 00 64 00 02 84 36"
struct RequestText {
  char text[3 * kReadRequestLength];
};

RequestText RequestTextOf(const uint8_t (&request)[kReadRequestLength]) {
  RequestText out{};
  size_t at = 0;
  for (uint8_t byte : request) {
    std::snprintf(out.text + at, sizeof out.text - at, at == 0 ? "%02X" : " %02X", byte);
    at += at == 0 ? 2 : 3;
  }
  return out;
}

}  // namespace

void ReadMonitoringKeys(const ConfigStore& store, Monitoring& monitoring) {
  if (IsSwitchedOn(store, "Main", "events")) {
    SwitchEventsOn();
  } else {
    SwitchEventsOff();
  }
  ReadMetricsKeys(store, monitoring.metrics);
}

void StartMonitoring(const ConfigStore& store, Gateway& gateway) {
  Monitoring& monitoring = gateway.monitoring;
  ReadMonitoringKeys(store, monitoring);
  StartServiceNotify(monitoring.notify);
  AssignSeries(gateway.model, monitoring);
  monitoring.startMs = CalendarMs();
  monitoring.startNowMs = NowMs();
}

void CountFrame(Gateway& gateway, const FrameBuffer& frame) {
  // Junk at idle leaves an empty buffer.
  if (frame.state == FrameState::kComplete || frame.discard || frame.count == 0) Count(gateway, KindOf(frame));
}

void CountInvalidFrame(Gateway& gateway) { Count(gateway, MBusFrameKind::kInvalid); }

void CountAnswerSent(Gateway& gateway) { ++gateway.monitoring.mbus.answers; }

void CountRequest(Gateway& gateway, const Meter& meter) {
  CountWithTime(gateway, meter, &MeterCounters::requests, &MeterCounters::lastRequestMs);
  MeterCounters* counts = SeriesOf(gateway, meter);
  if (counts != nullptr) counts->awaitingAnswer = true;
}

void CountAnswer(Gateway& gateway, const Meter& meter) {
  CountWithTime(gateway, meter, &MeterCounters::answers, &MeterCounters::lastAnswerMs);
  MeterCounters* counts = SeriesOf(gateway, meter);
  if (counts == nullptr) return;
  counts->awaitingAnswer = false;
  counts->lastAnswerNowMs = NowMs();
}

void CountUnanswered(Gateway& gateway, const Meter& meter, Outcome reason) {
  MeterCounters* counts = SeriesOf(gateway, meter);
  if (counts != nullptr) ++counts->unanswered[static_cast<size_t>(reason)];
}

void CountStaleAnswer(Gateway& gateway, const Meter& meter) {
  MeterCounters* counts = SeriesOf(gateway, meter);
  if (counts != nullptr) ++counts->staleAnswers;
}

void CountValuesSent(Gateway& gateway, const Meter& meter, const ValueCounts& values) {
  MeterCounters* counts = SeriesOf(gateway, meter);
  if (counts == nullptr) return;
  counts->noValueRecords += static_cast<uint64_t>(values.noValues);
  counts->heldRecords += static_cast<uint64_t>(values.held);
}

void CountWrite(Gateway& gateway, const Meter& meter, WriteOutcome outcome) {
  MeterCounters* counts = SeriesOf(gateway, meter);
  if (counts != nullptr) ++counts->writes[static_cast<size_t>(outcome)];
}

void NoteMeterRead(Gateway& gateway, const Meter& meter, const ReadFailure* failure) {
  MeterCounters* counts = SeriesOf(gateway, meter);
  if (counts == nullptr) return;
  const bool failing = failure != nullptr;
  counts->failure = failing ? ReasonOf(*failure) : Outcome::kOk;
  if (failing == counts->failing) return;
  counts->failing = failing;
  ++gateway.monitoring.changes;
  const MeterName name = NameOf(meter);
  if (!failing) return LogEvent(EventPriority::kNotice, "%s answers again", name.text);
  const FailureText why = DescribeFailure(meter, *failure);
  // The Modbus request behind it, where one is.
  const bool request = failure->fault == BlockFault::kNoAnswer || failure->fault == BlockFault::kShortAnswer;
  LogEvent(EventPriority::kWarning, "%s fails: %s%s%s", name.text, why.text, request ? "; request " : "",
           request ? RequestTextOf(failure->request).text : "");
}

void KeepMonitoringCurrent(Gateway& gateway) {
  WriteMetricsIfDue(gateway);
  NotifyIfDue(gateway);
  const int64_t now = NowMs();
  TellDroppedEvents(now);
  TellFoldedRefusals(now);
}

void WatchMonitoring(const Gateway& gateway, WaitSet& wait) {
  WatchMetricsFile(gateway, wait);
  WatchServiceNotify(gateway, wait);
  // Only while lines are owed or refusals folded: an idle gateway wakes no more.
  for (const int64_t dueMs : {DroppedEventsDueMs(), FoldedRefusalsDueMs()}) {
    if (dueMs >= 0) wait.DueAtUs(dueMs * kUsPerMs);
  }
}

int64_t UnansweredMs(const Monitoring& monitoring, const MeterCounters& counts, int64_t nowMs) {
  if (!counts.awaitingAnswer) return 0;
  return nowMs - (counts.lastAnswerNowMs > 0 ? counts.lastAnswerNowMs : monitoring.startNowMs);
}

IdDigits IdDigitsOf(const Meter& meter) {
  IdDigits digits{};
  std::snprintf(digits.text, sizeof digits.text, "%08X", meter.idNumber);
  return digits;
}

}  // namespace kestrel
