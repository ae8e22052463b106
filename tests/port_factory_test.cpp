// Which port a port section makes and how it is set up before it opens.
// Which serial interfaces take an echo, lower-case values and unknown
// interfaces are exchanges (transport/serial_interfaces, startup/no_ports).
#include <gtest/gtest.h>
#include <termios.h>

#include <string>

#include "ports/TSER.h"
#include "ports/TTCP.h"
#include "ports/TUDP.h"
#include "ports/port_factory.h"
#include "support/config_store.h"
#include "support/paths.h"
#include "tests/port_test_util.h"

using namespace kestrel;

using testutil::WriteFile;

namespace {

// The port section goes into MainConfig, DefaultConfig gives serstopbit and
// remoteport; HardwareConfig maps RS485 to the pty and LAN to lo. A serial
// port comes back open, a socket port only initialised.
TEST(PortFactoryTest, EachPortTypeGivesItsPortSetUpFromTheSection) {
  porttest::Pty pty;
  porttest::StartupLog log;
  const struct {
    const char* section;
    PortMode mode;
    const std::string logged;
  } rows[] = {
      {"porttype = SER\nsercomport = RS485\nserbaudrate = 4800\nserbits = 8\nserparity = O\n", PortMode::kRs485,
       "Initialising Serial port, portdev = " + pty.slavePath + ", databits = 8, parity = O, stopbit = 1\n"},
      {"porttype = TCP\nlocalip = lan\nlocalport = 66038\nserver = 1\n", PortMode::kTcp,  // 65536 + 502
       "Opening TCP port\nPort is server\nlo - 127.0.0.1\nTCP: Local  IP = 127.0.0.1, Port = 502\n"
       "TCP: Remote IP = 0.0.0.0, Port = 0\n"},
      {"porttype = udp\nremoteip = 10.0.0.7\nlocalport = 7000\nserver = 0\n", PortMode::kUdp,
       "Opening UDP port\nUDP: Local  IP = 0.0.0.0, Port = 0\nUDP: Remote IP = 10.0.0.7, Port = 502\n"},
  };
  for (const auto& row : rows) {
    log.Restart();
    WriteFile(RootedPath(kMainConfigPath), std::string("[ModbusPort]\n") + row.section);
    WriteFile(RootedPath(kHardwareConfigPath), "[Main]\nRS485 = " + pty.slavePath + "\nLAN = lo\n");
    WriteFile(RootedPath(kDefaultConfigPath), "[ModbusPort]\nserstopbit = 1\nremoteport = 502\n");
    ConfigStore store(RootedPath(kMainConfigPath), RootedPath(kHardwareConfigPath));
    ASSERT_EQ(store.Load(), 0);
    const std::unique_ptr<TPort> port = CreatePort(store, "ModbusPort");
    ASSERT_NE(port, nullptr) << row.section;
    EXPECT_EQ(port->GetMode(), row.mode);
    EXPECT_EQ(dynamic_cast<TSER*>(port.get()) != nullptr, row.mode == PortMode::kRs485);
    EXPECT_EQ(dynamic_cast<TTCP*>(port.get()) != nullptr, row.mode == PortMode::kTcp);
    EXPECT_EQ(dynamic_cast<TUDP*>(port.get()) != nullptr, row.mode == PortMode::kUdp);
    EXPECT_EQ(log.Text(), row.logged);
    EXPECT_EQ(port->Write(reinterpret_cast<const uint8_t*>("on"), 2), row.mode == PortMode::kRs485) << row.section;
    if (row.mode != PortMode::kRs485) continue;
    EXPECT_EQ(pty.Receive(2), "on");
    termios applied{};
    ASSERT_EQ(tcgetattr(pty.slave, &applied), 0);
    EXPECT_EQ(cfgetospeed(&applied), static_cast<speed_t>(B4800));
    EXPECT_EQ(port->Parity()->GetParity(), 'O');
  }
}

}  // namespace
