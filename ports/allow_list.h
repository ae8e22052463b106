#pragma once
// The peers a socket port takes: key allow of its section, a comma-separated
// list of IPv4 addresses and CIDR ranges ("10.0.0.7, 192.168.1.0/24").
// Without the key every peer is taken.
#include <netinet/in.h>

#include <cstdint>
#include <string>

namespace kestrel {

constexpr int kMaxAllowEntries = 32;

struct AllowRange {
  uint32_t network = 0;  // host order, host bits cleared
  uint32_t mask = 0;
};

struct AllowList {
  bool restricted = false;  // false: every peer
  int count = 0;
  AllowRange ranges[kMaxAllowEntries];
};

// false, with the offending entry in badEntry, for an empty list or entry,
// anything but a dotted quad of 0..255 with an optional /0../32, or more
// than kMaxAllowEntries entries.
bool ParseAllowList(const std::string& text, AllowList& list, std::string& badEntry);

bool IsAllowed(const AllowList& list, const sockaddr_in& peer);

// "a.b.c.d" of a peer, for the trace lines about refused peers.
struct DottedQuad {
  char text[16];
};
DottedQuad Dotted(const sockaddr_in& address);

}  // namespace kestrel
