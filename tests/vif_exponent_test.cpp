#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "mbus/vif_exponent.h"

using namespace kestrel;

namespace {

using Bytes = std::vector<uint8_t>;

// Which byte of a VIB a scale moves, at the edges of each range: the VIFs
// next to a scalable one (mass, times, the VIFEs beside voltage and current)
// have no exponent a scale may touch.
TEST(VifExponentTest, FieldOfEachVib) {
  const struct {
    Bytes vib;
    int at;
    uint8_t mask;
  } cases[] = {
      {{0x00}, 0, 0x07},        {{0x07}, 0, 0x07},        {{0x87, 0x3C}, 0, 0x07},  // energy Wh, extension bit set
      {{0x0F}, 0, 0x07},        {{0x16}, 0, 0x07},        {{0x18}, -1, 0},          // mass: none
      {{0x27}, -1, 0},          {{0x2B}, 0, 0x07},        {{0x3E}, 0, 0x07},        // on time: none
      {{0x4F}, 0, 0x07},        {{0x57}, 0, 0x07},        {{0x5B}, 0, 0x03},
      {{0x67}, 0, 0x03},        {{0x6B}, 0, 0x03},        {{0x6C}, -1, 0},          // date: none
      {{0xFD, 0x49}, 1, 0x0F},  {{0xFD, 0x5C}, 1, 0x0F},  {{0xFD, 0x3F}, -1, 0},    // FD 3F: none
      {{0xFD, 0x60}, -1, 0},    {{0xFD}, -1, 0},          {{}, -1, 0},
      {{0x7D, 0x49}, -1, 0},  // 7Dh is no FDh: its extension bit is clear
  };
  for (const auto& c : cases) {
    const ExponentField field = FindExponentField(c.vib.data(), static_cast<int>(c.vib.size()));
    EXPECT_EQ(field.at, c.at) << static_cast<int>(c.vib.empty() ? 0 : c.vib.back());
    EXPECT_EQ(field.mask, c.mask) << static_cast<int>(c.vib.empty() ? 0 : c.vib.back());
  }
}

TEST(VifExponentTest, ScaleWithinTheFieldOnly) {
  const struct {
    uint8_t byte, mask;
    int scale;
    bool fits;
    uint8_t scaled;
  } cases[] = {
      {0x2B, 0x07, -1, true, 0x2A},  {0x2B, 0x07, 4, true, 0x2F},  {0x2B, 0x07, 5, false, 0},
      {0x2B, 0x07, -3, true, 0x28},  {0x2B, 0x07, -4, false, 0},   {0x83, 0x07, 3, true, 0x86},  // extension bit kept
      {0x49, 0x0F, 6, true, 0x4F},   {0x49, 0x0F, 7, false, 0},    {0x5B, 0x03, -3, true, 0x58},
  };
  for (const auto& c : cases) {
    uint8_t scaled = 0;
    EXPECT_EQ(ScaleExponent(c.byte, c.mask, c.scale, scaled), c.fits) << int{c.byte} << " " << c.scale;
    EXPECT_EQ(scaled, c.fits ? c.scaled : 0) << int{c.byte} << " " << c.scale;
  }
}

}  // namespace
