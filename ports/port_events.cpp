#include "ports/port_events.h"

#include <arpa/inet.h>

#include <cstring>

#include "ports/allow_list.h"
#include "support/clock.h"
#include "support/events.h"

namespace kestrel {
namespace {

EventPace gRefusedPeers;  // both sides' ports, by address

}  // namespace

void NotePeerRefused(PortCounters& counters, const char* what, const sockaddr_in& peer) {
  ++counters.peersRefused;
  if (!EventsOn() || !gRefusedPeers.Due(peer.sin_addr.s_addr, NowMs())) return;
  LogEvent(EventPriority::kWarning, "%s from %s refused, not in allow (told once a minute per address)", what,
           Dotted(peer).text);
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
