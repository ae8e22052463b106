#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "support/clock.h"
#include "support/leds.h"
#include "tests/led_capture.h"

using namespace kestrel;

namespace {

class LedPanelTest : public testutil::LedPanelCapture {};

using Bytes = std::array<uint8_t, 2>;
constexpr int64_t t = 1000000;

TEST_F(LedPanelTest, ASignalLightsTheLedAndTheAliveLed) {
  EnableLeds();
  SignalLed(kLedMBusReceive, t);
  ASSERT_EQ(Sent().size(), 1u);
  EXPECT_EQ(Sent()[0], (Bytes{0xFF, 0x7E}));  // LED 8 bit 0, LED 15 bit 7 of the second byte
}

TEST_F(LedPanelTest, AnUnchangedPatternSendsNothingButExtendsTheLed) {
  EnableLeds();
  SignalLed(kLedMBusReceive, t);
  SignalLed(kLedMBusReceive, t + 10);
  EXPECT_EQ(Sent().size(), 1u);
  SignalLed(kLedRefresh, t + 301);  // LED 15 was refreshed at t + 10: still lit
  EXPECT_EQ(Sent().size(), 1u);
  SignalLed(kLedRefresh, t + 310);
  ASSERT_EQ(Sent().size(), 2u);
  EXPECT_EQ(Sent()[1], (Bytes{0xFF, 0xFE}));
}

TEST_F(LedPanelTest, RefreshDarkensExpiredLedsButKeepsTheAliveLed) {
  EnableLeds();
  SignalLed(kLedMBusReceive, t);
  SignalLed(kLedRefresh, t + 301);
  ASSERT_EQ(Sent().size(), 2u);
  EXPECT_EQ(Sent()[1], (Bytes{0xFF, 0xFE}));
}

TEST_F(LedPanelTest, LowLedsUseTheFirstByte) {
  EnableLeds();
  SignalLed(kLedModbusPoll, t);
  SignalLed(kLedMBusTransmit, t + 1);
  ASSERT_EQ(Sent().size(), 2u);
  EXPECT_EQ(Sent()[0], (Bytes{0xFB, 0xFE}));
  EXPECT_EQ(Sent()[1], (Bytes{0x7B, 0xFE}));
}

TEST_F(LedPanelTest, ADisabledPanelIsNeverWritten) {
  SignalLed(kLedMBusTransmit, t);
  SignalLed(kLedModbusTransmit, t + 500);
  EXPECT_TRUE(Sent().empty());
}

TEST_F(LedPanelTest, AMissingSpiDeviceIsSilent) {
  SetLedPanelWriter(nullptr);  // the real SPI path; no such device here
  setenv("KESTREL_ROOT", "/nonexistent-kestrel-root", 1);
  EnableLeds();
  SignalLed(kLedMBusReceive, t);
  SignalLed(kLedRefresh, t + 400);
  unsetenv("KESTREL_ROOT");
}

TEST(ClockTest, MillisecondsNeverGoBack) {
  int64_t previous = NowMs();
  for (int i = 0; i < 1000; ++i) {
    const int64_t now = NowMs();
    ASSERT_GE(now, previous);
    previous = now;
  }
  EXPECT_GT(previous, 0);
}

}  // namespace
