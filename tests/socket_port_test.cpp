#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <stdexcept>
#include <string>

#include "ports/TSER.h"
#include "ports/TTCP.h"
#include "ports/TUDP.h"
#include "ports/net_address.h"
#include "support/clock.h"
#include "support/wait_set.h"
#include "tests/port_test_util.h"

using namespace kestrel;

using testutil::WaitFor;

namespace {

// One row of /proc/net/tcp or /proc/net/udp, found by its local and remote
// ports (remotePort 0 matches any). state -1 when there is no such socket.
struct SocketRow {
  int state = -1;
  unsigned receiveQueue = 0;
};
constexpr int kTcpEstablished = 0x01;

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

int BoundSocket(int type, const char* address) {
  const int s = socket(AF_INET, type, 0);
  const sockaddr_in local = Loopback(address, 0);
  if (s < 0 || bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    throw std::runtime_error("cannot bind a loopback socket");
  }
  return s;
}

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

const uint8_t* Bytes(const char* text) { return reinterpret_cast<const uint8_t*>(text); }

std::string ReadText(TPort& port, bool expected) {
  uint8_t buffer[64];
  int count = -1;
  EXPECT_EQ(port.Read(buffer, sizeof buffer, count), expected);
  EXPECT_EQ(count > 0, expected) << count;
  return std::string(buffer, buffer + (count > 0 ? count : 0));
}

// Polls Read until it delivers data (or the deadline passes).
std::string ReadWhenArrived(TPort& port) {
  uint8_t buffer[64];
  int count = 0;
  WaitFor([&] { return port.Read(buffer, sizeof buffer, count); });
  return std::string(buffer, buffer + count);
}

// A receive on the client gives up after a few seconds instead of hanging the test.
int ConnectTo(uint16_t port) {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  const timeval deadline{5, 0};
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &deadline, sizeof deadline);
  const sockaddr_in server = Loopback("127.0.0.1", port);
  EXPECT_EQ(connect(s, reinterpret_cast<const sockaddr*>(&server), sizeof server), 0);
  return s;
}

// The server side of connection s holds `queued` unread bytes.
bool ServerSideHolds(uint16_t serverPort, int s, unsigned queued) {
  const SocketRow row = FindSocket("/proc/net/tcp", serverPort, LocalPort(s));
  return row.state == kTcpEstablished && row.receiveQueue == queued;
}

bool SeesEndOfStream(int s) {
  pollfd watched{s, POLLIN, 0};
  char byte;
  return poll(&watched, 1, 0) == 1 && recv(s, &byte, 1, MSG_DONTWAIT) == 0;
}

// A server port listening on lo; a free port found by binding 0 can be taken
// by someone else before the port binds it, so try a few.
template <typename Port>
uint16_t OpenServer(Port& port, int type) {
  for (int attempt = 0; attempt < 5; ++attempt) {
    const uint16_t free = FreePort(type);
    if (port.InitSocket("lo", free, "", 0, true) && port.Open()) return free;
  }
  return 0;
}

void SendText(int s, const char* text) { ASSERT_EQ(send(s, text, strlen(text), 0), ssize_t(strlen(text))); }

TEST(NetAddressTest, ResolveHostReadsDottedQuadsAndNames) {
  const struct {
    const char* text;
    int result;
    uint32_t address;
  } cases[] = {
      {"10.1.2.3", 0, 0x0A010203},
      {"10.1.2.300", 0, 0x0A01032C},  // 300 spills into the third octet: 10.1.3.44
      {"127.0.0.1:502", 0, 0x7F000001},
      {"", 0, 0},
      {"localhost", 0, 0x7F000001},
  };
  for (const auto& c : cases) {
    uint32_t address = 0xDEADBEEF;
    EXPECT_EQ(ResolveHost(c.text, address), c.result) << c.text;
    EXPECT_EQ(address, c.address) << c.text;
  }
}

// How InterfaceAddress and InitSocket log both ends is the exchange
// startup/socket_bring_up.
TEST(TcpPortTest, ServerAcceptsDuringReadThenReadsAndANewerClientTakesOver) {
  TTCP port;
  const uint16_t listenPort = OpenServer(port, SOCK_STREAM);
  ASSERT_NE(listenPort, 0);
  EXPECT_FALSE(port.Write(Bytes("x"), 1)) << "no client yet";
  ReadText(port, false);

  const int first = ConnectTo(listenPort);
  SendText(first, "hello");
  ASSERT_TRUE(WaitFor([&] { return ServerSideHolds(listenPort, first, 5); }));
  EXPECT_EQ(ReadText(port, false), "") << "the accepting Read delivers nothing";
  EXPECT_EQ(ReadText(port, true), "hello");
  EXPECT_TRUE(port.Write(Bytes("ack"), 3));
  char answer[8] = {};
  ASSERT_EQ(recv(first, answer, sizeof answer, 0), 3);
  EXPECT_STREQ(answer, "ack");

  const int second = ConnectTo(listenPort);
  SendText(second, "again");
  ASSERT_TRUE(WaitFor([&] { return ServerSideHolds(listenPort, second, 5); }));
  EXPECT_EQ(ReadText(port, false), "");
  EXPECT_TRUE(WaitFor([&] { return SeesEndOfStream(first); })) << "the first client was dropped";
  EXPECT_EQ(ReadText(port, true), "again");

  close(second);  // the client goes away: the server drops it and cannot write
  EXPECT_TRUE(WaitFor([&] {
    int count = 0;
    uint8_t buffer[8];
    port.Read(buffer, sizeof buffer, count);
    return !port.Write(Bytes("x"), 1);
  }));
  close(first);
}

