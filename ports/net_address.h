#pragma once
// IPv4 addresses for the socket ports, as 32-bit numbers in host order
// (first octet in the top byte). 0 means any (local) or none (remote).
#include <netinet/in.h>

#include <cstdint>
#include <string>

namespace kestrel {

// 255.255.255.255: no local address a port can bind to, and no peer.
constexpr uint32_t kBroadcastAddress = 0xFFFFFFFF;

// The address of a network interface; "" or "all" (any case) gives 0.
// 1 on success, -1 (address unchanged) when there is no such interface.
int InterfaceAddress(const std::string& name, uint32_t& address);

// A dotted quad ("%u.%u.%u.%u", numbers above 255 spill into the octet above)
// or a host name. 0 on success ("" gives 0.0.0.0), -1 when it does not resolve.
int ResolveHost(const std::string& text, uint32_t& address);

// An AF_INET socket address from a host-order address and port.
sockaddr_in SocketAddress(uint32_t address, uint16_t port);

// Writes "<prefix> = a.b.c.d, Port = p\n" to the start-up log.
void LogSocketAddress(const char* prefix, const sockaddr_in& address);

}  // namespace kestrel
