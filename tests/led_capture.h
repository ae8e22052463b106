#pragma once
// A fixture for tests of code that signals LEDs: it catches every panel
// update (the two bytes that would go over SPI) instead of touching the SPI
// device. Each test starts with all LEDs dark and the panel disabled.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include "support/leds.h"

namespace testutil {

using namespace kestrel;

using PanelBytes = std::array<uint8_t, 2>;

class LedPanelCapture : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetLeds();
    Sent().clear();
    SetLedPanelWriter(Capture);
  }
  void TearDown() override {
    SetLedPanelWriter(nullptr);
    ResetLeds();
  }
  // Every panel update since SetUp, in order.
  static std::vector<PanelBytes>& Sent() {
    static std::vector<PanelBytes> sent;
    return sent;
  }

 private:
  static void Capture(const uint8_t bytes[2]) { Sent().push_back({bytes[0], bytes[1]}); }
};

}  // namespace testutil
