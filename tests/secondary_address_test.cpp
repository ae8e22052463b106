#include <gtest/gtest.h>

#include <vector>

#include "mbus/secondary_address.h"

using namespace kestrel;

namespace {

using Address = std::vector<uint8_t>;

const Address kMeter12345678 = {0x78, 0x56, 0x34, 0x12, 0x38, 0x6A, 0x10, 0x07};

TEST(MatchSecondaryAddressTest, WildcardsAndValidity) {
  const struct {
    const char* name;
    Address pattern;
    Address address;
    int expected;
  } cases[] = {
      {"exact", kMeter12345678, kMeter12345678, 0},
      {"id with all other bytes wild", {0x78, 0x56, 0x34, 0x12, 0xFF, 0xFF, 0xFF, 0xFF}, kMeter12345678, 0},
      {"last digit wild", {0x7F, 0x56, 0x34, 0x12, 0xFF, 0xFF, 0xFF, 0xFF}, kMeter12345678, 0},
      {"all wild", Address(8, 0xFF), kMeter12345678, 0},
      {"manufacturer half wild", {0xFF, 0xFF, 0xFF, 0xFF, 0x38, 0xFF, 0xFF, 0xFF}, kMeter12345678, 0},
      {"manufacturer 00 00", {0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0xFF, 0xFF}, kMeter12345678, 1},
      {"medium differs", {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x04}, kMeter12345678, 1},
      {"high digit differs", {0x78, 0x56, 0x34, 0x22, 0xFF, 0xFF, 0xFF, 0xFF}, kMeter12345678, 1},
      {"pattern digit Ah", {0x1A, 0x56, 0x34, 0x12, 0xFF, 0xFF, 0xFF, 0xFF}, kMeter12345678, -1},
      {"address digit Fh", Address(8, 0xFF), {0x7F, 0x56, 0x34, 0x12, 0x38, 0x6A, 0x10, 0x07}, -1},
      {"address medium FFh", Address(8, 0xFF), {0x78, 0x56, 0x34, 0x12, 0x38, 0x6A, 0x10, 0xFF}, -1},
      {"validity before comparison", {0x00, 0x00, 0x00, 0x1A, 0x00, 0x00, 0x00, 0x00}, kMeter12345678, -1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(MatchSecondaryAddress(c.pattern.data(), c.address.data()), c.expected) << c.name;
  }
}

TEST(OwnSecondaryAddressTest, IdNumberPairsAndMediumWithFFhForWhatDoesNotConvert) {
  const struct {
    const char* idNumber;
    const char* medium;
    Address address;
  } cases[] = {
      {"12345678", "07", {0x78, 0x56, 0x34, 0x12, 0x38, 0x6A, 0x10, 0x07}},
      {"1234567", "4", {0xFF, 0x56, 0x34, 0x12, 0x38, 0x6A, 0x10, 0xFF}},
      {"12G45678", "", {0x78, 0x56, 0xFF, 0x12, 0x38, 0x6A, 0x10, 0xFF}},
  };
  for (const auto& c : cases) {
    uint8_t address[kSecondaryAddressLength];
    OwnSecondaryAddress(c.idNumber, c.medium, address);
    EXPECT_EQ(Address(address, address + kSecondaryAddressLength), c.address) << c.idNumber;
  }
}

}  // namespace
