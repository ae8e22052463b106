#include "tools/kestrel_check/status.h"

#include <sys/stat.h>

#include <cinttypes>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <map>
#include <utility>

#include "support/clock.h"
#include "support/counters.h"

namespace kestrel {
namespace {

// A meter older than this many metrics intervals without an answer, while
// asked, counts as failing; so does a file not written for as long.
constexpr double kIntervalsBeforeFailing = 4;
constexpr long long kSecondsPerMinute = 60;
constexpr long long kSecondsPerHour = 3600;
constexpr double kMsPerSecond = 1000;

// The reasons as the table shows them, in the order of its columns.
constexpr Outcome kReasons[] = {Outcome::kSilence, Outcome::kException, Outcome::kCrc, Outcome::kInvalid,
                                Outcome::kNotSent};

struct MeterRow {
  double requests = 0;
  double answers = 0;
  std::map<std::string, double> unanswered;  // by reason label
  double lastAnswer = 0;  // seconds since the epoch, 0: never
  bool failing = false;    // its reads fail
  double unansweredSeconds = 0;  // asked without an answer, by the gateway's monotonic clock
  bool snapshot = false;
  double snapshotAge = 0;
};

// A Modbus link's gauges and counters (label link).
struct LinkRow {
  double up = 0;
  double connectionsLost = 0;
  double reconnects = 0;
  double droppedBytes = 0;
};

struct Metrics {
  double start = 0;
  double interval = 0;
  double writtenMonotonic = -1;  // -1: not said
  std::map<std::pair<int, std::string>, MeterRow> meters;  // by address and id
  std::map<std::string, LinkRow> links;                    // by section
  // Transactions by outcome label, by link and slave address.
  std::map<std::pair<std::string, int>, std::map<std::string, double>> slaves;
};

// One sample line: name{labels} value; the labels as name -> value.
bool ParseSample(const std::string& line, std::string& name, std::map<std::string, std::string>& labels,
                 double& value) {
  if (line.empty() || line[0] == '#') return false;
  const size_t brace = line.find('{');
  const size_t blank = line.rfind(' ');
  if (blank == std::string::npos) return false;
  name = line.substr(0, brace < blank ? brace : blank);
  labels.clear();
  for (size_t at = brace; brace < blank && at < blank && line[at] != '}';) {
    const size_t equals = line.find("=\"", at + 1);
    const size_t quote = line.find('"', equals + 2);
    if (equals == std::string::npos || quote == std::string::npos) return false;
    labels[line.substr(at + 1, equals - at - 1)] = line.substr(equals + 2, quote - equals - 2);
    at = quote + 1;
  }
  char* end = nullptr;
  value = std::strtod(line.c_str() + blank + 1, &end);
  return end != line.c_str() + blank + 1;
}

// The samples of the Modbus side, each labelled with its link.
void TakeLink(Metrics& metrics, const std::string& name, std::map<std::string, std::string>& labels, double value) {
  const std::string& link = labels["link"];
  if (name == "kestrel_modbus_transactions_total") {
    metrics.slaves[{link, std::atoi(labels["slave"].c_str())}][labels["outcome"]] = value;
    return;
  }
  LinkRow& row = metrics.links[link];
  if (name == "kestrel_modbus_link_up") row.up = value;
  if (name == "kestrel_modbus_connections_lost_total") row.connectionsLost = value;
  if (name == "kestrel_modbus_reconnects_total") row.reconnects = value;
  if (name == "kestrel_modbus_dropped_bytes_total") row.droppedBytes = value;
}

void Take(Metrics& metrics, const std::string& name, std::map<std::string, std::string>& labels, double value) {
  if (name == "kestrel_start_time_seconds") metrics.start = value;
  if (name == "kestrel_metrics_interval_seconds") metrics.interval = value;
  if (name == "kestrel_metrics_written_monotonic_seconds") metrics.writtenMonotonic = value;
  if (labels.count("link") != 0) return TakeLink(metrics, name, labels, value);
  if (labels.count("address") == 0 || labels.count("id") == 0) return;
  MeterRow& row = metrics.meters[{std::atoi(labels["address"].c_str()), labels["id"]}];
  if (name == "kestrel_meter_requests_total") row.requests = value;
  if (name == "kestrel_meter_answers_total") row.answers = value;
  if (name == "kestrel_meter_unanswered_total") row.unanswered[labels["reason"]] = value;
  if (name == "kestrel_meter_last_answer_timestamp_seconds") row.lastAnswer = value;
  if (name == "kestrel_meter_failing") row.failing = value > 0;
  if (name == "kestrel_meter_unanswered_seconds") row.unansweredSeconds = value;
  if (name == "kestrel_meter_snapshot_age_seconds") {
    row.snapshot = true;
    row.snapshotAge = value;
  }
}

// "3 h 5 min", "42 s"
std::string Duration(double seconds) {
  char text[32];
  if (seconds < 2 * kSecondsPerMinute) {
    std::snprintf(text, sizeof text, "%.0f s", seconds);
  } else if (seconds < 2 * kSecondsPerHour) {
    std::snprintf(text, sizeof text, "%.0f min", seconds / kSecondsPerMinute);
  } else {
    const long long whole = static_cast<long long>(seconds);
    std::snprintf(text, sizeof text, "%lld h %lld min", whole / kSecondsPerHour,
                  whole % kSecondsPerHour / kSecondsPerMinute);
  }
  return text;
}

// "42 s ago"; a time ahead of this clock (a calendar stepped since, here or
// in the gateway) is said to be so, never a negative duration.
std::string Ago(double now, double then) {
  return then > now ? std::string("ahead of this clock") : Duration(now - then) + " ago";
}

std::string ClockTime(double epochSeconds) {
  const time_t seconds = static_cast<time_t>(epochSeconds);
  struct tm local {};
  localtime_r(&seconds, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

// Asked and not answering for more than four intervals, as the gateway
// measures it on its monotonic clock: the calendar's time stamps play no
// part, so a clock stepped back or forth changes no verdict.
bool Failing(const Metrics& metrics, const MeterRow& row) {
  return row.unansweredSeconds > kIntervalsBeforeFailing * metrics.interval;
}

const char* Verdict(const Metrics& metrics, const MeterRow& row) {
  if (Failing(metrics, row)) return "  FAILING";
  return row.failing ? "  reads failing" : "";
}

// Not written for more than four intervals. The file's time of change is
// calendar time, which a step of the calendar since misleads; the
// monotonic time it was written at overrules it, where the gateway said it
// and it is not ahead of this machine's clock (as it is in a file written
// before the machine started again).
bool Stale(const Metrics& metrics, double calendarAge) {
  const double limit = kIntervalsBeforeFailing * metrics.interval;
  const double now = static_cast<double>(NowMs()) / kMsPerSecond;
  const bool monotonicKnown = metrics.writtenMonotonic >= 0 && metrics.writtenMonotonic <= now;
  return monotonicKnown ? now - metrics.writtenMonotonic > limit : calendarAge > limit;
}

void PrintMeter(const Metrics& metrics, const std::pair<int, std::string>& key, const MeterRow& row, double now,
                FILE* out) {
  std::fprintf(out, "%7d  %-8s %9.0f %9.0f", key.first, key.second.c_str(), row.requests, row.answers);
  for (Outcome reason : kReasons) {
    const auto count = row.unanswered.find(OutcomeLabel(reason));
    std::fprintf(out, " %9.0f", count == row.unanswered.end() ? 0.0 : count->second);
  }
  if (row.lastAnswer > 0) {
    std::fprintf(out, "  %s (%s)", ClockTime(row.lastAnswer).c_str(), Ago(now, row.lastAnswer).c_str());
  } else {
    std::fprintf(out, "  never");
  }
  if (row.snapshot) std::fprintf(out, "; values %.1f s old", row.snapshotAge);
  std::fprintf(out, "%s\n", Verdict(metrics, row));
}

// Per link whether it is up and what befell its connection and line, then
// per link and slave its transactions by outcome; nothing for a file
// without them.
void PrintLinks(const Metrics& metrics, FILE* out) {
  for (const auto& link : metrics.links) {
    const LinkRow& row = link.second;
    std::fprintf(out, "link %s: %s; connections lost %.0f, made again %.0f; late or unrequested bytes dropped %.0f\n",
                 link.first.c_str(), row.up > 0 ? "up" : "DOWN", row.connectionsLost,
                 row.reconnects, row.droppedBytes);
  }
  if (metrics.slaves.empty()) return;
  std::fprintf(out, "%-20s slave", "link");
  for (int outcome = 0; outcome < kOutcomeCount; ++outcome) {
    std::fprintf(out, " %9s", OutcomeLabel(static_cast<Outcome>(outcome)));
  }
  std::fprintf(out, "\n");
  for (const auto& slave : metrics.slaves) {
    std::fprintf(out, "%-20s %5d", slave.first.first.c_str(), slave.first.second);
    for (int outcome = 0; outcome < kOutcomeCount; ++outcome) {
      const auto count = slave.second.find(OutcomeLabel(static_cast<Outcome>(outcome)));
      std::fprintf(out, " %9.0f", count == slave.second.end() ? 0.0 : count->second);
    }
    std::fprintf(out, "\n");
  }
}

}  // namespace

int PrintStatus(const std::string& metricsFile, FILE* out) {
  std::ifstream file(metricsFile);
  struct stat status;
  if (!file || stat(metricsFile.c_str(), &status) != 0) {
    std::fprintf(out, "%s: cannot be read: is [Main] metrics_file set, and the gateway running?\n",
                 metricsFile.c_str());
    return 1;
  }
  Metrics metrics;
  std::string line;
  std::string name;
  std::map<std::string, std::string> labels;
  double value = 0;
  while (std::getline(file, line)) {
    if (ParseSample(line, name, labels, value)) Take(metrics, name, labels, value);
  }
  if (metrics.interval <= 0) {
    std::fprintf(out, "%s: not a metrics file of the gateway\n", metricsFile.c_str());
    return 1;
  }
  const double now = static_cast<double>(std::time(nullptr));
  const double age = now - static_cast<double>(status.st_mtime);
  std::fprintf(out, "%s: written %s (every %.0f s); gateway running since %s (%s)\n", metricsFile.c_str(),
               Ago(now, static_cast<double>(status.st_mtime)).c_str(), metrics.interval,
               ClockTime(metrics.start).c_str(), Ago(now, metrics.start).c_str());
  std::fprintf(out, "address  id        requests  answered   silence exception       crc   invalid  not_sent  "
                    "last answer\n");
  int failing = 0;
  for (const auto& meter : metrics.meters) {
    PrintMeter(metrics, meter.first, meter.second, now, out);
    failing += Failing(metrics, meter.second) ? 1 : 0;
  }
  PrintLinks(metrics, out);
  const bool stale = Stale(metrics, age);
  if (stale) std::fprintf(out, "the file is no longer written: is the gateway running?\n");
  if (failing > 0) {
    std::fprintf(out, "%d meter(s) asked but not answering for more than %.0f s\n", failing,
                 kIntervalsBeforeFailing * metrics.interval);
  }
  return stale || failing > 0 ? 1 : 0;
}

}  // namespace kestrel
