#include "ports/socket_setup.h"

#include <cstdio>
#include <cstring>

#include "ports/net_address.h"
#include "support/logs.h"

namespace kestrel {
bool ResolveSocketEnds(const char* protocol, const std::string& localInterface, uint16_t localPort,
                       const std::string& remoteHost, uint16_t remotePort, bool server, SocketEnds& ends) {
  const bool udp = std::strcmp(protocol, "UDP") == 0;
  uint32_t remote = 0;
  if (!remoteHost.empty()) {
    if (ResolveHost(remoteHost, remote) != 0) {
      if (udp) {
        LogStartup("Remote IP is in wrong format %s\n", remoteHost.c_str());
      } else {
        LogStartup("Remote IP is in wrong format\n");
      }
      return false;
    }
  } else if (!server) {
    LogStartup("Client ports must have remote IP's\n");
    return false;
  }
  uint32_t local = 0;
  InterfaceAddress(localInterface, local);  // an unknown interface binds to any address
  ends.local = SocketAddress(local, localPort);
  if (local == kBroadcastAddress) return false;
  ends.remote = SocketAddress(remote, remote != 0 ? remotePort : 0);

  char prefix[32];
  std::snprintf(prefix, sizeof prefix, "%s: Local  IP", protocol);
  LogSocketAddress(prefix, ends.local);
  std::snprintf(prefix, sizeof prefix, "%s: Remote IP", protocol);
  LogSocketAddress(prefix, ends.remote);
  return true;
}

}  // namespace kestrel
