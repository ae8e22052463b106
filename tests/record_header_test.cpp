#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "meter/record_header.h"

namespace {

using Bytes = std::vector<uint8_t>;

TEST(RecordHeaderTest, BitLength) {
  struct Case {
    uint64_t value;
    int length;
  } cases[] = {{0, 0}, {1, 1}, {2, 2}, {3, 2}, {255, 8}, {256, 9}, {uint64_t{1} << 63, 64}, {UINT64_MAX, 64}};
  for (const Case& c : cases) EXPECT_EQ(BitLength(c.value), c.length) << c.value;
}

TEST(RecordHeaderTest, DifAndDifes) {
  struct Case {
    unsigned function;
    uint8_t dataField;
    uint64_t storage;
    uint32_t tariff;
    uint32_t subunit;
    Bytes header;
  } cases[] = {
      {0, 4, 0, 0, 0, {0x04}},
      {0, 4, 1, 0, 0, {0x44}},
      {0, 4, 2, 0, 0, {0x84, 0x01}},
      {0, 4, 32, 0, 0, {0x84, 0x80, 0x01}},
      {0, 4, 0, 1, 0, {0x84, 0x10}},
      {0, 4, 0, 4, 0, {0x84, 0x80, 0x10}},  // tariff bit 2 lands in the second DIFE
      {0, 4, 0, 0, 1, {0x84, 0x40}},
      {0, 4, 0, 0, 2, {0x84, 0x80, 0x40}},
      {1, 2, 3, 2, 1, {0xD2, 0x61}},
      {3, 15, 0, 0, 0, {0x3F}},
      // Storage bits above bit 40 are lost, and the count stops at ten DIFEs.
      {0, 4, uint64_t{1} << 50, 0, 0, {0x84, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x00}},
      {0, 0, UINT64_MAX, UINT32_MAX, UINT32_MAX,
       {0xC0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F}},
      // The data field code is added, not masked: 16 carries into the function bits.
      {0, 16, 0, 0, 0, {0x10}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "storage " << c.storage << " tariff " << c.tariff << " subunit "
                                      << c.subunit);
    Bytes out(kMaxRecordHeaderLength + 1, 0xAA);
    const int length =
        EncodeRecordHeader(out.data(), c.function, c.dataField, c.storage, c.tariff, c.subunit);
    ASSERT_EQ(length, static_cast<int>(c.header.size()));
    EXPECT_EQ(Bytes(out.begin(), out.begin() + length), c.header);
    EXPECT_EQ(out[length], 0xAA);
  }
}

TEST(RecordHeaderTest, FunctionAboveThreeFails) {
  uint8_t out[kMaxRecordHeaderLength] = {};
  EXPECT_EQ(EncodeRecordHeader(out, 4, 4, 0, 0, 0), -1);
  EXPECT_EQ(EncodeRecordHeader(out, 0xFFFFFFFF, 4, 2, 0, 0), -1);
}

TEST(RecordHeaderTest, VibPairs) {
  struct Case {
    const char* vib;
    Bytes bytes;
  } cases[] = {
      {"FD0F", {0xFD, 0x0F}}, {"FD0", {0xFD}},  {"FDxx0F", {0xFD, 0x0F}},
      {"", {}},               {"0313", {0x03, 0x13}}, {"fd", {0xFD}},
      {"x", {}},              {nullptr, {}},
  };
  for (const Case& c : cases) {
    Bytes out(8, 0xAA);
    const int count = VibToBytes(c.vib, out.data(), 8);
    ASSERT_EQ(count, static_cast<int>(c.bytes.size())) << (c.vib ? c.vib : "null");
    EXPECT_EQ(Bytes(out.begin(), out.begin() + count), c.bytes);
    EXPECT_EQ(out[count], 0xAA);
  }
}

TEST(RecordHeaderTest, VibLongerThanItsRoomFailsWithoutWritingPastIt) {
  Bytes out(4, 0xAA);
  EXPECT_EQ(VibToBytes("0102", out.data(), 2), 2);
  EXPECT_EQ(VibToBytes("010203", out.data(), 2), -1);
  EXPECT_EQ(out[2], 0xAA);
  EXPECT_EQ(VibToBytes("01xx02", out.data(), 2), 2);  // skipped pairs take no room
}

}  // namespace
