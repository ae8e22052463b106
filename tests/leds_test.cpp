#include <gtest/gtest.h>

#include <vector>

#include "support/leds.h"
#include "tests/led_capture.h"

using namespace kestrel;

namespace {

class LedPanelTest : public testutil::LedPanelCapture {};

constexpr int64_t t = 1000000;

// Each signal in turn, and the panel update it sends ({} for none). LED 8
// (bit 0 of the second byte) is lit by every signal; an LED stays lit for
// 300 ms after its last signal; an unchanged pattern is not sent again.
TEST_F(LedPanelTest, SignalsLightTheirLedsUntilTheyExpire) {
  const struct {
    unsigned led;
    int64_t at;
    std::vector<uint8_t> sent;
  } steps[] = {
      {kLedMBusReceive, t, {0xFF, 0x7E}},       // LED 15: bit 7 of the second byte
      {kLedMBusReceive, t + 10, {}},            // extends LED 15
      {kLedRefresh, t + 301, {}},               // still lit: signalled at t + 10
      {kLedRefresh, t + 310, {0xFF, 0xFE}},     // dark; LED 8 stays
      {kLedModbusPoll, t + 400, {0xFB, 0xFE}},  // low LEDs use the first byte
      {kLedMBusTransmit, t + 402, {0x7B, 0xFE}},
      {kLedRefresh, t + 701, {0x7F, 0xFE}},     // 300 ms and one after the poll
  };
  SignalLed(kLedMBusTransmit, t - 1000);  // a disabled panel is never written
  ASSERT_TRUE(Sent().empty());
  EnableLeds();
  for (const auto& step : steps) {
    const size_t before = Sent().size();
    SignalLed(step.led, step.at);
    ASSERT_EQ(Sent().size(), before + (step.sent.empty() ? 0 : 1)) << step.at - t;
    if (!step.sent.empty()) {
      EXPECT_EQ(std::vector<uint8_t>(Sent().back().begin(), Sent().back().end()), step.sent) << step.at - t;
    }
  }
}

}  // namespace
