#include "ports/TUDP.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "ports/net_address.h"
#include "ports/port_events.h"
#include "ports/socket_setup.h"
#include "support/logs.h"

namespace kestrel {
TUDP::~TUDP() { Close(); }

bool TUDP::InitSocket(const std::string& localInterface, uint16_t localPort, const std::string& remoteHost,
                      uint16_t remotePort, bool server) {
  server_ = server;
  SocketEnds ends;
  // A client binds any free port; only a server binds the configured one.
  if (!ResolveSocketEnds("UDP", localInterface, server ? localPort : 0, remoteHost, remotePort, server, ends)) {
    return false;
  }
  local_ = ends.local;
  remote_ = ends.remote;
  return true;
}

bool TUDP::Open() {
  Close();
  lastSender_ = SocketAddress(kBroadcastAddress, 0);
  socket_ = socket(AF_INET, SOCK_DGRAM, 0);
  if (socket_ < 0) return false;
  if (fcntl(socket_, F_SETFL, O_NONBLOCK) != 0 ||
      bind(socket_, reinterpret_cast<const sockaddr*>(&local_), sizeof local_) != 0) {
    Close();
    return false;
  }
  return true;
}

bool TUDP::Close() {
  if (socket_ < 0) return true;
  const bool closed = close(socket_) == 0;
  socket_ = -1;
  return closed;
}

bool TUDP::Write(const uint8_t* data, int length) {
  if (length < 0 || socket_ < 0) return false;
  const sockaddr_in& to = remote_.sin_addr.s_addr != 0 ? remote_ : lastSender_;
  const ssize_t sent = sendto(socket_, data, static_cast<size_t>(length), 0,
                              reinterpret_cast<const sockaddr*>(&to), sizeof to);
  return sent == length;
}

bool TUDP::Read(uint8_t* buffer, int maxLength, int& count) {
  count = 0;
  if (maxLength < 0 || socket_ < 0) return false;
  sockaddr_in sender{};
  socklen_t length = sizeof sender;
  const ssize_t n = recvfrom(socket_, buffer, static_cast<size_t>(maxLength), 0,
                             reinterpret_cast<sockaddr*>(&sender), &length);
  if (n < 0) return false;
  if (!IsAllowed(allow_, sender)) {
    LogTrace("UDP datagram from %s dropped, not in allow\n", Dotted(sender).text);
    NotePeerRefused(counters_, Refused::kUdpDatagram, sender);
    return false;
  }
  NoteSender(counters_, sender, lastSender_);
  lastSender_ = sender;
  const uint32_t configured = remote_.sin_addr.s_addr;
  if (configured != 0 && configured != SocketAddress(kBroadcastAddress, 0).sin_addr.s_addr &&
      sender.sin_addr.s_addr != configured) {
    return false;  // not our peer; ports are not compared
  }
  count = static_cast<int>(n);
  return true;
}

}  // namespace kestrel
