#pragma once
// Helpers for the port tests: a pseudo-terminal pair standing in for a
// serial line, the start-up log captured in a temporary root, loopback
// sockets, and what the kernel reports about sockets and descriptors.
#include <netinet/in.h>

#include <cstdint>
#include <string>

#include "tests/test_util.h"

namespace porttest {

// openpty: TSER opens slavePath; the test talks through master (non-blocking)
// and looks at the line settings and the input queue through slave.
class Pty {
 public:
  Pty();
  ~Pty();
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;
  int master = -1;
  int slave = -1;
  std::string slavePath;
  int PendingInput() const;  // bytes waiting to be read on the slave side
  void Send(const std::string& bytes) const;
  // Waits until count bytes arrived at the master end and returns them.
  std::string Receive(size_t count) const;
};

// KESTREL_ROOT pointing at a fresh folder with the start-up log open in it.
class StartupLog {
 public:
  StartupLog();
  ~StartupLog();
  std::string Text() const;
  void Restart() const;  // empties the log
  testutil::TempDir dir;
};

// Entries of /proc/<process>/fd (the process id, or "self"); -1 when missing.
int OpenDescriptorCount(const std::string& process = "self");

sockaddr_in Loopback(const char* address, uint16_t port);
uint16_t LocalPort(int socket);
int BoundUdpSocket(const char* address);  // non-blocking, any free port
int ListeningTcpSocket();                 // 127.0.0.1, any free port
uint16_t FreePort(int type);              // a port nobody is bound to just now
// Waits for one datagram on socket and returns its payload ("" on time-out).
std::string ReceiveDatagram(int socket);

// One row of /proc/net/tcp or /proc/net/udp, found by its local and remote
// ports (remotePort 0 matches any). state -1 when there is no such socket.
struct SocketRow {
  int state = -1;
  unsigned receiveQueue = 0;
};
constexpr int kTcpEstablished = 0x01;
constexpr int kTcpCloseWait = 0x08;
SocketRow FindSocket(const char* table, uint16_t localPort, uint16_t remotePort);

}  // namespace porttest
