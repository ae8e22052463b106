// The Modbus requests from their numbers, and from a meter's model.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "gateway/meter_requests.h"
#include "modbus/requests.h"

using namespace kestrel;

namespace {

using Bytes = std::vector<uint8_t>;

// The frame a builder writes, or {} when it refuses.
template <typename Build>
Bytes Built(Build build) {
  uint8_t out[kMaxWriteRequestLength];
  const int length = build(out);
  return length < 0 ? Bytes{} : Bytes(out, out + length);
}

TEST(RequestsTest, FramesFromNumbers) {
  static const uint8_t kInt32[] = {0x11, 0x22, 0x33, 0x44};
  static const uint8_t kUint64[] = {1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(Built([](uint8_t* out) { return BuildReadRequest(1, 3, 0, 2, out); }),
            (Bytes{0x01, 0x03, 0x00, 0x00, 0x00, 0x02, 0xC4, 0x0B}));
  EXPECT_EQ(Built([](uint8_t* out) { return BuildInitRequest(1, 3, 0, out); }),
            (Bytes{0x01, 0x03, 0x00, 0x00, 0x00, 0x01, 0x84, 0x0A}));
  EXPECT_EQ(Built([](uint8_t* out) { return BuildInitRequest(5, 6, 100, out); }),
            (Bytes{0x05, 0x06, 0x00, 0x64, 0x00, 0x01, 0x08, 0x51}));
  EXPECT_EQ(Built([](uint8_t* out) { return BuildWriteRequest(1, 10, kInt32, 4, out); }),
            (Bytes{0x01, 0x10, 0x00, 0x0A, 0x00, 0x02, 0x04, 0x11, 0x22, 0x33, 0x44, 0xC2, 0x25}));
  EXPECT_EQ(Built([](uint8_t* out) { return BuildWriteRequest(9, 1, kUint64, 8, out); }),
            (Bytes{0x09, 0x10, 0x00, 0x01, 0x00, 0x04, 0x08, 1, 2, 3, 4, 5, 6, 7, 8, 0xB3, 0x7B}));
  for (int refused : {0, 1, 3, 10}) {
    EXPECT_EQ(Built([refused](uint8_t* out) { return BuildWriteRequest(1, 1, kUint64, refused, out); }), Bytes{});
  }
}

TEST(RequestsTest, RegisterNumberMinusBaseModulo65536) {
  const struct {
    uint32_t number, base;
    uint16_t address;
  } cases[] = {{5, 1, 0x0004}, {0, 1, 0xFFFF}, {100, 0x64, 0x0000}, {100, 0x65, 0xFFFF},
               {40001, 0x9C41, 0x0000}, {70000, 0, 70000 - 65536}};
  for (const auto& c : cases) EXPECT_EQ(ModbusRegisterAddress(c.number, c.base), c.address) << c.number;
}

// A meter's requests: its slave, Base, the record's registers and type.
TEST(RequestsTest, RequestsOfAMeter) {
  Meter meter;
  meter.slaveAddress = 1;
  meter.base = 0x9C41;
  meter.initFunction = 3;
  meter.initRegister = 40001;
  meter.sndUdOrders = {2, 1};
  Record record;
  record.modbusFunction = 3;
  record.registerRead = 40001;
  record.registerWrite = 40011;
  uint8_t out[kMaxWriteRequestLength];
  const uint8_t value[] = {0x44, 0x33, 0x22, 0x11};

  const struct {
    ModbusType type;
    Bytes read, write;  // write {} when none may be built
  } cases[] = {
      {ModbusType::kInt32, {0x01, 0x03, 0x00, 0x00, 0x00, 0x02, 0xC4, 0x0B},
       {0x01, 0x10, 0x00, 0x0A, 0x00, 0x02, 0x04, 0x44, 0x33, 0x22, 0x11, 0x4F, 0x83}},  // IntReverse 1
      {ModbusType::kFloat, {0x01, 0x03, 0x00, 0x00, 0x00, 0x02, 0xC4, 0x0B},
       {0x01, 0x10, 0x00, 0x0A, 0x00, 0x02, 0x04, 0x33, 0x44, 0x11, 0x22, 0xB0, 0xC8}},  // FloatMode 2
      {ModbusType::kUnknown, {0x01, 0x03, 0x00, 0x00, 0x00, 0x00, 0x45, 0xCA}, {}},  // reads 0 registers
  };
  for (const auto& c : cases) {
    record.modbusType = c.type;
    ASSERT_EQ(ReadRequestFor(meter, record, out), kReadRequestLength);
    EXPECT_EQ(Bytes(out, out + kReadRequestLength), c.read);
    const int length = WriteRequestFor(meter, record, value, out);
    EXPECT_EQ(length < 0 ? Bytes{} : Bytes(out, out + length), c.write);
  }
  ASSERT_EQ(InitRequestFor(meter, out), kInitRequestLength);
  EXPECT_EQ(Bytes(out, out + kInitRequestLength), (Bytes{0x01, 0x03, 0x00, 0x00, 0x00, 0x01, 0x84, 0x0A}));
  meter.sndUdOrders.intReverse = 4;  // no order: nothing is written
  record.modbusType = ModbusType::kInt32;
  EXPECT_EQ(WriteRequestFor(meter, record, value, out), -1);
}

}  // namespace
