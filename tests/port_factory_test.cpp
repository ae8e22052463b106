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

class PortFactoryTest : public ::testing::Test {
 protected:
  // The port section goes into MainConfig; HardwareConfig maps every serial
  // interface to the pty and the interface key LAN to lo.
  std::unique_ptr<TPort> Create(const std::string& section) {
    WriteFile(RootedPath(kMainConfigPath), "[ModbusPort]\n" + section);
    WriteFile(RootedPath(kHardwareConfigPath), "[Main]\nRS232 = " + pty.slavePath + "\nrs485 = " + pty.slavePath +
                                                   "\nMBMASTER = " + pty.slavePath + "\nMBSLAVE1 = " +
                                                   pty.slavePath + "\nMbSlave2 = " + pty.slavePath +
                                                   "\nLAN = lo\n");
    WriteFile(RootedPath(kDefaultConfigPath), "[ModbusPort]\nserstopbit = 1\nremoteport = 502\n");
    ConfigStore store(RootedPath(kMainConfigPath), RootedPath(kHardwareConfigPath));
    EXPECT_EQ(store.Load(), 0);
    return CreatePort(store, "ModbusPort");
  }

  porttest::Pty pty;
  porttest::StartupLog log;
};

TEST_F(PortFactoryTest, EverySerialInterfaceGivesAnOpenSerialPortWithItsMode) {
  const struct {
    const char* sercomport;
    int mode;
  } rows[] = {{"RS232", kModeRs232},
              {"RS485", kModeRs485},
              {"MBMASTER", kModeMBusMaster},
              {"MBSLAVE1", kModeMBusSlave},
              {"MBSLAVE2", kModeMBusSlave},
              {"mbslave2", kModeMBusSlave}};
  for (const auto& row : rows) {
    auto port = Create(std::string("porttype = SER\nsercomport = ") + row.sercomport +
                       "\nserbaudrate = 4800\nserbits = 8\nserparity = N\n");
    ASSERT_NE(dynamic_cast<TSER*>(port.get()), nullptr) << row.sercomport;
    EXPECT_EQ(port->GetMode(), row.mode) << row.sercomport;
    EXPECT_TRUE(port->Write(reinterpret_cast<const uint8_t*>("on"), 2)) << row.sercomport << " not open";
    EXPECT_EQ(pty.Receive(2), "on");
  }
}

TEST_F(PortFactoryTest, LowerCaseValuesAndTheWordEvenAreAccepted) {
  auto port = Create("porttype = ser\nsercomport = mbslave2\nserbaudrate = 2400\nserbits = 8\n"
                     "serparity = even\nserstopbit = 1\n");
  ASSERT_NE(dynamic_cast<TSER*>(port.get()), nullptr);
  EXPECT_EQ(port->GetMode(), kModeMBusSlave);
  EXPECT_EQ(port->GetParity(), 'E');
  termios applied{};
  ASSERT_EQ(tcgetattr(pty.slave, &applied), 0);
  EXPECT_EQ(cfgetospeed(&applied), static_cast<speed_t>(B2400));
  EXPECT_EQ(log.Text(), "Initialising Serial port, portdev = " + pty.slavePath +
                            ", databits = 8, parity = E, stopbit = 1\n");
}

TEST_F(PortFactoryTest, SocketPortsComeBackInitialisedButNotOpen) {
  const struct {
    const char* section;
    bool tcp;
    const char* logged;
  } rows[] = {
      {"porttype = TCP\nlocalip = lan\nlocalport = 66038\nserver = 1\n", true,  // 65536 + 502
       "Opening TCP port\nPort is server\nlo - 127.0.0.1\nTCP: Local  IP = 127.0.0.1, Port = 502\n"
       "TCP: Remote IP = 0.0.0.0, Port = 0\n"},
      {"porttype = udp\nremoteip = 10.0.0.7\nlocalport = 7000\nserver = 0\n", false,
       "Opening UDP port\nUDP: Local  IP = 0.0.0.0, Port = 0\nUDP: Remote IP = 10.0.0.7, Port = 502\n"},
  };
  for (const auto& row : rows) {
    log.Restart();
    auto port = Create(row.section);
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(port->GetMode(), row.tcp ? kModeTcp : kModeUdp);
    EXPECT_EQ(dynamic_cast<TTCP*>(port.get()) != nullptr, row.tcp);
    EXPECT_EQ(dynamic_cast<TUDP*>(port.get()) != nullptr, !row.tcp);
    EXPECT_EQ(log.Text(), row.logged);
    EXPECT_FALSE(port->Write(reinterpret_cast<const uint8_t*>("x"), 1)) << "not opened yet";
  }
}

TEST_F(PortFactoryTest, UnknownPortTypesAndSerialInterfacesGiveNoPort) {
  for (const char* section : {"porttype = serial\nsercomport = RS232\n", "sercomport = RS232\n",
                              "porttype = SER\nsercomport = RS422\n", "porttype = SER\n"}) {
    EXPECT_EQ(Create(section), nullptr) << section;
  }
  EXPECT_EQ(log.Text(), "");
}

}  // namespace
