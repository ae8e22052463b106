#include "gateway/monitoring/metrics_file.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>

#include "support/clock.h"
#include "support/events.h"
#include "support/logs.h"
#include "support/tmp_files.h"
#include "support/version.h"

namespace kestrel {
namespace {

constexpr int64_t kMsPerSecond = 1000;
constexpr Outcome kReasons[] = {Outcome::kException, Outcome::kSilence, Outcome::kCrc, Outcome::kInvalid,
                                Outcome::kNotSent};

// Seconds with their milliseconds: "1700000000.250".
struct Seconds {
  char text[32];
};
Seconds SecondsOf(int64_t ms) {
  Seconds seconds{};
  std::snprintf(seconds.text, sizeof seconds.text, "%" PRId64 ".%03" PRId64, ms / kMsPerSecond, ms % kMsPerSecond);
  return seconds;
}

using Labels = std::string;  // name="value",...

// The text exposition format: each family with its HELP and TYPE lines,
// then its samples.
class Exposition {
 public:
  void Family(const char* name, const char* type, const char* help) {
    Line("# HELP %s %s\n# TYPE %s %s\n", name, help, name, type);
    name_ = name;
  }
  void Sample(const Labels& labels, uint64_t value) {
    Line("%s%s %" PRIu64 "\n", name_, Braced(labels).c_str(), value);
  }
  void Sample(const Labels& labels, const Seconds& value) {
    Line("%s%s %s\n", name_, Braced(labels).c_str(), value.text);
  }
  std::string text;

