#include "support/leds.h"

#include <fcntl.h>
#include <linux/spi/spidev.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "support/paths.h"

namespace kestrel {
namespace {

constexpr unsigned kLedCount = 16;
constexpr uint8_t kSpiMode = SPI_MODE_0 | SPI_CS_HIGH;  // chip select active high
constexpr uint8_t kSpiBitsPerWord = 8;
constexpr useconds_t kRepeatDelayUs = 100;

uint64_t gExpiry[kLedCount] = {};
bool gEnabled = false;
uint16_t gLastPattern = 0;
int gSpiDevice = -1;

void TransferTwice(int fd, const uint8_t bytes[2]) {
  uint8_t tx[2] = {bytes[0], bytes[1]};
  uint8_t rx[2] = {};
  spi_ioc_transfer transfer{};
  transfer.tx_buf = reinterpret_cast<uintptr_t>(tx);
  transfer.rx_buf = reinterpret_cast<uintptr_t>(rx);
  transfer.len = sizeof tx;
  ioctl(fd, SPI_IOC_MESSAGE(1), &transfer);
  usleep(kRepeatDelayUs);
  ioctl(fd, SPI_IOC_MESSAGE(1), &transfer);
}

// Failures are silent: the next change of the pattern tries again.
void WriteSpiPanel(const uint8_t bytes[2]) {
  gSpiDevice = open(RootedPath(kSpiDevicePath).c_str(), O_RDWR);
  if (gSpiDevice <= 0) {
    if (gSpiDevice == 0) close(gSpiDevice);
    gSpiDevice = -1;
    return;
  }
  uint8_t mode = kSpiMode;
  uint8_t bits = kSpiBitsPerWord;
  if (ioctl(gSpiDevice, SPI_IOC_WR_MODE, &mode) >= 0 &&
      ioctl(gSpiDevice, SPI_IOC_WR_BITS_PER_WORD, &bits) >= 0) {
    TransferTwice(gSpiDevice, bytes);
  }
  close(gSpiDevice);
  gSpiDevice = -1;
}

LedPanelWriter gWriter = WriteSpiPanel;

uint16_t LitPattern(uint64_t now) {
  uint16_t pattern = 0;
  for (unsigned i = 0; i < kLedCount; ++i) {
    if (now < gExpiry[i]) pattern = static_cast<uint16_t>(pattern | (1u << i));
  }
  return pattern;
}

}  // namespace

void EnableLeds() { gEnabled = true; }

void SignalLed(unsigned led, int64_t now) {
  const uint64_t expiry = static_cast<uint64_t>(now) + kLedLitMs;
  gExpiry[kLedAlive] = expiry;
  if (!gEnabled) return;
  if (led < kLedCount) gExpiry[led] = expiry;

  const uint16_t pattern = LitPattern(static_cast<uint64_t>(now));
  if (pattern == gLastPattern) return;
  gLastPattern = pattern;  // stored first: a failed transfer is not repeated

  // A lit LED is a 0 bit on the wire.
  const uint8_t bytes[2] = {static_cast<uint8_t>(~pattern & 0xFF),
                            static_cast<uint8_t>((~pattern >> 8) & 0xFF)};
  gWriter(bytes);
}

int64_t NextLedChangeMs() {
  if (!gEnabled) return -1;
  int64_t next = -1;
  for (unsigned i = 0; i < kLedCount; ++i) {
    const bool lit = (gLastPattern & (1u << i)) != 0;
    if (!lit || i == kLedAlive) continue;
    const int64_t expiry = static_cast<int64_t>(gExpiry[i]);
    if (next < 0 || expiry < next) next = expiry;
  }
  return next;
}

void SetLedPanelWriter(LedPanelWriter writer) { gWriter = writer != nullptr ? writer : WriteSpiPanel; }

void ResetLeds() {
  for (uint64_t& e : gExpiry) e = 0;
  gEnabled = false;
  gLastPattern = 0;
}

}  // namespace kestrel
