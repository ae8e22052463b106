#include "ports/TTCP.h"

#include <fcntl.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "ports/socket_setup.h"
#include "support/logs.h"

namespace kestrel {
namespace {

constexpr int kListenBacklog = 10;

void ShutAndClose(int& socket) {
  if (socket < 0) return;
  shutdown(socket, SHUT_RDWR);
  close(socket);
  socket = -1;
}

}  // namespace

TTCP::~TTCP() { Close(); }

bool TTCP::InitSocket(const std::string& localInterface, uint16_t localPort, const std::string& remoteHost,
                      uint16_t remotePort, bool server) {
  server_ = server;
  LogStartup(server ? "Port is server\n" : "Port is client\n");
  SocketEnds ends;
  if (!ResolveSocketEnds("TCP", localInterface, localPort, remoteHost, remotePort, server, ends)) return false;
  local_ = ends.local;
  remote_ = ends.remote;
  return true;
}

bool TTCP::SetTimeout(int seconds) {
  reconnectTimeout_ = seconds;
  return true;
}

bool TTCP::Open() {
  firstFailure_ = 0;
  Close();  // a socket held before is released, never leaked
  main_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (main_ < 0) {
    LogStartup("Error: Could not create socket\n");
    return false;
  }
  if (!(server_ ? OpenServer() : OpenClient())) return false;
  client_ = -1;
  highest_ = 0;
  mainLive_ = true;
  return true;
}

bool TTCP::OpenServer() {
  // Deliberate: "Port is server" was logged by InitSocket already; the second
  // line at every Open is the gateway's own start-up log, kept as it is.
  LogStartup("Port is server\n");
  const int reuse = 1;
  if (setsockopt(main_, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse) != 0) {
    LogStartup("Error: Could not set socket option REUSEADDR\n");
    return false;
  }
  const int bound = bind(main_, reinterpret_cast<const sockaddr*>(&local_), sizeof local_);
  LogStartup("Bind returns %d\n", bound);
  if (bound == -1) {
    LogStartup("Error: Could not bind port\n");
    return false;
  }
  const int listening = listen(main_, kListenBacklog);
  LogStartup("Listen returns %d\n", listening);
  if (listening == -1) {
    LogStartup("Error: Listen returned error\n");
    return false;
  }
  // accept must not hang when a connection vanishes between select and accept.
  fcntl(main_, F_SETFL, fcntl(main_, F_GETFL) | O_NONBLOCK);
  return true;
}

bool TTCP::OpenClient() {
  // Deliberate, like "Port is server": logged by InitSocket and again here.
  LogStartup("Port is client\n");
  if (connect(main_, reinterpret_cast<const sockaddr*>(&remote_), sizeof remote_) != 0 && errno != EAGAIN) {
    LogStartup("Error: Connect failed\n");
    return false;
  }
  LogStartup("Connect succeeded. Using socket %d\n", main_);
  return true;
}

bool TTCP::Close() {
  mainLive_ = false;
  ShutAndClose(main_);
  ShutAndClose(client_);
  return true;
}

void TTCP::DropClient() {
  if (client_ >= 0) FD_CLR(client_, &readSet_);
  ShutAndClose(client_);
}

// A newer connection from an allowed peer replaces the current one. Returns
// false when the peer was refused, so that the current client is still read.
bool TTCP::AcceptConnection() {
  sockaddr_in peer{};
  socklen_t length = sizeof peer;
  int incoming = accept(main_, reinterpret_cast<sockaddr*>(&peer), &length);
  if (incoming >= 0 && !IsAllowed(allow_, peer)) {
    LogTrace("TCP connection from %s refused, not in allow\n", Dotted(peer).text);
    ShutAndClose(incoming);
    return false;
  }
  DropClient();
  client_ = incoming;
  if (client_ >= 0) {
    remote_ = peer;
    FD_SET(client_, &readSet_);
  }
  return true;
}

bool TTCP::Receive(int socket, uint8_t* buffer, int maxLength, int& count) {
  const ssize_t n = recv(socket, buffer, static_cast<size_t>(maxLength), 0);
  if (n > 0) {
    count = static_cast<int>(n);
    return true;
  }
  count = 0;
  return false;
}

bool TTCP::Read(uint8_t* buffer, int maxLength, int& count) {
  count = 0;
  if (maxLength < 0 || main_ < 0) return false;
  if (main_ >= FD_SETSIZE || client_ >= FD_SETSIZE) return false;  // select cannot watch it
  FD_ZERO(&readSet_);
  FD_SET(main_, &readSet_);
  highest_ = main_;
  if (client_ >= 0) {
    FD_SET(client_, &readSet_);
    if (client_ > highest_) highest_ = client_;
  }
  timeval noWait{0, 0};
  if (select(highest_ + 1, &readSet_, nullptr, nullptr, &noWait) < 0) return false;

  if (!server_) {
    if (!FD_ISSET(main_, &readSet_)) return false;
    if (Receive(main_, buffer, maxLength, count)) return true;
    mainLive_ = false;  // closed by the server, or broken: it stays readable for ever
    return false;
  }

  // A connection taken over brings no data in this call.
  if (FD_ISSET(main_, &readSet_) && AcceptConnection()) return false;
  if (client_ >= 0 && FD_ISSET(client_, &readSet_)) {
    if (Receive(client_, buffer, maxLength, count)) return true;
    DropClient();  // closed by the client, or broken
  }
  return false;
}

bool TTCP::Write(const uint8_t* data, int length) {
  if (length < 0) return false;
  const int socket = server_ ? client_ : main_;
  if (socket < 0) return false;
  // A peer that stops reading must never block the gateway: a send that
  // would wait counts as a failed send.
  const ssize_t sent = send(socket, data, static_cast<size_t>(length), MSG_NOSIGNAL | MSG_DONTWAIT);
  if (!server_ || sent >= 0) return true;
  const time_t now = time(nullptr);
  if (firstFailure_ == 0) {
    firstFailure_ = now;
  } else if (now - firstFailure_ > reconnectTimeout_) {
    Close();
    Open();  // a fresh listening socket
  }
  return true;
}

void TTCP::WatchInput(WaitSet& wait) {
  if (mainLive_) wait.WatchReadable(main_);  // server: a newer master's connection
  wait.WatchReadable(client_);
}

}  // namespace kestrel
