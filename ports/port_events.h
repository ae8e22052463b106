#pragma once
// What a socket port counts about its peers and its connection, and the
// events it gives (see support/events.h): a refused peer (at most once a
// minute per address; addresses beyond what that memory holds told
// together, once a minute), a Modbus TCP connection lost and made again, a
// listener that cannot accept for want of resources.
#include <netinet/in.h>

#include <cstdint>

#include "support/counters.h"

namespace kestrel {

// What a refused peer sent.
enum class Refused { kTcpConnection, kUdpDatagram };
void NotePeerRefused(PortCounters& counters, Refused what, const sockaddr_in& peer);
// The refusals folded together, told when their minute is over; when that is
// next due (-1: nothing folded).
void TellFoldedRefusals(int64_t nowMs);
int64_t FoldedRefusalsDueMs();

// A datagram from sender, allowed: a peer taken when it is another than the last.
void NoteSender(PortCounters& counters, const sockaddr_in& sender, const sockaddr_in& last);

void NoteConnectionLost(PortCounters& counters, const sockaddr_in& remote);
// Counts and tells only a connection made again after one was lost.
void NoteConnected(PortCounters& counters, const sockaddr_in& remote);

// The first failed accept of an episode of shortage (error: its errno), the
// listener resting up to longestRestMs at a time while it lasts.
void NoteAcceptShortage(int error, long long longestRestMs);

}  // namespace kestrel
