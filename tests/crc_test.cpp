#include <gtest/gtest.h>

#include <vector>

#include "modbus/crc.h"

using namespace kestrel;

namespace {

// Frames with their two CRC bytes, the byte of the result's high half first.
TEST(ModbusCrcTest, KnownFrames) {
  const std::vector<uint8_t> frames[] = {
      {0x01, 0x03, 0x00, 0x00, 0x00, 0x01, 0x84, 0x0A},
      {0x01, 0x03, 0x02, 0x00, 0x2A, 0x39, 0x9B},
      {0x01, 0x83, 0x02, 0xC0, 0xF1},
      {0x01, 0x90, 0x04, 0x4D, 0xC3},
      {0x01, 0x10, 0x00, 0x0A, 0x00, 0x02, 0x04, 0x11, 0x22, 0x33, 0x44, 0xC2, 0x25},
  };
  for (const auto& frame : frames) {
    std::vector<uint8_t> rebuilt(frame.begin(), frame.end() - 2);
    rebuilt.resize(frame.size());
    AppendModbusCrc(rebuilt.data(), static_cast<uint32_t>(frame.size() - 2));
    EXPECT_EQ(rebuilt, frame);
  }
  EXPECT_EQ(ModbusCrc(frames[0].data(), 6), 0x840A);
  EXPECT_EQ(ModbusCrc(nullptr, 0), 0xFFFF);
}

}  // namespace
