#include "gateway/monitoring/service_notify.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "support/clock.h"

namespace kestrel {
namespace {

constexpr int64_t kMsPerMinute = 60000;
// The status goes out at most this often, sooner after a change than when
// only the minutes it counts move on.
constexpr int64_t kBusyStatusMs = 1000;
constexpr int64_t kIdleStatusMs = kMsPerMinute;
constexpr int kFailingNamed = 5;  // more are counted, not named
// NOTIFY_SOCKET's first character: a path, or a name in the abstract
// namespace, whose first byte is a zero byte in the address.
constexpr char kPathStart = '/';
constexpr char kAbstractStart = '@';

// The socket NOTIFY_SOCKET names; false for anything else (an empty or too
// long name, another kind of address).
bool NotifyAddressOf(const char* name, sockaddr_un& address, socklen_t& length) {
  const size_t size = std::strlen(name);
  if (size < 2 || size >= sizeof address.sun_path || (name[0] != kPathStart && name[0] != kAbstractStart)) {
    return false;
  }
  address = sockaddr_un{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, name, size);
  if (name[0] == kAbstractStart) address.sun_path[0] = '\0';
  length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + size);
  return true;
}

// WATCHDOG_USEC, when it is meant for this process (WATCHDOG_PID, where
// set, names it); 0: no watchdog.
int64_t WatchdogUsOfEnvironment() {
  const char* usec = std::getenv("WATCHDOG_USEC");
  const char* pid = std::getenv("WATCHDOG_PID");
  if (usec == nullptr || (pid != nullptr && std::strtoll(pid, nullptr, 10) != getpid())) return 0;
  char* end = nullptr;
  const long long us = std::strtoll(usec, &end, 10);
  return end != usec && *end == '\0' && us > 0 ? us : 0;
}

// One datagram of KEY=VALUE lines, never waiting: a socket whose reader
// has stopped (its queue full) drops the notification, never the loop.
bool Notify(ServiceNotify& notify, const std::string& message) {
  const ssize_t sent = sendto(notify.socket, message.data(), message.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                              reinterpret_cast<const sockaddr*>(&notify.address), notify.addressLength);
  if (sent == static_cast<ssize_t>(message.size())) return true;
  ++notify.dropped;
  return false;
}

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

// A status the socket dropped goes again when the next one is due.
void SendStatus(ServiceNotify& notify, const std::string& status) {
  if (status != notify.status && Notify(notify, "STATUS=" + status)) notify.status = status;
}

// systemd takes MONOTONIC_USEC by its own clock, CLOCK_MONOTONIC (not
// the _RAW one the gateway's timers run on).
uint64_t ServiceManagerClockUs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

}  // namespace

void StartServiceNotify(ServiceNotify& notify) {
  const char* name = std::getenv("NOTIFY_SOCKET");
  if (name == nullptr || !NotifyAddressOf(name, notify.address, notify.addressLength)) return;
  notify.socket = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  notify.on = notify.socket >= 0;
  if (notify.on) notify.watchdogUs = WatchdogUsOfEnvironment() / 2;
}

void NotifyReady(Gateway& gateway) {
  ServiceNotify& notify = gateway.monitoring.notify;
  if (!notify.on) return;
  notify.status = StatusText(gateway);
  notify.statusSentMs = NowMs();
  notify.changesAtStatus = gateway.monitoring.changes;
  Notify(notify, "READY=1\nSTATUS=" + notify.status);
}

void NotifyReloading(Gateway& gateway) {
  ServiceNotify& notify = gateway.monitoring.notify;
  if (notify.on) Notify(notify, "RELOADING=1\nMONOTONIC_USEC=" + std::to_string(ServiceManagerClockUs()));
}

void NotifyStopping(Gateway& gateway) {
  ServiceNotify& notify = gateway.monitoring.notify;
  if (notify.on) Notify(notify, "STOPPING=1");
}

void NotifyIfDue(Gateway& gateway) {
  ServiceNotify& notify = gateway.monitoring.notify;
  if (!notify.on) return;
  if (notify.watchdogUs > 0 && NowUs() >= notify.watchdogDueUs) {
    Notify(notify, "WATCHDOG=1");
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
  // Until a reload succeeds: the configuration in use is not the one in the files.
  const char* reload = monitoring.reloads.lastRefused ? "; reload refused, see the journal" : "";
  return head + failing.Text() + reload;
}

}  // namespace kestrel
