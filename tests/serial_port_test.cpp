#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "ports/TSER.h"
#include "support/clock.h"
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

// Every baud rate of the table and nothing between; data bits, parity and
// stop bits become control flags; always raw, receiver on, modem lines
// ignored, no flow control of any kind.
TEST(SerialSettingsTest, RatesDataBitsParityAndStopBitsBecomeTheSettings) {
  const struct {
    int rate, dataBits;
    char parity;
    int stopBits;
    speed_t speed;   // B0: refused
    tcflag_t flags;  // CSIZE, parity and CSTOPB bits expected
  } cases[] = {
      {300, 8, 'N', 1, B300, CS8},       {600, 8, 'N', 1, B600, CS8},       {1200, 8, 'N', 1, B1200, CS8},
      {2400, 8, 'N', 1, B2400, CS8},     {4800, 8, 'N', 1, B4800, CS8},     {9600, 8, 'N', 1, B9600, CS8},
      {19200, 8, 'N', 1, B19200, CS8},   {38400, 8, 'N', 1, B38400, CS8},   {57600, 8, 'N', 1, B57600, CS8},
      {115200, 8, 'N', 1, B115200, CS8}, {0, 8, 'N', 1, B0, 0},             {-9600, 8, 'N', 1, B0, 0},
      {2401, 8, 'N', 1, B0, 0},          {14400, 8, 'N', 1, B0, 0},         {230400, 8, 'N', 1, B0, 0},
      {9600, 5, 'N', 1, B9600, CS5},
      {9600, 6, 'n', 2, B9600, CS6 | CSTOPB},
      {9600, 7, 'E', 1, B9600, CS7 | PARENB},
      {9600, 8, 'e', 1, B9600, CS8 | PARENB},
      {9600, 8, 'O', 2, B9600, CS8 | PARENB | PARODD | CSTOPB},
      {9600, 8, 'o', 1, B9600, CS8 | PARENB | PARODD},
      {9600, 8, 'M', 1, B9600, CS8 | PARENB | PARODD | CMSPAR},
      {9600, 8, 'm', 1, B9600, CS8 | PARENB | PARODD | CMSPAR},
      {9600, 8, 'S', 1, B9600, CS8 | PARENB | CMSPAR},
      {9600, 8, 's', 2, B9600, CS8 | PARENB | CMSPAR | CSTOPB},
      {9600, 4, 'N', 1, B0, 0}, {9600, 9, 'N', 1, B0, 0}, {9600, 8, 'X', 1, B0, 0},
      {9600, 8, '\0', 1, B0, 0}, {9600, 8, 'N', 0, B0, 0}, {9600, 8, 'N', 3, B0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.rate << " " << c.dataBits << "/" << int{c.parity} << "/" << c.stopBits);
    termios settings = Garbage();
    ASSERT_EQ(BuildSerialSettings(c.rate, c.dataBits, c.parity, c.stopBits, settings), c.speed != B0);
    if (c.speed == B0) continue;
    EXPECT_EQ(cfgetispeed(&settings), c.speed);
    EXPECT_EQ(cfgetospeed(&settings), c.speed);
    EXPECT_EQ(settings.c_cflag & ~(CBAUD | CIBAUD), CREAD | CLOCAL | c.flags);
    EXPECT_TRUE(settings.c_iflag == 0 && settings.c_oflag == 0 && settings.c_lflag == 0 &&
                (settings.c_cflag & CRTSCTS) == 0 && settings.c_cc[VMIN] == 0 && settings.c_cc[VTIME] == 0);
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
    port.InitSerial(pty.slavePath, c.rate, c.dataBits, c.parity, c.stopBits, PortMode::kRs232);
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
  port.InitSerial(pty.slavePath, 2401, 8, 'N', 1, PortMode::kRs485);
  EXPECT_FALSE(port.Open());
  EXPECT_EQ(porttest::OpenDescriptorCount(), descriptors);
  port.InitSerial(pty.slavePath, 2400, 8, 'N', 1, PortMode::kRs485);
  ASSERT_TRUE(port.Open());
  termios applied{};
  ASSERT_EQ(tcgetattr(pty.slave, &applied), 0);
  EXPECT_EQ(cfgetospeed(&applied), static_cast<speed_t>(B2400));

  TSER missing;
  missing.InitSerial(pty.slavePath + "-missing", 9600, 8, 'N', 1, PortMode::kRs232);
  EXPECT_FALSE(missing.Open());
}

// On an M-Bus slave line (mode 5) every byte sent comes back first; the port
// drops exactly that many bytes, across reads. Other modes keep everything.
TEST(SerialPortTest, OnlyTheMBusSlaveModeDropsItsOwnEcho) {
  for (PortMode mode : {PortMode::kRs232, PortMode::kRs485, PortMode::kMBusMaster, PortMode::kMBusSlave}) {
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
    const bool echo = mode == PortMode::kMBusSlave;
    EXPECT_EQ(port.Read(buffer, sizeof buffer, count), !echo) << static_cast<int>(mode);
    pty.Send(std::string("\x59\x16\xE5\x68", 4));  // two more echo bytes, then the answer
    ASSERT_TRUE(testutil::WaitFor([&] { return pty.PendingInput() == 4; }));
    ASSERT_TRUE(port.Read(buffer, sizeof buffer, count)) << static_cast<int>(mode);
    EXPECT_EQ(std::string(buffer, buffer + count), echo ? "\xE5\x68" : std::string("\x59\x16\xE5\x68", 4)) << static_cast<int>(mode);
  }
}

// The one serial line double, for what a pty cannot show: a line error
// (what poll reports, when set), and what a port asks of its line driver as
// a device that takes every request would see it: the kernel's RS-485
// settings, and RTS raised and dropped around each write with the output
// drained in between.
class LineSeam : public TSER {
 public:
  short events = -1;  // what poll reports; -1: what it really says
  std::vector<std::string> calls;
  serial_rs485 kernel{};
  int64_t drainedUs = -1;       // when the output was drained last
  int64_t droppedAfterUs = -1;  // how long after that RTS went down

 protected:
  short LineEvents() const override { return events >= 0 ? events : TSER::LineEvents(); }
  bool SetKernelRs485(const serial_rs485& settings) override {
    kernel = settings;
    calls.push_back("rs485");
    return true;
  }
  bool SetRts(bool on) override {
    calls.push_back(on ? "rts on" : "rts off");
    if (!on && drainedUs >= 0 && droppedAfterUs < 0) droppedAfterUs = NowUs() - drainedUs;
    return true;
  }
  void DrainOutput() override {
    calls.push_back("drain");
    drainedUs = NowUs();
  }
};

// A line that reports an error without data (a pty cannot, hence the seam)
// is closed like a hung-up one and reopened at most once a second: a loop
// that reads and waits on it for 1.5 s drops it, reopens it at once, then
// after a second.
TEST(SerialPortTest, ALineWithAnErrorButNoDataIsReopenedAtMostOnceASecond) {
  LineSeam port;
  port.events = POLLERR;
  Pty pty;
  port.InitSerial(pty.slavePath, 2400, 8, 'N', 1, PortMode::kRs232);
  ASSERT_TRUE(port.Open());
  const int64_t endUs = NowUs() + 1500 * kUsPerMs;
  int rounds = 0, count = 0;
  for (uint8_t buffer[8]; NowUs() < endUs; ++rounds) {
    EXPECT_FALSE(port.Read(buffer, sizeof buffer, count));
    WaitSet wait;
    port.WatchInput(wait);
    wait.DueAtUs(endUs);
    wait.Wait();
  }
  EXPECT_EQ(rounds, 3);
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
  port.InitSerial(pty.slavePath, 9600, 8, 'N', 1, PortMode::kMBusSlave);
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

TEST(SerialPortTest, Rs485DirectionIsSwitchedAsAsked) {
  const struct {
    Rs485Mode mode;
    std::vector<std::string> calls;  // an Open, a Write, a Close and an Open again
  } cases[] = {
      {Rs485Mode::kOff, {}},
      {Rs485Mode::kKernel, {"rs485", "rs485"}},
      {Rs485Mode::kRts, {"rts off", "rts on", "drain", "rts off", "rts off"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.mode));
    Pty pty;
    LineSeam port;
    port.InitSerial(pty.slavePath, 9600, 8, 'N', 1, PortMode::kRs485);
    port.SetRs485({c.mode, 5, 7});
    ASSERT_TRUE(port.Open());
    const uint8_t request[] = {0x01, 0x03, 0x00, 0x00, 0x00, 0x01, 0x84, 0x0A};
    EXPECT_TRUE(port.Write(request, sizeof request));
    EXPECT_EQ(pty.Receive(sizeof request).size(), sizeof request);
    port.Close();
    ASSERT_TRUE(port.Open());
    EXPECT_EQ(port.calls, c.calls);
    if (c.mode == Rs485Mode::kRts) {
      EXPECT_GE(port.droppedAfterUs, 7000);  // rs485_delay_after
    }
    if (c.mode != Rs485Mode::kKernel) continue;
    EXPECT_EQ(port.kernel.flags, unsigned{SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND});  // RTS off after send
    EXPECT_EQ(port.kernel.delay_rts_before_send, 5u);
    EXPECT_EQ(port.kernel.delay_rts_after_send, 7u);
  }
}

}  // namespace
