#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "modbus/value_conversion.h"

using namespace kestrel;

namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint8_t kUntouched = 0xAA;

// The 8 M-Bus value bytes of a signed number, least significant first.
Bytes ValueBytes(int64_t value) {
  Bytes bytes(8);
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<uint8_t>(static_cast<uint64_t>(value) >> (8 * i));
  return bytes;
}

Bytes Read(const Bytes& wire, ModbusType type, OrderSelectors orders) {
  Bytes value(8, kUntouched);
  const int length = RegistersToMBus(value.data(), wire.data(), type, orders);
  return length == static_cast<int>(wire.size()) ? value : Bytes{};
}

Bytes Write(const Bytes& value, ModbusType type, OrderSelectors orders) {
  Bytes wire(8, kUntouched);
  const int length = MBusToRegisters(value.data(), wire.data(), type, orders);
  return length < 0 ? Bytes{} : Bytes(wire.begin(), wire.begin() + length);
}

// Wire byte w comes from big-endian byte kOrder[n - 1][selector][w]: 0 all
// big-endian, 1 all little-endian, 2 register 1 least significant, 3
// register 1 most significant with each register low byte first.
const std::vector<int> kOrder[4][4] = {
    {{0, 1}, {1, 0}, {0, 1}, {1, 0}},
    {{0, 1, 2, 3}, {3, 2, 1, 0}, {2, 3, 0, 1}, {1, 0, 3, 2}},
    {{0, 1, 2, 3, 4, 5}, {5, 4, 3, 2, 1, 0}, {4, 5, 2, 3, 0, 1}, {1, 0, 3, 2, 5, 4}},
    {{0, 1, 2, 3, 4, 5, 6, 7}, {7, 6, 5, 4, 3, 2, 1, 0}, {6, 7, 4, 5, 2, 3, 0, 1}, {1, 0, 3, 2, 5, 4, 7, 6}},
};

// Every type is sign-extended from its top byte, unsigned and FLOAT too; MOD
// registers hold four decimal digits each, most significant group first.
TEST(ValueConversionTest, EveryTypeUnderEveryOrderBothWays) {
  const struct {
    const char* name;
    ModbusType type;
    Bytes bigEndian;
    int64_t value;
  } cases[] = {
      {"INT16", ModbusType::kInt16, {0xFF, 0xFE}, -2},
      {"UINT16", ModbusType::kUint16, {0x80, 0x00}, -32768},
      {"INT32", ModbusType::kInt32, {0x11, 0x22, 0x33, 0x44}, 0x11223344},
      {"UINT32", ModbusType::kUint32, {0xFF, 0xFF, 0xFF, 0xFF}, -1},
      {"MOD32", ModbusType::kMod32, {0x00, 0x12, 0x0D, 0x05}, 183333},
      {"FLOAT", ModbusType::kFloat, {0x41, 0x48, 0x00, 0x00}, 0x41480000},  // 12.5
      {"INT48", ModbusType::kInt48, {0x11, 0x22, 0x33, 0x44, 0x55, 0x66}, 0x112233445566},
      {"UINT48", ModbusType::kUint48, {0x80, 0, 0, 0, 0, 0}, int64_t(0xFFFF800000000000)},
      {"MOD48", ModbusType::kMod48, {0x00, 0x01, 0x00, 0x02, 0x00, 0x03}, 100020003},
      {"INT64", ModbusType::kInt64, {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88}, int64_t(0x1122334455667788)},
      {"UINT64", ModbusType::kUint64, {0x80, 0, 0, 0, 0, 0, 0, 0}, INT64_MIN},
      {"MOD64", ModbusType::kMod64, {0x00, 0x01, 0x00, 0x02, 0x00, 0x03, 0x00, 0x04}, 1000200030004},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ModbusTypeNamed(c.name), c.type);
    const int registers = RegisterCount(c.type);
    ASSERT_EQ(static_cast<int>(c.bigEndian.size()), 2 * registers);
    for (uint32_t selector = 0; selector <= 3; ++selector) {
      SCOPED_TRACE(::testing::Message() << c.name << " selector " << selector);
      Bytes wire;
      for (int from : kOrder[registers - 1][selector]) wire.push_back(c.bigEndian[from]);
      EXPECT_EQ(Read(wire, c.type, {selector, selector}), ValueBytes(c.value));
      EXPECT_EQ(Write(ValueBytes(c.value), c.type, {selector, selector}), wire);
    }
  }
}

