#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "ports/TSER.h"
#include "tests/port_test_util.h"

using namespace kestrel;

using porttest::Pty;

namespace {

constexpr tcflag_t kParityBits = PARENB | PARODD | CMSPAR;

termios Garbage() {
  termios settings;
  std::memset(&settings, 0xFF, sizeof settings);
  return settings;
}

TEST(SerialSettingsTest, EveryBaudRateOfTheTableAndNothingBetween) {
  const struct {
    int rate;
    speed_t speed;
  } rates[] = {{300, B300},     {600, B600},     {1200, B1200},   {2400, B2400},   {4800, B4800},
               {9600, B9600},   {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200}};
  for (const auto& r : rates) {
    termios settings = Garbage();
    ASSERT_TRUE(BuildSerialSettings(r.rate, 8, 'N', 1, settings)) << r.rate;
    EXPECT_EQ(cfgetispeed(&settings), r.speed) << r.rate;
    EXPECT_EQ(cfgetospeed(&settings), r.speed) << r.rate;
  }
  for (int refused : {0, -9600, 2401, 14400, 230400}) {
    termios settings{};
    EXPECT_FALSE(BuildSerialSettings(refused, 8, 'N', 1, settings)) << refused;
  }
}

TEST(SerialSettingsTest, DataBitsParityAndStopBitsBecomeControlFlags) {
  const struct {
    int dataBits;
    char parity;
    int stopBits;
    bool accepted;
    tcflag_t flags;  // CSIZE, parity and CSTOPB bits expected
  } cases[] = {
      {5, 'N', 1, true, CS5},
      {6, 'n', 2, true, CS6 | CSTOPB},
      {7, 'E', 1, true, CS7 | PARENB},
      {8, 'e', 1, true, CS8 | PARENB},
      {8, 'O', 2, true, CS8 | PARENB | PARODD | CSTOPB},
      {8, 'o', 1, true, CS8 | PARENB | PARODD},
      {8, 'M', 1, true, CS8 | PARENB | PARODD | CMSPAR},
      {8, 'm', 1, true, CS8 | PARENB | PARODD | CMSPAR},
      {8, 'S', 1, true, CS8 | PARENB | CMSPAR},
      {8, 's', 2, true, CS8 | PARENB | CMSPAR | CSTOPB},
      {4, 'N', 1, false, 0}, {9, 'N', 1, false, 0}, {8, 'X', 1, false, 0},
      {8, '\0', 1, false, 0}, {8, 'N', 0, false, 0}, {8, 'N', 3, false, 0},
  };
  for (const auto& c : cases) {
    const std::string name = std::to_string(c.dataBits) + "/" + std::to_string(int{c.parity}) + "/" +
                             std::to_string(c.stopBits);
    termios settings = Garbage();
    ASSERT_EQ(BuildSerialSettings(9600, c.dataBits, c.parity, c.stopBits, settings), c.accepted) << name;
    if (!c.accepted) continue;
    // Raw, receiver on, modem lines ignored, no flow control of any kind.
    EXPECT_EQ(settings.c_cflag & ~(CBAUD | CIBAUD), CREAD | CLOCAL | c.flags) << name;
    EXPECT_EQ(settings.c_iflag, 0u) << name;  // no IXON/IXOFF, no translation
    EXPECT_EQ(settings.c_oflag, 0u) << name;
    EXPECT_EQ(settings.c_lflag, 0u) << name;
    EXPECT_EQ(settings.c_cflag & CRTSCTS, 0u) << name;
    EXPECT_EQ(settings.c_cc[VMIN], 0) << name;
    EXPECT_EQ(settings.c_cc[VTIME], 0) << name;
  }
}

TEST(SerialPortTest, OpenAppliesTheLineSettingsThePtyKeeps) {
  Pty pty;
  // A pty forces CS8 and clears PARENB (data bits and parity enable are
  // checked through BuildSerialSettings); speed, CSTOPB, PARODD and CMSPAR stick.
  const struct {
    int rate;
    int dataBits;
    char parity;
    int stopBits;
    speed_t speed;
    tcflag_t flags;
  } cases[] = {
      {2400, 7, 'O', 2, B2400, PARODD | CSTOPB},
      {115200, 5, 'm', 1, B115200, PARODD | CMSPAR},
      {300, 8, 's', 2, B300, CMSPAR | CSTOPB},
      {19200, 6, 'N', 1, B19200, 0},
  };
  for (const auto& c : cases) {
    TSER port;
    port.InitSerial(pty.slavePath, c.rate, c.dataBits, c.parity, c.stopBits, kModeRs232);
    ASSERT_TRUE(port.Open()) << c.rate;
    termios applied{};
    ASSERT_EQ(tcgetattr(pty.slave, &applied), 0);
    EXPECT_EQ(cfgetospeed(&applied), c.speed) << c.rate;
    EXPECT_EQ(applied.c_cflag & (CSTOPB | kParityBits), c.flags) << c.rate;
    EXPECT_EQ(applied.c_lflag & (ICANON | ECHO | ISIG), 0u) << c.rate;
    EXPECT_EQ(applied.c_cc[VMIN], 0) << c.rate;
    EXPECT_TRUE(port.Open()) << "already open";
  }
}

TEST(SerialPortTest, AFailedOpenClosesTheDeviceSoTheNextOpenAppliesTheSettings) {
  Pty pty;
  const int descriptors = porttest::OpenDescriptorCount();
  TSER port;
  port.InitSerial(pty.slavePath, 2401, 8, 'N', 1, kModeRs485);
  EXPECT_FALSE(port.Open());
  EXPECT_EQ(porttest::OpenDescriptorCount(), descriptors);
  port.InitSerial(pty.slavePath, 2400, 8, 'N', 1, kModeRs485);
  ASSERT_TRUE(port.Open());
  termios applied{};
  ASSERT_EQ(tcgetattr(pty.slave, &applied), 0);
  EXPECT_EQ(cfgetospeed(&applied), static_cast<speed_t>(B2400));

  TSER missing;
  missing.InitSerial(pty.slavePath + "-missing", 9600, 8, 'N', 1, kModeRs232);
  EXPECT_FALSE(missing.Open());
}

// On an M-Bus slave line (mode 5) every byte sent comes back first; the port
// drops exactly that many bytes, across reads. Other modes keep everything.
TEST(SerialPortTest, OnlyTheMBusSlaveModeDropsItsOwnEcho) {
  for (int mode : {kModeRs232, kModeRs485, kModeMBusMaster, kModeMBusSlave}) {
    Pty pty;
    TSER port;
    port.InitSerial(pty.slavePath, 2400, 8, 'N', 1, mode);
    ASSERT_TRUE(port.Open());
    ASSERT_TRUE(port.Write(reinterpret_cast<const uint8_t*>("\x10\x5B\xFE\x59\x16"), 5));
    EXPECT_EQ(pty.Receive(5), "\x10\x5B\xFE\x59\x16");
    uint8_t buffer[64];
    int count = -1;
    pty.Send("\x10\x5B\xFE");  // the first three echo bytes
    ASSERT_TRUE(testutil::WaitFor([&] { return pty.PendingInput() == 3; }));
    const bool echo = mode == kModeMBusSlave;
    EXPECT_EQ(port.Read(buffer, sizeof buffer, count), !echo) << mode;
    pty.Send(std::string("\x59\x16\xE5\x68", 4));  // two more echo bytes, then the answer
    ASSERT_TRUE(testutil::WaitFor([&] { return pty.PendingInput() == 4; }));
    ASSERT_TRUE(port.Read(buffer, sizeof buffer, count)) << mode;
    EXPECT_EQ(std::string(buffer, buffer + count), echo ? "\xE5\x68" : std::string("\x59\x16\xE5\x68", 4)) << mode;
  }
}

// Parity set before the port opens is applied; a closed port neither reads
// nor writes; negative lengths are refused.
TEST(SerialPortTest, ClosedPortsAndNegativeLengthsMoveNoBytes) {
  Pty pty;
  TSER port;
  uint8_t buffer[4] = {1, 2, 3, 4};
  int count = 7;
  EXPECT_FALSE(port.Read(buffer, sizeof buffer, count));
  EXPECT_EQ(count, 0);
  EXPECT_FALSE(port.Write(buffer, 4));
  port.InitSerial(pty.slavePath, 9600, 8, 'N', 1, kModeMBusSlave);
  port.SetParity('O');
  ASSERT_TRUE(port.Open());
  termios applied{};
  ASSERT_EQ(tcgetattr(pty.slave, &applied), 0);
  EXPECT_EQ(applied.c_cflag & PARODD, static_cast<tcflag_t>(PARODD));
  EXPECT_TRUE(port.Write(buffer, 0));
  EXPECT_FALSE(port.Write(buffer, -1));
  EXPECT_FALSE(port.Read(buffer, -1, count));
  EXPECT_TRUE(port.Close());
  EXPECT_FALSE(port.Write(buffer, 1));
}

}  // namespace
