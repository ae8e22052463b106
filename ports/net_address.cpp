#include "ports/net_address.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netdb.h>
#include <strings.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "support/logs.h"

namespace kestrel {

int InterfaceAddress(const std::string& name, uint32_t& address) {
  if (name.empty() || strcasecmp(name.c_str(), "all") == 0) {
    address = 0;
    return 1;
  }
  const int query = socket(AF_INET, SOCK_DGRAM, 0);
  ifreq request{};
  request.ifr_addr.sa_family = AF_INET;
  std::strncpy(request.ifr_name, name.c_str(), IFNAMSIZ - 1);
  const bool found = query >= 0 && ioctl(query, SIOCGIFADDR, &request) == 0;
  if (query >= 0) close(query);
  if (!found) {
    LogStartup("Error: Interface not found!\n");
    return -1;
  }
  sockaddr_in interfaceAddress;
  std::memcpy(&interfaceAddress, &request.ifr_addr, sizeof interfaceAddress);
  address = ntohl(interfaceAddress.sin_addr.s_addr);
  LogStartup("%s - %s\n", name.c_str(), inet_ntoa(interfaceAddress.sin_addr));
  return 1;
}

int ResolveHost(const std::string& text, uint32_t& address) {
  if (text.empty()) {
    address = 0;
    return 0;
  }
  unsigned a, b, c, d;
  if (std::sscanf(text.c_str(), "%u.%u.%u.%u", &a, &b, &c, &d) == 4) {
    address = a << 24 | b << 16 | c << 8 | d;
    return 0;
  }
  const hostent* host = gethostbyname(text.c_str());
  if (host == nullptr || host->h_addrtype != AF_INET || host->h_length != 4 ||
      host->h_addr_list[0] == nullptr) {
    return -1;
  }
  uint32_t networkOrder;
  std::memcpy(&networkOrder, host->h_addr_list[0], sizeof networkOrder);
  address = ntohl(networkOrder);
  return 0;
}

sockaddr_in SocketAddress(uint32_t address, uint16_t port) {
  sockaddr_in socketAddress{};
  socketAddress.sin_family = AF_INET;
  socketAddress.sin_addr.s_addr = htonl(address);
  socketAddress.sin_port = htons(port);
  return socketAddress;
}

void LogSocketAddress(const char* prefix, const sockaddr_in& address) {
  const uint32_t a = ntohl(address.sin_addr.s_addr);
  LogStartup("%s = %d.%d.%d.%d, Port = %u\n", prefix, static_cast<int>(a >> 24), static_cast<int>(a >> 16 & 0xFF),
             static_cast<int>(a >> 8 & 0xFF), static_cast<int>(a & 0xFF), static_cast<unsigned>(ntohs(address.sin_port)));
}

}  // namespace kestrel
