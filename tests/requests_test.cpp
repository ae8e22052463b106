// What the golden exchanges cannot reach of the request builders: every
// request on the wire is pinned there.
#include <gtest/gtest.h>

#include <cstdint>

#include "modbus/requests.h"

using namespace kestrel;

namespace {

TEST(RequestsTest, RegisterNumberMinusBaseModulo65536) {
  const struct {
    uint32_t number, base;
    uint16_t address;
  } cases[] = {{5, 1, 0x0004}, {0, 1, 0xFFFF}, {100, 0x64, 0x0000}, {100, 0x65, 0xFFFF},
               {40001, 0x9C41, 0x0000}, {70000, 0, 70000 - 65536}, {5, 0xFFFFFFFF, 6}};
  for (const auto& c : cases) EXPECT_EQ(ModbusRegisterAddress(c.number, c.base), c.address) << c.number;
}

TEST(RequestsTest, AWriteTakesWholeRegistersThatFit) {
  const uint8_t registers[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  uint8_t out[kMaxWriteRequestLength];
  EXPECT_EQ(BuildWriteRequest(9, 1, registers, 8, out), kMaxWriteRequestLength);
  EXPECT_EQ(out[5], 4);  // quantity
  EXPECT_EQ(out[6], 8);  // byte count
  for (int refused : {0, 1, 3, 10}) EXPECT_EQ(BuildWriteRequest(9, 1, registers, refused, out), -1) << refused;
}

}  // namespace