// What only one direction shows; a value of {} is a refusal.
TEST(ValueConversionTest, OneWayCases) {
  const Bytes any(8, 0x12);
  const struct {
    const char* name;
    ModbusType type;
    OrderSelectors orders;
    Bytes wire, value;
    bool reading;
  } cases[] = {
      {"MOD groups are signed", ModbusType::kMod32, {}, {0xFF, 0xFF, 0xFF, 0xFB}, ValueBytes(-10005), true},
      {"FLOAT takes FloatMode", ModbusType::kFloat, {0, 1}, {0x41, 0x48, 0, 0}, ValueBytes(0x41480000), true},
      {"integers take IntReverse", ModbusType::kInt32, {0, 1}, {0x41, 0x48, 0, 0}, ValueBytes(0x4841), true},
      {"a selector above 3 reads 0", ModbusType::kInt32, {0, 4}, {0x11, 0x22, 0x33, 0x44}, ValueBytes(0), true},
      {"an unknown type reads nothing", ModbusType::kUnknown, {}, any, {}, true},
      {"writing MOD loses the sign", ModbusType::kMod32, {}, {0x00, 0x01, 0x00, 0x05}, ValueBytes(-10005), false},
      {"and digits beyond the groups", ModbusType::kMod32, {}, {0x09, 0x29, 0x1A, 0x85}, ValueBytes(123456789), false},
      // The magnitude of the smallest number is 2^63 unsigned: 922 3372 0368 5477 5808, top group dropped.
      {"MOD64 of the smallest number", ModbusType::kMod64, {}, {0x0D, 0x2C, 0x01, 0x70, 0x15, 0x65, 0x16, 0xB0},
       ValueBytes(INT64_MIN), false},
      {"no order to write in", ModbusType::kInt32, {0, 4}, {}, any, false},
      {"nor for FLOAT", ModbusType::kFloat, {0xFFFFFFFF, 0}, {}, any, false},
      {"an unknown type writes nothing", ModbusType::kUnknown, {}, {}, any, false},
  };
  for (const auto& c : cases) {
    if (c.reading) {
      EXPECT_EQ(Read(c.wire, c.type, c.orders), c.value) << c.name;
    } else {
      EXPECT_EQ(Write(c.value, c.type, c.orders), c.wire) << c.name;
    }
  }
  for (const char* name : {"int16", "INT16 ", "", static_cast<const char*>(nullptr)}) {
    EXPECT_EQ(ModbusTypeNamed(name), ModbusType::kUnknown);  // names are exact
  }
}

// WriteMin and WriteMax against the number an SND_UD's value bytes carry,
// at the ends of 64 bits and where sign and family decide (the exchange
// write/write_policy shows INT16, UINT16 and FLOAT through the gateway).
TEST(ValueConversionTest, WriteLimitsHoldTheValueAsTheMasterWroteIt) {
  const struct {
    const char* name;
    ModbusType type;
    int64_t bytes;  // the value bytes, least significant first
    const char *min, *max;
    bool inside;
  } cases[] = {
      {"INT64 smallest", ModbusType::kInt64, INT64_MIN, "-9223372036854775808", "-9223372036854775808", true},
      {"is below one more", ModbusType::kInt64, INT64_MIN, "-9223372036854775807", "0", false},
      {"UINT64 largest", ModbusType::kUint64, -1, "18446744073709551615", "18446744073709551615", true},
      {"is above one less", ModbusType::kUint64, -1, "0", "18446744073709551614", false},
      {"UINT32 is unsigned", ModbusType::kUint32, 0xFFFFFFFF, "4294967295", "+4294967295", true},
      {"INT48 is signed", ModbusType::kInt48, 0xFFFFFFFFFFFE, "-2", "-2", true},
      {"MOD32 is signed", ModbusType::kMod32, -5, "0", "99999999", false},
      {"of two negatives", ModbusType::kInt32, -100, "-99", "0", false},
      {"-0 is 0", ModbusType::kInt16, 0, "-0", "-0", true},
      {"a real limit is a 32-bit real", ModbusType::kFloat, 0x3DCCCCCD, "0", "0.1", true},  // 0.1
      {"NaN lies outside", ModbusType::kFloat, 0x7FC00000, "-1", "1", false},
  };
  for (const auto& c : cases) {
    const Bytes bytes = ValueBytes(c.bytes);
    const ValueNumber value = NumberOfValue(bytes.data(), c.type);
    ValueNumber min, max;
    ASSERT_TRUE(ParseValueNumber(c.min, HoldsReal(c.type), min) && ParseValueNumber(c.max, HoldsReal(c.type), max));
    EXPECT_EQ(!IsBelow(value, min) && !IsAbove(value, max), c.inside) << c.name;
  }
  ValueNumber number;
  for (const char* text : {"", "-", " 1", "1 ", "1e3", "0x10", "1.5", "18446744073709551616"}) {
    EXPECT_FALSE(ParseValueNumber(text, false, number)) << text;
  }
  for (const char* text : {"1.", ".5", "1e3", "nan", "1,5"}) EXPECT_FALSE(ParseValueNumber(text, true, number)) << text;
  EXPECT_STREQ(TextOf(NumberOfValue(ValueBytes(INT64_MIN).data(), ModbusType::kMod64)).text, "-9223372036854775808");
}

}  // namespace