 private:
  static std::string Braced(const Labels& labels) { return labels.empty() ? "" : "{" + labels + "}"; }
  void Line(const char* format, ...) __attribute__((format(printf, 2, 3)));
  const char* name_ = "";
};

void Exposition::Line(const char* format, ...) {
  char line[512];
  va_list args;
  va_start(args, format);
  const int length = std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  if (length > 0) text.append(line, static_cast<size_t>(length) < sizeof line ? static_cast<size_t>(length) : 0);
}

Labels LabelsOf(const char* format, ...) __attribute__((format(printf, 1, 2)));
Labels LabelsOf(const char* format, ...) {
  char labels[96];
  va_list args;
  va_start(args, format);
  std::vsnprintf(labels, sizeof labels, format, args);
  va_end(args);
  return labels;
}

const Labels kNoLabels;

// Each series once, named by its first meter.
template <typename Write>
void ForEachSeries(const Gateway& gateway, Write write) {
  const Monitoring& monitoring = gateway.monitoring;
  for (size_t series = 0; series < monitoring.meters.size(); ++series) {
    const size_t m = monitoring.firstMeterOf[series];
    const Meter& meter = gateway.model.meters[m];
    write(meter, m, monitoring.meters[series],
          LabelsOf("address=\"%u\",id=\"%s\"", meter.primaryAddress, IdDigitsOf(meter).text));
  }
}

void WriteProcess(const Gateway& gateway, Exposition& out) {
  out.Family("kestrel_build_info", "gauge", "The gateway's version.");
  out.Sample(LabelsOf("version=\"%s\"", kVersionText), 1);
  out.Family("kestrel_start_time_seconds", "gauge", "When the gateway started, in seconds since the epoch.");
  out.Sample(kNoLabels, SecondsOf(gateway.monitoring.startMs));
  out.Family("kestrel_metrics_interval_seconds", "gauge", "How often this file is written.");
  out.Sample(kNoLabels, SecondsOf(gateway.monitoring.metrics.intervalMs));
  out.Family("kestrel_metrics_written_monotonic_seconds", "gauge",
             "When this file was written, by the machine's monotonic clock (CLOCK_MONOTONIC_RAW), which no "
             "step of the calendar moves.");
  out.Sample(kNoLabels, SecondsOf(NowMs()));
  out.Family("kestrel_notify_dropped_total", "counter",
             "Notifications for the service manager dropped because its socket was full.");
  out.Sample(kNoLabels, gateway.monitoring.notify.dropped);
  out.Family("kestrel_events_dropped_total", "counter", "Event lines dropped because standard error was full.");
  out.Sample(kNoLabels, EventsDropped());
  const ConfigReloads& reloads = gateway.monitoring.reloads;
  out.Family("kestrel_config_reloads_total", "counter", "Configurations taken on SIGHUP.");
  out.Sample(kNoLabels, reloads.done);
  out.Family("kestrel_config_reload_failures_total", "counter",
             "Reloads refused for an error in the configuration: the one in use stayed.");
  out.Sample(kNoLabels, reloads.refused);
  out.Family("kestrel_config_last_reload_timestamp_seconds", "gauge",
             "When the configuration was last taken on SIGHUP, in seconds since the epoch; 0: not since start.");
  out.Sample(kNoLabels, SecondsOf(reloads.lastMs));
}

// A counter of every meter.
void MeterCount(const Gateway& gateway, Exposition& out, const char* name, const char* help,
                uint64_t MeterCounters::*count) {
  out.Family(name, "counter", help);
  ForEachSeries(gateway, [&](const Meter&, size_t, const MeterCounters& c, const Labels& l) {
    out.Sample(l, c.*count);
  });
}

void WriteMeterCounts(const Gateway& gateway, Exposition& out) {
  MeterCount(gateway, out, "kestrel_meter_requests_total", "REQ_UD2 received per meter.", &MeterCounters::requests);
  MeterCount(gateway, out, "kestrel_meter_answers_total", "RSP_UD sent per meter.", &MeterCounters::answers);
  out.Family("kestrel_meter_unanswered_total", "counter", "REQ_UD2 left unanswered per meter, by reason.");
  ForEachSeries(gateway, [&](const Meter&, size_t, const MeterCounters& c, const Labels& l) {
    for (Outcome reason : kReasons) {
      out.Sample(l + LabelsOf(",reason=\"%s\"", OutcomeLabel(reason)), c.unanswered[static_cast<size_t>(reason)]);
    }
  });
  out.Family("kestrel_meter_writes_total", "counter", "SND_UD writes per meter, by outcome.");
  ForEachSeries(gateway, [&](const Meter&, size_t, const MeterCounters& c, const Labels& l) {
    for (int outcome = 0; outcome < kWriteOutcomeCount; ++outcome) {
      out.Sample(l + LabelsOf(",outcome=\"%s\"", WriteOutcomeLabel(static_cast<WriteOutcome>(outcome))),
                 c.writes[static_cast<size_t>(outcome)]);
    }
  });
  out.Family("kestrel_meter_last_request_timestamp_seconds", "gauge",
             "When the meter was last asked, in seconds since the epoch; 0: never.");
  ForEachSeries(gateway, [&](const Meter&, size_t, const MeterCounters& c, const Labels& l) {
    out.Sample(l, SecondsOf(c.lastRequestMs));
  });
  out.Family("kestrel_meter_last_answer_timestamp_seconds", "gauge",
             "When the meter last answered, in seconds since the epoch; 0: never.");
  ForEachSeries(gateway, [&](const Meter&, size_t, const MeterCounters& c, const Labels& l) {
    out.Sample(l, SecondsOf(c.lastAnswerMs));
  });
}

// Decided on the monotonic clock, so that a calendar stepped back or forth
// changes no verdict.
void WriteMeterStates(const Gateway& gateway, Exposition& out) {
  out.Family("kestrel_meter_failing", "gauge", "1 while the meter's reads fail (from one that fails until one that "
             "succeeds), else 0.");
  ForEachSeries(gateway, [&](const Meter&, size_t, const MeterCounters& c, const Labels& l) {
    out.Sample(l, c.failing ? 1 : 0);
  });
  out.Family("kestrel_meter_unanswered_seconds", "gauge", "How long the meter has been asked without an answer "
             "(since its last answer, or the start), by the monotonic clock; 0 while it answers.");
  const int64_t now = NowMs();
  ForEachSeries(gateway, [&](const Meter&, size_t, const MeterCounters& c, const Labels& l) {
    out.Sample(l, SecondsOf(UnansweredMs(gateway.monitoring, c, now)));
  });
}

void WriteValueCounts(const Gateway& gateway, Exposition& out) {
  out.Family("kestrel_meter_no_value_total", "counter",
             "Records sent as \"no data\": the device's registers held its NoValue.");
  ForEachSeries(gateway, [&](const Meter&, size_t, const MeterCounters& c, const Labels& l) {
    out.Sample(l, c.noValueRecords);
  });
  out.Family("kestrel_meter_held_total", "counter",
             "Records of Monotonic counters sent with the highest value held, the device's being lower.");
  ForEachSeries(gateway, [&](const Meter&, size_t, const MeterCounters& c, const Labels& l) {
    out.Sample(l, c.heldRecords);
  });
}

// Meters with MaxAge only.
void WriteSnapshots(const Gateway& gateway, Exposition& out) {
  out.Family("kestrel_meter_stale_answers_total", "counter",
             "Answers from memory with status bit 10h (values older than MaxAge), per meter with MaxAge.");
  ForEachSeries(gateway, [&](const Meter& meter, size_t, const MeterCounters& c, const Labels& l) {
    if (meter.maxAgeS > 0) out.Sample(l, c.staleAnswers);
  });
  out.Family("kestrel_meter_snapshot_age_seconds", "gauge",
             "Age of the values a meter with MaxAge answers with, once it has been read completely.");
  const int64_t now = NowMs();
  ForEachSeries(gateway, [&](const Meter& meter, size_t m, const MeterCounters&, const Labels& l) {
    if (meter.maxAgeS == 0 || m >= gateway.background.meters.size()) return;
    const Snapshot& snapshot = gateway.background.meters[m].snapshot;
    if (snapshot.complete && !snapshot.ageUnknown) out.Sample(l, SecondsOf(now - snapshot.readStartMs));
  });
}

// The slaves of the link's meters, and those it had transactions with.
void WriteTransactions(const Gateway& gateway, size_t link, Exposition& out) {
  const LineCounters& line = gateway.links[link]->line.counters;
  const std::string section = SectionName(*gateway.links[link]);
  bool used[256] = {};
  for (size_t m = 0; m < gateway.model.meters.size(); ++m) {
    if (gateway.meterLinks[m] == static_cast<int>(link)) used[gateway.model.meters[m].slaveAddress] = true;
  }
  for (unsigned slave = 0; slave < 256; ++slave) {
    uint64_t total = 0;
    for (uint64_t count : line.transactions[slave]) total += count;
    if (!used[slave] && total == 0) continue;
    for (int outcome = 0; outcome < kOutcomeCount; ++outcome) {
      out.Sample(LabelsOf("link=\"%s\",slave=\"%u\",outcome=\"%s\"", section.c_str(), slave,
                          OutcomeLabel(static_cast<Outcome>(outcome))),
                 line.transactions[slave][static_cast<size_t>(outcome)]);
    }
  }
}

// One sample per link of what count picks from it.
template <typename Count>
void PerLink(const Gateway& gateway, Exposition& out, Count count) {
  for (const std::unique_ptr<Link>& link : gateway.links) {
    out.Sample(LabelsOf("link=\"%s\"", SectionName(*link).c_str()), count(*link));
  }
}

void WriteModbus(const Gateway& gateway, Exposition& out) {
  out.Family("kestrel_modbus_transactions_total", "counter", "Modbus transactions per link and slave, by outcome.");
  for (size_t link = 0; link < gateway.links.size(); ++link) WriteTransactions(gateway, link, out);
  out.Family("kestrel_modbus_dropped_bytes_total", "counter", "Bytes dropped as late or unrequested Modbus answers.");
  PerLink(gateway, out, [](const Link& link) { return link.line.counters.droppedBytes; });
  out.Family("kestrel_modbus_connections_lost_total", "counter", "Modbus TCP connections lost.");
  PerLink(gateway, out, [](const Link& link) { return link.port->Counters().connectionsLost; });
  out.Family("kestrel_modbus_reconnects_total", "counter", "Modbus TCP connections made again after one was lost.");
  PerLink(gateway, out, [](const Link& link) { return link.port->Counters().reconnects; });
  out.Family("kestrel_modbus_link_up", "gauge",
             "1 while the link's port is open (and, on a TCP client, connected), else 0.");
  PerLink(gateway, out, [](const Link& link) { return uint64_t{LinkUp(link)}; });
}

void WriteMBus(const Gateway& gateway, Exposition& out) {
  const MBusCounters& mbus = gateway.monitoring.mbus;
  out.Family("kestrel_mbus_frames_total", "counter", "M-Bus frames received, by kind.");
  for (int kind = 0; kind < kMBusFrameKindCount; ++kind) {
    out.Sample(LabelsOf("kind=\"%s\"", MBusFrameKindLabel(static_cast<MBusFrameKind>(kind))),
               mbus.frames[static_cast<size_t>(kind)]);
  }
  out.Family("kestrel_mbus_answers_total", "counter", "M-Bus answers sent.");
  out.Sample(kNoLabels, mbus.answers);
  const PortCounters& port = gateway.mbusPort->Counters();
  out.Family("kestrel_mbus_masters_total", "counter",
             "M-Bus masters taken and refused by the allow list (TCP connections; UDP: a new sender).");
  out.Sample(LabelsOf("result=\"accepted\""), port.peersAccepted);
  out.Sample(LabelsOf("result=\"refused\""), port.peersRefused);
}

}  // namespace

std::string MetricsText(const Gateway& gateway) {
  Exposition out;
  WriteProcess(gateway, out);
  WriteMeterCounts(gateway, out);
  WriteMeterStates(gateway, out);
  WriteValueCounts(gateway, out);
  WriteSnapshots(gateway, out);
  WriteModbus(gateway, out);
  WriteMBus(gateway, out);
  return out.text;
}

void WriteMetricsNow(Gateway& gateway) {
  gateway.monitoring.metrics.dueMs = 0;
  WriteMetricsIfDue(gateway);
}

void WriteMetricsIfDue(Gateway& gateway) {
  MetricsFile& metrics = gateway.monitoring.metrics;
  const int64_t now = NowMs();
  if (metrics.path.empty() || now < metrics.dueMs) return;
  metrics.dueMs = now + metrics.intervalMs;
  const char* why = ReplaceOwnFile(metrics.path, MetricsText(gateway));
  if (why == nullptr) {
    if (metrics.failing) LogEvent(EventPriority::kNotice, "metrics file %s written again", metrics.path.c_str());
    metrics.failing = false;
    return;
  }
  LogTrace("Metrics file %s not written: %s\n", metrics.path.c_str(), why);
  if (!metrics.failing) {
    LogEvent(EventPriority::kWarning, "metrics file %s not written: %s; tried again every %" PRId64 " s",
             metrics.path.c_str(), why, metrics.intervalMs / kMsPerSecond);
  }
  metrics.failing = true;
}

void WatchMetricsFile(const Gateway& gateway, WaitSet& wait) {
  const MetricsFile& metrics = gateway.monitoring.metrics;
  if (!metrics.path.empty()) wait.DueAtUs(metrics.dueMs * kUsPerMs);
}

}  // namespace kestrel
