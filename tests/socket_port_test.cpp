#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "ports/TSER.h"
#include "ports/TTCP.h"
#include "ports/TUDP.h"
#include "ports/net_address.h"
#include "support/clock.h"
#include "support/wait_set.h"
#include "tests/port_test_util.h"

using namespace kestrel;

using porttest::FindSocket;
using porttest::Loopback;
using porttest::LocalPort;
using porttest::StartupLog;
using testutil::WaitFor;

namespace {

const uint8_t* Bytes(const char* text) { return reinterpret_cast<const uint8_t*>(text); }

std::string ReadText(TPort& port, bool expected) {
  uint8_t buffer[64];
  int count = -1;
  EXPECT_EQ(port.Read(buffer, sizeof buffer, count), expected);
  if (expected) EXPECT_GT(count, 0);
  else EXPECT_EQ(count, 0);
  return std::string(buffer, buffer + (count > 0 ? count : 0));
}

// Polls Read until it delivers data (or the deadline passes).
std::string ReadWhenArrived(TPort& port) {
  uint8_t buffer[64];
  int count = 0;
  WaitFor([&] { return port.Read(buffer, sizeof buffer, count); });
  return std::string(buffer, buffer + count);
}

// A receive on s gives up after a few seconds instead of hanging the test.
int WithReceiveDeadline(int s) {
  const timeval deadline{5, 0};
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &deadline, sizeof deadline);
  return s;
}

int ConnectTo(uint16_t port) {
  const int s = WithReceiveDeadline(socket(AF_INET, SOCK_STREAM, 0));
  const sockaddr_in server = Loopback("127.0.0.1", port);
  EXPECT_EQ(connect(s, reinterpret_cast<const sockaddr*>(&server), sizeof server), 0);
  return s;
}

// The server side of connection s holds `queued` unread bytes.
bool ServerSideHolds(uint16_t serverPort, int s, unsigned queued) {
  const porttest::SocketRow row = FindSocket("/proc/net/tcp", serverPort, LocalPort(s));
  return row.state == porttest::kTcpEstablished && row.receiveQueue == queued;
}

bool SeesEndOfStream(int s) {
  pollfd watched{s, POLLIN, 0};
  char byte;
  return poll(&watched, 1, 0) == 1 && recv(s, &byte, 1, MSG_DONTWAIT) == 0;
}

// A server port listening on lo; a free port found by binding 0 can be taken
// by someone else before the port binds it, so try a few.
uint16_t OpenServer(TPort& port, int type) {
  for (int attempt = 0; attempt < 5; ++attempt) {
    const uint16_t free = porttest::FreePort(type);
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

TEST(NetAddressTest, InterfaceAddressLooksUpNamedInterfaces) {
  const struct {
    const char* name;
    int result;
    uint32_t address;
    const char* logged;
  } cases[] = {
      {"lo", 1, 0x7F000001, "lo - 127.0.0.1\n"},
      {"all", 1, 0, ""},
      {"ALL", 1, 0, ""},
      {"", 1, 0, ""},
      {"nosuchif9", -1, 0xDEADBEEF, "Error: Interface not found!\n"},
  };
  for (const auto& c : cases) {
    StartupLog log;
    uint32_t address = 0xDEADBEEF;
    EXPECT_EQ(InterfaceAddress(c.name, address), c.result) << c.name;
    EXPECT_EQ(address, c.address) << c.name;
    EXPECT_EQ(log.Text(), c.logged) << c.name;
  }
}

TEST(SocketInitTest, InitSocketLogsBothEndsByteForByte) {
  const struct {
    bool tcp;
    const char* interfaceName;
    const char* remote;
    bool server;
    bool accepted;
    const char* logged;
  } cases[] = {
      {true, "lo", "", true, true,
       "Port is server\nlo - 127.0.0.1\nTCP: Local  IP = 127.0.0.1, Port = 5020\n"
       "TCP: Remote IP = 0.0.0.0, Port = 0\n"},
      {true, "all", "10.1.2.300", false, true,
       "Port is client\nTCP: Local  IP = 0.0.0.0, Port = 5020\nTCP: Remote IP = 10.1.3.44, Port = 502\n"},
      {false, "lo", "127.0.0.1", false, true,  // a UDP client binds any free port
       "lo - 127.0.0.1\nUDP: Local  IP = 127.0.0.1, Port = 0\nUDP: Remote IP = 127.0.0.1, Port = 502\n"},
      {false, "", "", true, true, "UDP: Local  IP = 0.0.0.0, Port = 5020\nUDP: Remote IP = 0.0.0.0, Port = 0\n"},
      {true, "lo", "", false, false, "Port is client\nClient ports must have remote IP's\n"},
      {false, "lo", "", false, false, "Client ports must have remote IP's\n"},
  };
  for (const auto& c : cases) {
    StartupLog log;
    TTCP tcp;
    TUDP udp;
    TPort& port = c.tcp ? static_cast<TPort&>(tcp) : udp;
    EXPECT_EQ(port.InitSocket(c.interfaceName, 5020, c.remote, 502, c.server), c.accepted) << c.logged;
    EXPECT_EQ(log.Text(), c.logged);
  }
}

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
  const int peer = porttest::BoundUdpSocket("127.0.0.1");
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
    const int s = porttest::BoundUdpSocket(sender.from);  // another source port every time
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
    const int s = porttest::BoundUdpSocket(from);
    ASSERT_EQ(sendto(s, "q", 1, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to), 1);
    EXPECT_EQ(ReadWhenArrived(port), "q") << from;
    ASSERT_TRUE(port.Write(Bytes("answer"), 6));
    EXPECT_EQ(porttest::ReceiveDatagram(s), "answer") << from;
    close(s);
  }
  EXPECT_FALSE(port.InitSerial("/dev/null", 9600, 8, 'N', 1, 2));
  EXPECT_EQ(port.GetParity(), -1);
  EXPECT_FALSE(port.SetTimeout(5));
}

// Opening and closing a port again and again must not use up descriptors.
TEST(PortLeakTest, ThousandOpenCloseCyclesOfEveryKindKeepTheDescriptorCount) {
  porttest::Pty pty;
  const int listener = porttest::ListeningTcpSocket();
  TSER serial;
  serial.InitSerial(pty.slavePath, 9600, 8, 'N', 1, kModeRs485);
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
    EXPECT_EQ(porttest::OpenDescriptorCount(), before + 1);
  }
  close(listener);
}

}  // namespace
