#pragma once
// What InitSocket of the TCP and UDP ports has in common: the local and
// remote addresses, checked and logged.
#include <netinet/in.h>

#include <string>

namespace kestrel {

struct SocketEnds {
  sockaddr_in local{};
  sockaddr_in remote{};
};

// protocol is "TCP" or "UDP" (for the log lines and the UDP-only wording of
// an unresolvable host); localPort is already chosen by the caller.
bool ResolveSocketEnds(const char* protocol, const std::string& localInterface, uint16_t localPort,
                       const std::string& remoteHost, uint16_t remotePort, bool server, SocketEnds& ends);

}  // namespace kestrel
