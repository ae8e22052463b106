#include "tests/port_test_util.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <pty.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>

#include "support/logs.h"
#include "support/paths.h"

using namespace kestrel;

namespace porttest {

Pty::Pty() {
  char name[64];
  if (openpty(&master, &slave, name, nullptr, nullptr) != 0) throw std::runtime_error("openpty failed");
  slavePath = name;
  fcntl(master, F_SETFL, O_NONBLOCK);
}

Pty::~Pty() {
  close(slave);
  close(master);
}

int Pty::PendingInput() const {
  int pending = -1;
  ioctl(slave, FIONREAD, &pending);
  return pending;
}

void Pty::Send(const std::string& bytes) const {
  if (write(master, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
    throw std::runtime_error("write to the pty master failed");
  }
}

std::string Pty::Receive(size_t count) const {
  std::string received;
  testutil::WaitFor([&] {
    char chunk[256];
    const ssize_t n = read(master, chunk, sizeof chunk);
    if (n > 0) received.append(chunk, static_cast<size_t>(n));
    return received.size() >= count;
  });
  return received;
}

StartupLog::StartupLog() {
  setenv("KESTREL_ROOT", dir.path().c_str(), 1);
  testutil::WriteFile(dir / "tmp/.keep", "");
  OpenStartupLog();
}

StartupLog::~StartupLog() {
  CloseStartupLog();
  unsetenv("KESTREL_ROOT");
}

void StartupLog::Restart() const {
  CloseStartupLog();
  OpenStartupLog();
}

std::string StartupLog::Text() const { return testutil::ReadFile(RootedPath(kStartupLogPath)); }

int OpenDescriptorCount(const std::string& process) {
  DIR* folder = opendir(("/proc/" + process + "/fd").c_str());
  if (folder == nullptr) return -1;
  int count = 0;
  while (readdir(folder) != nullptr) ++count;
  closedir(folder);
  return count;
}

sockaddr_in Loopback(const char* address, uint16_t port) {
  sockaddr_in socketAddress{};
  socketAddress.sin_family = AF_INET;
  socketAddress.sin_port = htons(port);
  inet_pton(AF_INET, address, &socketAddress.sin_addr);
  return socketAddress;
}

uint16_t LocalPort(int socket) {
  sockaddr_in bound{};
  socklen_t length = sizeof bound;
  getsockname(socket, reinterpret_cast<sockaddr*>(&bound), &length);
  return ntohs(bound.sin_port);
}

namespace {
int BoundSocket(int type, const char* address) {
  const int s = socket(AF_INET, type, 0);
  const sockaddr_in local = Loopback(address, 0);
  if (s < 0 || bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    throw std::runtime_error("cannot bind a loopback socket");
  }
  return s;
}
}  // namespace

int BoundUdpSocket(const char* address) {
  const int s = BoundSocket(SOCK_DGRAM, address);
  fcntl(s, F_SETFL, O_NONBLOCK);
  return s;
}

int ListeningTcpSocket() {
  const int s = BoundSocket(SOCK_STREAM, "127.0.0.1");
  listen(s, 16);
  return s;
}

uint16_t FreePort(int type) {
  const int s = BoundSocket(type, "127.0.0.1");
  const uint16_t port = LocalPort(s);
  close(s);
  return port;
}

std::string ReceiveDatagram(int socket) {
  char buffer[512];
  ssize_t n = -1;
  testutil::WaitFor([&] { return (n = recv(socket, buffer, sizeof buffer, 0)) >= 0; });
  return n < 0 ? "" : std::string(buffer, static_cast<size_t>(n));
}

SocketRow FindSocket(const char* table, uint16_t localPort, uint16_t remotePort) {
  SocketRow row;
  FILE* file = std::fopen(table, "r");
  if (file == nullptr) return row;
  char line[512];
  std::fgets(line, sizeof line, file);  // header
  while (std::fgets(line, sizeof line, file) != nullptr) {
    unsigned local, remote, state, queue;
    if (std::sscanf(line, " %*d: %*x:%x %*x:%x %x %*x:%x", &local, &remote, &state, &queue) != 4) continue;
    if (local == localPort && (remotePort == 0 || remote == remotePort)) {
      row.state = static_cast<int>(state);
      row.receiveQueue = queue;
      break;
    }
  }
  std::fclose(file);
  return row;
}

}  // namespace porttest
