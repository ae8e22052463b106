#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "mbus/record_header.h"

using namespace kestrel;

namespace {

using Bytes = std::vector<uint8_t>;

TEST(RecordHeaderTest, DifAndDifes) {
  const struct {
    unsigned function;
    uint8_t dataField;
    uint64_t storage;
    uint32_t tariff, subunit;
    Bytes header;  // {} for a refusal
  } cases[] = {
      {0, 4, 0, 0, 0, {0x04}},
      {0, 4, 1, 0, 0, {0x44}},
      {0, 4, 2, 0, 0, {0x84, 0x01}},
      {0, 4, 32, 0, 0, {0x84, 0x80, 0x01}},
      {0, 4, 0, 1, 0, {0x84, 0x10}},
      {0, 4, 0, 4, 0, {0x84, 0x80, 0x10}},  // tariff bit 2 lands in the second DIFE
      {0, 4, 0, 0, 1, {0x84, 0x40}},
      {1, 2, 3, 2, 1, {0xD2, 0x61}},
      // Storage bits above bit 40 are lost, and the count stops at ten DIFEs.
      {0, 4, uint64_t{1} << 50, 0, 0, {0x84, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x00}},
      {0, 0, UINT64_MAX, UINT32_MAX, UINT32_MAX, {0xC0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F}},
      {0, 16, 0, 0, 0, {0x10}},  // the data field code is added, not masked
      {4, 4, 0, 0, 0, {}},
  };
  for (const auto& c : cases) {
    Bytes out(kMaxRecordHeaderLength + 1, 0xAA);
    const int length = EncodeRecordHeader(out.data(), c.function, c.dataField, c.storage, c.tariff, c.subunit);
    EXPECT_EQ(length < 0 ? Bytes{} : Bytes(out.begin(), out.begin() + length), c.header)
        << "function " << c.function << " storage " << c.storage << " tariff " << c.tariff;
    EXPECT_EQ(out[c.header.size()], 0xAA);
  }
}

TEST(RecordHeaderTest, VibPairs) {
  const struct {
    const char* vib;
    int capacity;
    int count;  // -1: would not fit
    Bytes bytes;
  } cases[] = {
      {"FD0F", 8, 2, {0xFD, 0x0F}}, {"FD0", 8, 1, {0xFD}},       {"FDxx0F", 8, 2, {0xFD, 0x0F}},
      {"", 8, 0, {}},               {"fd", 8, 1, {0xFD}},        {"x", 8, 0, {}},
      {nullptr, 8, 0, {}},          {"0102", 2, 2, {0x01, 0x02}}, {"010203", 2, -1, {0x01, 0x02}},
      {"01xx02", 2, 2, {0x01, 0x02}},  // skipped pairs take no room
  };
  for (const auto& c : cases) {
    Bytes out(8, 0xAA);
    EXPECT_EQ(VibToBytes(c.vib, out.data(), c.capacity), c.count) << (c.vib ? c.vib : "null");
    EXPECT_EQ(Bytes(out.begin(), out.begin() + c.bytes.size()), c.bytes) << (c.vib ? c.vib : "null");
    EXPECT_EQ(out[c.bytes.size()], 0xAA) << (c.vib ? c.vib : "null");
  }
}

}  // namespace
