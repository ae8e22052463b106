#include "ports/TTCP.h"

#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "ports/port_events.h"
#include "ports/socket_setup.h"
#include "support/clock.h"
#include "support/logs.h"

namespace kestrel {
namespace {

constexpr int kListenBacklog = 10;
constexpr int64_t kMsPerSecond = 1000;
// How long the listener rests after accept failed for want of resources:
// the first time, and at most, however long the shortage lasts.
constexpr int64_t kFirstAcceptRestMs = 100;
constexpr int64_t kLongestAcceptRestMs = 2000;

void ShutAndClose(int& socket) {
  if (socket < 0) return;
  shutdown(socket, SHUT_RDWR);
  close(socket);
  socket = -1;
}

// accept fails so while the process or the system has no descriptor or
// memory to spare; the connection stays queued and the listener readable.
bool ShortOfResources(int error) {
  return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

// A peek: the peer closed (0) or reset the connection; bytes waiting or
// none yet leave it as it is.
bool PeerClosed(int socket) {
  uint8_t byte = 0;
  const ssize_t n = recv(socket, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
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

bool TTCP::Open() {
  firstFailure_ = 0;
  acceptRestEndMs_ = acceptRestMs_ = 0;
  Close();  // a socket held before is released, never leaked
  if (Reconnects()) return OpenReconnectingClient();
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
  KeepSpare();
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

// The start-up connect of a client that reconnects: begun here and
// finished by a later call. The port is usable even when the server is
// down: the connect is tried again when a request needs it.
bool TTCP::OpenReconnectingClient() {
  LogStartup("Port is client\n");
  StartConnect();
  if (main_ < 0) {
    LogStartup("Connect failed, trying again every %d s\n", reconnectSeconds_);
  } else {
    LogStartup("Connect %s. Using socket %d\n", connecting_ ? "begun" : "succeeded", main_);
  }
  client_ = -1;
  highest_ = 0;
  return true;
}

bool TTCP::ConnectDue() const {
  return !connectBegun_ || NowMs() - connectStartMs_ >= reconnectSeconds_ * kMsPerSecond;
}

void TTCP::StartConnect() {
  connectBegun_ = true;
  connectStartMs_ = NowMs();
  main_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, IPPROTO_TCP);
  if (main_ < 0) {
    ConnectFailed(errno);
    return;
  }
  connecting_ = connect(main_, reinterpret_cast<const sockaddr*>(&remote_), sizeof remote_) != 0;
  if (!connecting_) {
    TraceConnected();
  } else if (errno != EINPROGRESS) {
    ConnectFailed(errno);
  } else {
    FinishConnect();  // over loopback it is often done already
  }
}

// A connect under way is done when the socket turns writable; one that
// takes longer than the reconnect time is given up, so that the next can
// begin.
void TTCP::FinishConnect() {
  pollfd writable{main_, POLLOUT, 0};
  if (poll(&writable, 1, 0) <= 0) {
    if (ConnectDue()) ConnectFailed(ETIMEDOUT);
    return;
  }
  int error = 0;
  socklen_t length = sizeof error;
  if (getsockopt(main_, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
  if (error != 0) {
    ConnectFailed(error);
    return;
  }
  connecting_ = false;
  TraceConnected();
}

void TTCP::TraceConnected() {
  LogTrace("Modbus TCP connected to %s:%u%s\n", Dotted(remote_).text, ntohs(remote_.sin_port), TraceLabel());
  NoteConnected(counters_, remote_);
}

void TTCP::ConnectFailed(int error) {
  LogTrace("Modbus TCP connect to %s:%u failed (%s)%s\n", Dotted(remote_).text, ntohs(remote_.sin_port),
           std::strerror(error), TraceLabel());
  ShutAndClose(main_);
  connecting_ = false;
}

void TTCP::LoseConnection() {
  LogTrace("Modbus TCP connection lost%s\n", TraceLabel());
  NoteConnectionLost(counters_, remote_);
  ShutAndClose(main_);
}

bool TTCP::Connected() {
  if (!Reconnects()) return true;
  if (main_ >= 0 && !connecting_ && PeerClosed(main_)) LoseConnection();
  if (connecting_) FinishConnect();
  if (main_ < 0 && ConnectDue()) StartConnect();
  return main_ >= 0 && !connecting_;
}

bool TTCP::Close() {
  mainLive_ = false;
  ShutAndClose(main_);
  ShutAndClose(client_);
  if (spare_ >= 0) close(spare_);  // a duplicate: closing it leaves the listener as it is
  spare_ = -1;
  connecting_ = false;
  return true;
}

// Its descriptor goes to the spare first, when that was given up.
void TTCP::DropClient() {
  if (client_ >= 0) FD_CLR(client_, &readSet_);
  ShutAndClose(client_);
  KeepSpare();
}

void TTCP::KeepSpare() {
  if (server_ && spare_ < 0 && main_ >= 0) spare_ = fcntl(main_, F_DUPFD_CLOEXEC, 0);
}

// With the descriptor table full, the spare makes room for one connection:
// with that the newer master can be judged and take over, which frees the
// connected one's descriptor for the spare again.
int TTCP::AcceptWithSpare(sockaddr_in& peer) {
  socklen_t length = sizeof peer;
  const int incoming = accept(main_, reinterpret_cast<sockaddr*>(&peer), &length);
  if (incoming >= 0 || errno != EMFILE || spare_ < 0) return incoming;
  close(spare_);
  spare_ = -1;
  length = sizeof peer;
  return accept(main_, reinterpret_cast<sockaddr*>(&peer), &length);
}

bool TTCP::ListenerResting() const { return acceptRestEndMs_ > NowMs(); }

// The one place that learns of a shortage: traced once while it lasts.
void TTCP::RestListener(int error) {
  if (acceptRestMs_ == 0) {
    LogTrace("TCP connection not accepted (%s): the listener rests %lld ms, up to %lld ms while this lasts\n",
             std::strerror(error), static_cast<long long>(kFirstAcceptRestMs),
             static_cast<long long>(kLongestAcceptRestMs));
    NoteAcceptShortage(error, static_cast<long long>(kLongestAcceptRestMs));
  }
  acceptRestMs_ = acceptRestMs_ == 0 ? kFirstAcceptRestMs : std::min(2 * acceptRestMs_, kLongestAcceptRestMs);
  acceptRestEndMs_ = NowMs() + acceptRestMs_;
}

// A newer connection replaces the current one only once it is accepted, from
// an allowed peer and still open: a failed accept, a refused peer or a
// connection its master closed before it was accepted leave the current
// client connected. Returns true when the newer connection was taken.
bool TTCP::AcceptConnection() {
  sockaddr_in peer{};
  int incoming = AcceptWithSpare(peer);
  if (incoming < 0) {
    const int error = errno;
    KeepSpare();
    if (ShortOfResources(error)) RestListener(error);
    return false;
  }
  acceptRestMs_ = 0;
  if (!IsAllowed(allow_, peer)) {
    LogTrace("TCP connection from %s refused, not in allow\n", Dotted(peer).text);
    NotePeerRefused(counters_, Refused::kTcpConnection, peer);
    ShutAndClose(incoming);
    KeepSpare();
    return false;
  }
  if (PeerClosed(incoming)) {
    LogTrace("TCP connection from %s closed before it was accepted\n", Dotted(peer).text);
    ShutAndClose(incoming);
    KeepSpare();
    return false;
  }
  DropClient();
  client_ = incoming;
  ++counters_.peersAccepted;
  remote_ = peer;
  FD_SET(client_, &readSet_);
  ++connection_;
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
  if (connecting_) FinishConnect();
  if (maxLength < 0 || main_ < 0 || connecting_) return false;
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
    if (Reconnects() && PeerClosed(main_)) LoseConnection();
    return false;
  }

  // A connection taken over brings no data in this call.
  if (FD_ISSET(main_, &readSet_) && !ListenerResting() && AcceptConnection()) return false;
  if (client_ >= 0 && FD_ISSET(client_, &readSet_)) {
    if (Receive(client_, buffer, maxLength, count)) return true;
    DropClient();  // closed by the client, or broken
  }
  return false;
}

bool TTCP::Write(const uint8_t* data, int length) {
  if (length < 0) return false;
  const int socket = server_ ? client_ : main_;
  if (socket < 0 || connecting_) return false;
  // A peer that stops reading must never block the gateway: a send that
  // would wait counts as a failed send.
  const ssize_t sent = send(socket, data, static_cast<size_t>(length), MSG_NOSIGNAL | MSG_DONTWAIT);
  if (sent < 0 && Reconnects() && errno != EAGAIN && errno != EWOULDBLOCK) LoseConnection();
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
  // A reconnecting client's socket counts once connected; a dead one is
  // closed by the Read or Connected that finds it.
  if (ListenerResting()) {
    wait.DueAtUs(acceptRestEndMs_ * kUsPerMs);  // accepted from again then
  } else if (mainLive_ || (Reconnects() && main_ >= 0 && !connecting_)) {
    wait.WatchReadable(main_);  // server: a newer master's connection
  }
  wait.WatchReadable(client_);
}

}  // namespace kestrel
