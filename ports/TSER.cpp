#include "ports/TSER.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>

#include "support/clock.h"
#include "support/logs.h"

namespace kestrel {
namespace {

// Read runs every millisecond while an answer is awaited, so it tries to
// reopen a hung-up line at most this often; Write (once per request) tries
// every time, so that a request finds a device that came back.
constexpr int64_t kReadReopenIntervalMs = 1000;

struct BaudRate {
  int rate;
  speed_t speed;
};

constexpr BaudRate kBaudRates[] = {
    {300, B300},     {600, B600},     {1200, B1200},   {2400, B2400},   {4800, B4800},
    {9600, B9600},   {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200},
};

bool SpeedFor(int rate, speed_t& speed) {
  for (const BaudRate& entry : kBaudRates) {
    if (entry.rate == rate) {
      speed = entry.speed;
      return true;
    }
  }
  return false;
}

bool DataBitsFlag(int bits, tcflag_t& flag) {
  switch (bits) {
    case 5: flag = CS5; return true;
    case 6: flag = CS6; return true;
    case 7: flag = CS7; return true;
    case 8: flag = CS8; return true;
    default: return false;
  }
}

bool ParityFlags(char parity, tcflag_t& flags) {
  switch (std::toupper(static_cast<unsigned char>(parity))) {
    case 'E': flags = PARENB; return true;
    case 'O': flags = PARENB | PARODD; return true;
    case 'M': flags = PARENB | PARODD | CMSPAR; return true;
    case 'S': flags = PARENB | CMSPAR; return true;
    case 'N': flags = 0; return true;
    default: return false;
  }
}

bool StopBitsFlag(int stopBits, tcflag_t& flag) {
  if (stopBits == 1) flag = 0;
  else if (stopBits == 2) flag = CSTOPB;
  else return false;
  return true;
}

}  // namespace

bool BuildSerialSettings(int baudRate, int dataBits, char parity, int stopBits, termios& settings) {
  speed_t speed;
  tcflag_t size, parityFlags, stop;
  if (!SpeedFor(baudRate, speed) || !DataBitsFlag(dataBits, size) || !ParityFlags(parity, parityFlags) ||
      !StopBitsFlag(stopBits, stop)) {
    return false;
  }
  settings.c_iflag = 0;
  settings.c_oflag = 0;
  settings.c_lflag = 0;
  settings.c_cflag = CREAD | CLOCAL | size | parityFlags | stop;  // no flow control
  cfsetispeed(&settings, speed);
  cfsetospeed(&settings, speed);
  settings.c_cc[VTIME] = 0;  // a read returns at once with what the driver holds
  settings.c_cc[VMIN] = 0;
  return true;
}

int CharacterBits(int dataBits, char parity, int stopBits) {
  constexpr int kStartBits = 1;
  const bool parityBit = parity != 'N' && parity != 'n';
  return kStartBits + dataBits + (parityBit ? 1 : 0) + stopBits;
}

serial_rs485 KernelRs485Settings(const Rs485Settings& settings) {
  serial_rs485 kernel{};
  // RTS on while sending; without SER_RS485_RTS_AFTER_SEND it drops after.
  kernel.flags = SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
  kernel.delay_rts_before_send = static_cast<uint32_t>(settings.delayBeforeMs);
  kernel.delay_rts_after_send = static_cast<uint32_t>(settings.delayAfterMs);
  return kernel;
}

TSER::~TSER() { Close(); }

bool TSER::InitSerial(const std::string& device, int baudRate, int dataBits, char parity, int stopBits,
                      PortMode mode) {
  LogStartup("Initialising Serial port, portdev = %s, databits = %d, parity = %c, stopbit = %d\n",
             device.c_str(), dataBits, parity, stopBits);
  devicePath_ = device;
  baudRate_ = baudRate;
  dataBits_ = dataBits;
  parity_ = parity;
  stopBits_ = stopBits;
  SetMode(mode);
  echoSkip_ = 0;
  return true;
}

bool TSER::Open() {
  if (device_ >= 0) return true;
  if (!Close()) return false;
  device_ = open(devicePath_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (device_ < 0) return false;
  // A line that cannot take the settings is closed again, so that the next
  // Open applies them afresh.
  if (tcgetattr(device_, &settings_) != 0 ||
      !BuildSerialSettings(baudRate_, dataBits_, parity_, stopBits_, settings_) ||
      tcsetattr(device_, TCSANOW, &settings_) != 0) {
    Close();
    return false;
  }
  SwitchDirectionControl();
  return true;
}

void TSER::SwitchDirectionControl() {
  rtsRefused_ = false;
  if (rs485_.mode == Rs485Mode::kKernel && !SetKernelRs485(KernelRs485Settings(rs485_))) {
    ReportRefusal("the kernel's RS-485 mode", errno);
  } else if (rs485_.mode == Rs485Mode::kRts && !SetRts(false)) {
    rtsRefused_ = true;
    ReportRefusal("RTS control", errno);
  }
}

// Once: the line is opened again after every hang-up, and StartupLog is
// closed by then anyway.
void TSER::ReportRefusal(const char* what, int error) {
  if (rs485Reported_) return;
  rs485Reported_ = true;
  LogStartup("Serial port %s refuses %s (%s): it works without\n", devicePath_.c_str(), what, std::strerror(error));
}

bool TSER::SetKernelRs485(const serial_rs485& settings) {
  serial_rs485 asked = settings;
  return ioctl(device_, TIOCSRS485, &asked) == 0;
}

bool TSER::SetRts(bool on) {
  const int rts = TIOCM_RTS;
  return ioctl(device_, on ? TIOCMBIS : TIOCMBIC, &rts) == 0;
}

void TSER::DrainOutput() { tcdrain(device_); }

// The driver sends while RTS is up: up before the write, down once the
// last bit has left the line (and rs485_delay_after later).
ssize_t TSER::WriteWithRts(const uint8_t* data, int length) {
  SetRts(true);
  if (rs485_.delayBeforeMs > 0) usleep(static_cast<useconds_t>(rs485_.delayBeforeMs) * kUsPerMs);
  const ssize_t written = write(device_, data, static_cast<size_t>(length));
  DrainOutput();
  if (rs485_.delayAfterMs > 0) usleep(static_cast<useconds_t>(rs485_.delayAfterMs) * kUsPerMs);
  SetRts(false);
  return written;
}

bool TSER::Close() {
  if (device_ < 0) return true;
  if (close(device_) != 0) return false;
  device_ = -1;
  return true;
}

short TSER::LineEvents() const {
  pollfd line{device_, POLLIN, 0};
  return poll(&line, 1, 0) == 1 ? line.revents : 0;
}

// With VMIN = VTIME = 0 an idle line and a hung-up one both read as empty;
// only poll tells them apart: a tty reports POLLHUP once it was hung up or
// its device went away. Line errors (parity, framing) never raise it. A
// line that reports an error without data is as good as gone: waited on, it
// would end every wait at once.
bool TSER::LineGone() const { return (LineEvents() & (POLLHUP | POLLERR | POLLNVAL)) != 0; }

void TSER::DropHungUpLine() {
  LogTrace("Serial port %s hung up%s\n", devicePath_.c_str(), TraceLabel());
  Close();
  // The next try is due a reopen interval after the last one: at once after
  // a while on a good line, in turn on one that fails again as soon as it is open.
  hungUp_ = true;
}

bool TSER::ReopenAfterHangUp(int64_t intervalMs) {
  if (!hungUp_) return false;
  const int64_t now = NowMs();
  if (now - lastReopenMs_ < intervalMs) return false;
  lastReopenMs_ = now;
  if (!Open()) return false;
  LogTrace("Serial port %s reopened%s\n", devicePath_.c_str(), TraceLabel());
  hungUp_ = false;
  echoSkip_ = 0;  // what was sent before the hang-up never comes back
  return true;
}

bool TSER::Write(const uint8_t* data, int length) {
  if (length < 0) return false;
  if (device_ < 0 && !ReopenAfterHangUp(0)) return false;
  const bool switchRts = rs485_.mode == Rs485Mode::kRts && !rtsRefused_;
  const ssize_t written = switchRts ? WriteWithRts(data, length) : write(device_, data, static_cast<size_t>(length));
  if (written < 0) {
    if (LineGone()) DropHungUpLine();
    return false;
  }
  if (GetMode() == PortMode::kMBusSlave) echoSkip_ += length;
  return written == length;
}

bool TSER::Read(uint8_t* buffer, int maxLength, int& count) {
  count = 0;
  if (maxLength < 0) return false;
  if (device_ < 0 && !ReopenAfterHangUp(kReadReopenIntervalMs)) return false;
  const ssize_t n = read(device_, buffer, static_cast<size_t>(maxLength));
  if (n <= 0) {
    if (LineGone()) DropHungUpLine();
    return false;
  }
  count = static_cast<int>(n);
  if (GetMode() != PortMode::kMBusSlave) return true;
  if (count <= echoSkip_) {
    echoSkip_ -= count;
    count = 0;
    return false;
  }
  std::memmove(buffer, buffer + echoSkip_, static_cast<size_t>(count - echoSkip_));
  count -= echoSkip_;
  echoSkip_ = 0;
  return true;
}

void TSER::WatchInput(WaitSet& wait) {
  if (device_ >= 0) {
    wait.WatchReadable(device_);  // a hang-up ends the wait too, and Read then drops the line
  } else if (hungUp_) {
    wait.DueAtUs((lastReopenMs_ + kReadReopenIntervalMs) * kUsPerMs);
  }
}

}  // namespace kestrel
