#include "ports/port_events.h"

#include <arpa/inet.h>

#include <cinttypes>
#include <cstring>

#include "ports/allow_list.h"
#include "support/clock.h"
#include "support/events.h"

namespace kestrel {
namespace {

// Both sides' ports, by address, for each kind of refusal.
struct RefusedPeers {
  const char* what;
  EventPace pace;
};
RefusedPeers gRefused[] = {{"TCP connection", {}}, {"UDP datagram", {}}};

RefusedPeers& RefusedPeersOf(Refused what) { return gRefused[what == Refused::kTcpConnection ? 0 : 1]; }

}  // namespace

void NotePeerRefused(PortCounters& counters, Refused what, const sockaddr_in& peer) {
  ++counters.peersRefused;
  if (!EventsOn()) return;
  const int64_t now = NowMs();
  RefusedPeers& refused = RefusedPeersOf(what);
  if (refused.pace.Due(peer.sin_addr.s_addr, now)) {
    LogEvent(EventPriority::kWarning, "%s from %s refused, not in allow (told once a minute per address)",
             refused.what, Dotted(peer).text);
  }
  TellFoldedRefusals(now);
}

void TellFoldedRefusals(int64_t nowMs) {
  EventPace::Folded folded;
  for (RefusedPeers& refused : gRefused) {
    if (!refused.pace.FoldedDue(nowMs, folded)) continue;
    LogEvent(EventPriority::kWarning, "%ss refused from %s%d more addresses in the last minute: %" PRIu64,
             refused.what, folded.moreKeys ? "over " : "", folded.keys, folded.events);
  }
}

int64_t FoldedRefusalsDueMs() {
  int64_t due = -1;
  for (const RefusedPeers& refused : gRefused) {
    const int64_t at = refused.pace.FoldedDueMs();
    if (at >= 0 && (due < 0 || at < due)) due = at;
  }
  return due;
}

void NoteSender(PortCounters& counters, const sockaddr_in& sender, const sockaddr_in& last) {
  if (sender.sin_addr.s_addr != last.sin_addr.s_addr || sender.sin_port != last.sin_port) ++counters.peersAccepted;
}

void NoteConnectionLost(PortCounters& counters, const sockaddr_in& remote) {
  ++counters.connectionsLost;
  counters.connectionLost = true;
  LogEvent(EventPriority::kWarning, "Modbus TCP connection to %s:%u lost", Dotted(remote).text,
           ntohs(remote.sin_port));
}

void NoteConnected(PortCounters& counters, const sockaddr_in& remote) {
  if (!counters.connectionLost) return;
  counters.connectionLost = false;
  ++counters.reconnects;
  LogEvent(EventPriority::kNotice, "Modbus TCP connected to %s:%u again", Dotted(remote).text,
           ntohs(remote.sin_port));
}

void NoteAcceptShortage(int error, long long longestRestMs) {
  LogEvent(EventPriority::kError, "TCP connections not accepted (%s): the listener rests up to %lld ms at a time "
           "while this lasts", std::strerror(error), longestRestMs);
}

}  // namespace kestrel
