#include <gtest/gtest.h>

#include <vector>

#include "core/addressing.h"
#include "tests/test_util.h"

namespace {

using Address = std::vector<uint8_t>;

const Address kMeter12345678 = {0x78, 0x56, 0x34, 0x12, 0x38, 0x6A, 0x10, 0x07};

TEST(MatchSecondaryAddressTest, WildcardsAndValidity) {
  struct Case {
    const char* name;
    Address pattern;
    Address address;
    int expected;
  } cases[] = {
      {"exact", {0x78, 0x56, 0x34, 0x12, 0x38, 0x6A, 0x10, 0x07}, kMeter12345678, 0},
      {"id with all other bytes wild", {0x78, 0x56, 0x34, 0x12, 0xFF, 0xFF, 0xFF, 0xFF}, kMeter12345678, 0},
      {"last digit wild", {0x7F, 0x56, 0x34, 0x12, 0xFF, 0xFF, 0xFF, 0xFF}, kMeter12345678, 0},
      {"last digit wild, other meter", {0x7F, 0x56, 0x34, 0x12, 0xFF, 0xFF, 0xFF, 0xFF},
       {0x70, 0x56, 0x34, 0x12, 0x38, 0x6A, 0x10, 0x07}, 0},
      {"all wild", Address(8, 0xFF), kMeter12345678, 0},
      {"manufacturer half wild", {0xFF, 0xFF, 0xFF, 0xFF, 0x38, 0xFF, 0xFF, 0xFF}, kMeter12345678, 0},
      {"manufacturer 00 00", {0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0xFF, 0xFF}, kMeter12345678, 1},
      {"version 11h", {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x11, 0xFF}, kMeter12345678, 1},
      {"medium differs", {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x04}, kMeter12345678, 1},
      {"high digit differs", {0x78, 0x56, 0x34, 0x22, 0xFF, 0xFF, 0xFF, 0xFF}, kMeter12345678, 1},
      {"pattern digit Ah", {0x1A, 0x56, 0x34, 0x12, 0xFF, 0xFF, 0xFF, 0xFF}, kMeter12345678, -1},
      {"pattern high digit Eh", {0xE8, 0x56, 0x34, 0x12, 0xFF, 0xFF, 0xFF, 0xFF}, kMeter12345678, -1},
      {"address digit Fh", Address(8, 0xFF), {0x7F, 0x56, 0x34, 0x12, 0x38, 0x6A, 0x10, 0x07}, -1},
      {"address medium FFh", Address(8, 0xFF), {0x78, 0x56, 0x34, 0x12, 0x38, 0x6A, 0x10, 0xFF}, -1},
      {"validity before comparison", {0x00, 0x00, 0x00, 0x1A, 0x00, 0x00, 0x00, 0x00}, kMeter12345678, -1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(MatchSecondaryAddress(c.pattern.data(), c.address.data()), c.expected) << c.name;
  }
}

TEST(DeviceSecondaryAddressTest, IdNumberPairsAndMediumWithFFhForWhatDoesNotConvert) {
  testutil::TempDir dir;
  testutil::WriteFile(dir / "meters.xml",
                      "<?xml version=\"1.0\"?><Meters>"
                      "<Device IdNumber=\"12345678\" Medium=\"07\"/>"
                      "<Device IdNumber=\"1234567\" Medium=\"4\"/>"
                      "<Device IdNumber=\"12G45678\"/>"
                      "</Meters>");
  DeviceTree tree;
  ASSERT_TRUE(LoadDeviceFile(dir / "meters.xml", tree));
  const Address expected[] = {
      {0x78, 0x56, 0x34, 0x12, 0x38, 0x6A, 0x10, 0x07},
      {0xFF, 0x56, 0x34, 0x12, 0x38, 0x6A, 0x10, 0xFF},
      {0x78, 0x56, 0xFF, 0x12, 0x38, 0x6A, 0x10, 0xFF},
  };
  int i = 0;
  for (Element device = FirstDevice(tree); device != nullptr; device = NextDevice(tree, device), ++i) {
    ASSERT_LT(i, 3);
    uint8_t address[8];
    DeviceSecondaryAddress(device, address);
    EXPECT_EQ(Address(address, address + 8), expected[i]) << "device " << i;
  }
  EXPECT_EQ(i, 3);
  FreeDeviceTree(tree);
}

}  // namespace