TEST(UdpPortTest, APeerIsMatchedByAddressOnlyAndAnswersGoToIt) {
  const int peer = BoundUdpSocket("127.0.0.1");
  TUDP port;
  ASSERT_TRUE(port.InitSocket("", 0, "127.0.0.1", LocalPort(peer), false));
  ASSERT_TRUE(port.Open());
  ASSERT_TRUE(port.Write(Bytes("req"), 3));
  sockaddr_in portAddress{};
  socklen_t length = sizeof portAddress;
  char buffer[16];
  ASSERT_TRUE(WaitFor([&] {
    return recvfrom(peer, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&portAddress), &length) == 3;
  }));
  const uint16_t udpPort = ntohs(portAddress.sin_port);

  const struct {
    const char* from;
    bool delivered;
  } senders[] = {{"127.0.0.2", false}, {"127.0.0.1", true}, {"127.0.0.2", false}};
  for (const auto& sender : senders) {
    const int s = BoundUdpSocket(sender.from);  // another source port every time
    const sockaddr_in to = Loopback("127.0.0.1", udpPort);
    ASSERT_EQ(sendto(s, "data", 4, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to), 4);
    ASSERT_TRUE(WaitFor([&] { return FindSocket("/proc/net/udp", udpPort, 0).receiveQueue > 0; }));
    EXPECT_EQ(ReadText(port, sender.delivered), sender.delivered ? "data" : "") << sender.from;
    EXPECT_EQ(FindSocket("/proc/net/udp", udpPort, 0).receiveQueue, 0u);
    close(s);
  }
  close(peer);
}

TEST(UdpPortTest, WithoutARemoteTheLastSenderGetsTheAnswer) {
  TUDP port;
  const uint16_t udpPort = OpenServer(port, SOCK_DGRAM);
  ASSERT_NE(udpPort, 0);
  EXPECT_FALSE(port.Write(Bytes("x"), 1)) << "nobody spoke yet: 255.255.255.255 port 0";
  const sockaddr_in to = Loopback("127.0.0.1", udpPort);
  for (const char* from : {"127.0.0.1", "127.0.0.2"}) {
    const int s = BoundUdpSocket(from);
    ASSERT_EQ(sendto(s, "q", 1, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to), 1);
    EXPECT_EQ(ReadWhenArrived(port), "q") << from;
    ASSERT_TRUE(port.Write(Bytes("answer"), 6));
    EXPECT_EQ(ReceiveDatagram(s), "answer") << from;
    close(s);
  }
}

// Opening and closing a port again and again must not use up descriptors.
TEST(PortLeakTest, ThousandOpenCloseCyclesOfEveryKindKeepTheDescriptorCount) {
  porttest::Pty pty;
  const int listener = ListeningTcpSocket();
  TSER serial;
  serial.InitSerial(pty.slavePath, 9600, 8, 'N', 1, PortMode::kRs485);
  TTCP server, client;
  server.InitSocket("lo", 0, "", 0, true);
  client.InitSocket("", 0, "127.0.0.1", LocalPort(listener), false);
  TUDP udp;
  udp.InitSocket("", 0, "127.0.0.1", 502, false);
  const struct {
    const char* name;
    TPort& port;
    std::function<void()> afterOpen;
  } kinds[] = {
      {"TSER", serial, [] {}},
      {"TTCP server", server, [] {}},
      {"TTCP client", client, [&] { close(accept(listener, nullptr, nullptr)); }},
      {"TUDP", udp, [] {}},
  };
  for (const auto& kind : kinds) {
    const int before = porttest::OpenDescriptorCount();
    for (int i = 0; i < 1000; ++i) {
      ASSERT_TRUE(kind.port.Open()) << kind.name << " cycle " << i;
      kind.afterOpen();
      ASSERT_TRUE(kind.port.Close()) << kind.name;
    }
    EXPECT_EQ(porttest::OpenDescriptorCount(), before) << kind.name;
  }
  {
    TTCP reopened;  // Open on an open port replaces its socket; the destructor closes the last
    reopened.InitSocket("lo", 0, "", 0, true);
    const int before = porttest::OpenDescriptorCount();
    for (int i = 0; i < 100; ++i) ASSERT_TRUE(reopened.Open());
    EXPECT_EQ(porttest::OpenDescriptorCount(), before + 2);  // the listener and its spare
  }
  close(listener);
}

}  // namespace
