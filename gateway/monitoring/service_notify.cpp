#include "gateway/monitoring/service_notify.h"

#include <systemd/sd-daemon.h>

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "support/clock.h"

namespace kestrel {
namespace {

constexpr int64_t kMsPerMinute = 60000;
// The status goes out at most this often, sooner after a change than when
// only the minutes it counts move on.
constexpr int64_t kBusyStatusMs = 1000;
constexpr int64_t kIdleStatusMs = kMsPerMinute;
constexpr int kFailingNamed = 5;  // more are counted, not named

int64_t StatusDueMs(const Monitoring& monitoring) {
  const ServiceNotify& notify = monitoring.notify;
  const bool changed = monitoring.changes != notify.changesAtStatus;
  return notify.statusSentMs + (changed ? kBusyStatusMs : kIdleStatusMs);
}

const char* SlaveState(Outcome outcome) {
  switch (outcome) {
    case Outcome::kOk: break;
    case Outcome::kException: return "exception";
    case Outcome::kSilence: return "silent";
    case Outcome::kCrc: return "wrong CRC";
    case Outcome::kInvalid: return "invalid answer";
    case Outcome::kNotSent: return "not reached";
  }
  return "answers";
}

// The failing meters and slaves, the first few by name.
class FailingList {
 public:
  __attribute__((format(printf, 2, 3))) void Add(const char* format, ...) {
    if (count_++ >= kFailingNamed) return;
    char item[96];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(item, sizeof item, format, arguments);
    va_end(arguments);
    text_ += (count_ > 1 ? ", " : "; failing: ") + std::string(item);
  }
  std::string Text() const {
    if (count_ <= kFailingNamed) return text_;
    return text_ + " and " + std::to_string(count_ - kFailingNamed) + " more";
  }

 private:
  std::string text_;
  int count_ = 0;
};

void SendStatus(ServiceNotify& notify, const std::string& status) {
  if (status == notify.status) return;
  notify.status = status;
  sd_notify(0, ("STATUS=" + status).c_str());
}

}  // namespace

void StartServiceNotify(ServiceNotify& notify) {
  notify.on = std::getenv("NOTIFY_SOCKET") != nullptr;
  uint64_t usec = 0;
  if (notify.on && sd_watchdog_enabled(0, &usec) > 0) notify.watchdogUs = static_cast<int64_t>(usec / 2);
}

void NotifyReady(Gateway& gateway) {
  ServiceNotify& notify = gateway.monitoring.notify;
  if (!notify.on) return;
  notify.status = StatusText(gateway);
  notify.statusSentMs = NowMs();
  notify.changesAtStatus = gateway.monitoring.changes;
  sd_notify(0, ("READY=1\nSTATUS=" + notify.status).c_str());
}

void NotifyStopping(const Gateway& gateway) {
  if (gateway.monitoring.notify.on) sd_notify(0, "STOPPING=1");
}

void NotifyIfDue(Gateway& gateway) {
  ServiceNotify& notify = gateway.monitoring.notify;
  if (!notify.on) return;
  if (notify.watchdogUs > 0 && NowUs() >= notify.watchdogDueUs) {
    sd_notify(0, "WATCHDOG=1");
    notify.watchdogDueUs = NowUs() + notify.watchdogUs;
  }
  if (NowMs() < StatusDueMs(gateway.monitoring)) return;
  notify.statusSentMs = NowMs();
  notify.changesAtStatus = gateway.monitoring.changes;
  SendStatus(notify, StatusText(gateway));
}

void WatchServiceNotify(const Gateway& gateway, WaitSet& wait) {
  const ServiceNotify& notify = gateway.monitoring.notify;
  if (!notify.on) return;
  if (notify.watchdogUs > 0) wait.DueAtUs(notify.watchdogDueUs);
  wait.DueAtUs(StatusDueMs(gateway.monitoring) * kUsPerMs);
}

std::string StatusText(const Gateway& gateway) {
  const Monitoring& monitoring = gateway.monitoring;
  const RecentMinutes& recent = monitoring.recent;
  const int64_t minute = NowMs() / kMsPerMinute;
  uint64_t requests = 0;
  uint64_t answers = 0;
  for (int slot = 0; slot < RecentMinutes::kMinutes; ++slot) {
    if (minute - recent.minute[static_cast<size_t>(slot)] >= RecentMinutes::kMinutes) continue;
    requests += recent.requests[static_cast<size_t>(slot)];
    answers += recent.answers[static_cast<size_t>(slot)];
  }
  char head[160];
  const size_t meters = gateway.model.meters.size();
  std::snprintf(head, sizeof head, "%zu meter%s; last %d min: %" PRIu64 " requests, %" PRIu64 " answered", meters,
                meters == 1 ? "" : "s", RecentMinutes::kMinutes, requests, answers);
  FailingList failing;
  for (size_t series = 0; series < monitoring.meters.size(); ++series) {
    const Meter& meter = gateway.model.meters[monitoring.firstMeterOf[series]];
    if (monitoring.meters[series].failing) failing.Add("meter %u (%s)", meter.primaryAddress, IdDigitsOf(meter).text);
  }
  // The first link's slaves as they always were; those of the others, and
  // a link that is down, by the link's name.
  for (const std::unique_ptr<Link>& link : gateway.links) {
    const LineCounters& line = link->line.counters;
    for (unsigned slave = 0; slave < 256; ++slave) {
      const Outcome last = line.lastOutcome[slave];
      if (last == Outcome::kOk) continue;
      if (link->name.empty()) {
        failing.Add("slave %u %s", slave, SlaveState(last));
      } else {
        failing.Add("slave %u on link %s %s", slave, link->name.c_str(), SlaveState(last));
      }
    }
    if (!link->name.empty() && !LinkUp(*link)) failing.Add("link %s down", link->name.c_str());
  }
  return head + failing.Text();
}

}  // namespace kestrel
