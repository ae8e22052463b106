#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "modbus/value_conversion.h"

namespace {

using Bytes = std::vector<uint8_t>;

const char* const kAllTypes[] = {"INT16", "UINT16", "INT32", "UINT32", "MOD32",  "FLOAT",
                                 "INT48", "UINT48", "MOD48", "INT64", "UINT64", "MOD64"};
constexpr uint8_t kUntouched = 0xAA;

// The 8 M-Bus value bytes of a signed number, least significant first.
Bytes ValueBytes(int64_t value) {
  Bytes bytes(8);
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<uint8_t>(static_cast<uint64_t>(value) >> (8 * i));
  return bytes;
}

// Register-to-M-Bus with one selector for both FLOAT and integers.
Bytes Read(const Bytes& registers, const char* type, uint32_t selector) {
  Bytes value(8, kUntouched);
  EXPECT_EQ(RegistersToMBus(value.data(), registers.data(), type, selector, selector),
            static_cast<int>(registers.size()))
      << type;
  return value;
}

Bytes Write(const Bytes& value, const char* type, uint32_t selector) {
  Bytes registers(2 * RegisterCount(type), kUntouched);
  EXPECT_EQ(MBusToRegisters(value.data(), registers.data(), type, selector, selector),
            static_cast<int>(registers.size()))
      << type;
  return registers;
}

// A data type and selector with a wire image and the value it stands for.
struct ConversionCase {
  const char* type;
  uint32_t selector;
  Bytes wire;
  int64_t value;
};

TEST(ValueConversionTest, RegisterCountsByExactName) {
  struct Case {
    const char* name;
    int count;
  } cases[] = {{"INT16", 1}, {"UINT16", 1}, {"INT32", 2},  {"UINT32", 2}, {"MOD32", 2},
               {"FLOAT", 2}, {"INT48", 3},  {"UINT48", 3}, {"MOD48", 3},  {"INT64", 4},
               {"UINT64", 4}, {"MOD64", 4}, {"int16", 0},  {"INT16 ", 0}, {"", 0},
               {"DOUBLE", 0}, {nullptr, 0}};
  for (const Case& c : cases) EXPECT_EQ(RegisterCount(c.name), c.count) << (c.name ? c.name : "null");
}

// The same value under each selector, both directions: reading the wire image
// gives the value, writing the value gives the wire image.
TEST(ValueConversionTest, WireImagesOfEachWidthUnderEachSelector) {
  const ConversionCase cases[] = {
      {"UINT16", 0, {0x11, 0x22}, 0x1122},
      {"UINT16", 1, {0x22, 0x11}, 0x1122},
      {"UINT16", 2, {0x11, 0x22}, 0x1122},
      {"UINT16", 3, {0x22, 0x11}, 0x1122},
      {"INT32", 0, {0x11, 0x22, 0x33, 0x44}, 0x11223344},
      {"INT32", 1, {0x44, 0x33, 0x22, 0x11}, 0x11223344},
      {"INT32", 2, {0x33, 0x44, 0x11, 0x22}, 0x11223344},
      {"INT32", 3, {0x22, 0x11, 0x44, 0x33}, 0x11223344},
      {"UINT48", 0, {0x11, 0x22, 0x33, 0x44, 0x55, 0x66}, 0x112233445566},
      {"UINT48", 1, {0x66, 0x55, 0x44, 0x33, 0x22, 0x11}, 0x112233445566},
      {"UINT48", 2, {0x55, 0x66, 0x33, 0x44, 0x11, 0x22}, 0x112233445566},
      {"UINT48", 3, {0x22, 0x11, 0x44, 0x33, 0x66, 0x55}, 0x112233445566},
      {"INT64", 0, {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88}, int64_t(0x1122334455667788)},
      {"INT64", 1, {0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11}, int64_t(0x1122334455667788)},
      {"INT64", 2, {0x77, 0x88, 0x55, 0x66, 0x33, 0x44, 0x11, 0x22}, int64_t(0x1122334455667788)},
      {"INT64", 3, {0x22, 0x11, 0x44, 0x33, 0x66, 0x55, 0x88, 0x77}, int64_t(0x1122334455667788)},
  };
  for (const ConversionCase& c : cases) {
    SCOPED_TRACE(std::string(c.type) + " selector " + std::to_string(c.selector));
    EXPECT_EQ(Read(c.wire, c.type, c.selector), ValueBytes(c.value));
    EXPECT_EQ(Write(ValueBytes(c.value), c.type, c.selector), c.wire);
  }
}

TEST(ValueConversionTest, ReadingExamples) {
  const ConversionCase cases[] = {
      {"MOD32", 0, {0x00, 0x12, 0x0D, 0x05}, 183333},   // groups 18 and 3333
      {"MOD32", 0, {0xFF, 0xFF, 0xFF, 0xFB}, -10005},   // groups -1 and -5
      {"MOD48", 0, {0x00, 0x01, 0x00, 0x02, 0x00, 0x03}, 100020003},
      {"MOD64", 0, {0x00, 0x01, 0x00, 0x02, 0x00, 0x03, 0x00, 0x04}, 1000200030004},
      {"MOD64", 2, {0x00, 0x01, 0x00, 0x02, 0x00, 0x03, 0x00, 0x04}, 4000300020001},
      {"MOD64", 0, {0x80, 0x00, 0x80, 0x00, 0x80, 0x00, 0x80, 0x00}, -32768 * 1000100010001},
      {"FLOAT", 0, {0x41, 0x48, 0x00, 0x00}, 0x41480000},  // 12.5
      {"INT32", 2, {0x33, 0x44, 0x11, 0x22}, 0x11223344},
      {"INT16", 1, {0x12, 0x34}, 0x3412},
      {"INT16", 0, {0x12, 0x34}, 0x1234},
      // Every type is sign-extended from its top byte, unsigned and FLOAT too.
      {"INT16", 0, {0xFF, 0xFE}, -2},
      {"UINT16", 0, {0x80, 0x00}, -32768},
      {"UINT32", 0, {0xFF, 0xFF, 0xFF, 0xFF}, -1},
      {"FLOAT", 0, {0xC1, 0x48, 0x00, 0x00}, int64_t(0xFFFFFFFFC1480000)},
      {"UINT48", 1, {0x00, 0x00, 0x00, 0x00, 0x00, 0x80}, int64_t(0xFFFF800000000000)},
      {"UINT64", 0, {0x80, 0, 0, 0, 0, 0, 0, 0}, INT64_MIN},
  };
  for (const ConversionCase& c : cases) {
    SCOPED_TRACE(std::string(c.type) + " selector " + std::to_string(c.selector));
    EXPECT_EQ(Read(c.wire, c.type, c.selector), ValueBytes(c.value));
  }
  // The M-Bus bytes as a record shows them.
  EXPECT_EQ(Read({0x00, 0x12, 0x0D, 0x05}, "MOD32", 0), (Bytes{0x25, 0xCC, 0x02, 0x00, 0, 0, 0, 0}));
}

TEST(ValueConversionTest, WritingExamples) {
  const ConversionCase cases[] = {
      {"MOD32", 0, {0x00, 0x12, 0x0D, 0x05}, 183333},
      {"MOD32", 0, {0x00, 0x01, 0x00, 0x05}, -10005},  // the sign is lost
      {"MOD64", 0, {0x00, 0x00, 0x04, 0xD2, 0x16, 0x2E, 0x23, 0x34}, 123456789012},
      {"MOD48", 0, {0x04, 0xD2, 0x16, 0x2E, 0x23, 0x34}, 123456789012},
      {"MOD32", 0, {0x09, 0x29, 0x1A, 0x85}, 123456789},  // the leading digit is dropped
      // Only 4 value bytes are read: 2^32 + 5 is cut to 5.
      {"MOD32", 0, {0x00, 0x00, 0x00, 0x05}, (int64_t{1} << 32) + 5},
      // The smallest 64-bit number: its magnitude 2^63 in unsigned arithmetic,
      // 922 3372 0368 5477 5808 with the top group dropped.
      {"MOD64", 0, {0x0D, 0x2C, 0x01, 0x70, 0x15, 0x65, 0x16, 0xB0}, INT64_MIN},
      {"INT32", 0, {0x11, 0x22, 0x33, 0x44}, 0x11223344},
      {"FLOAT", 1, {0x00, 0x00, 0x48, 0x41}, 0x41480000},
  };
  for (const ConversionCase& c : cases) {
    SCOPED_TRACE(std::string(c.type) + " value " + std::to_string(c.value));
    EXPECT_EQ(Write(ValueBytes(c.value), c.type, c.selector), c.wire);
  }
}

// Writing a value and reading the registers back with the same selector gives
// the value again; reading registers and writing the value gives the registers.
TEST(ValueConversionTest, RoundTripsForEveryTypeAndSelector) {
  const Bytes plainRegisters = {0x81, 0x02, 0x93, 0x04, 0xA5, 0x06, 0xB7, 0x08};
  // Four-digit groups in either byte order: 1|256, 2|512, 800|8195, 9999|3879.
  const Bytes modRegisters = {0x00, 0x01, 0x00, 0x02, 0x03, 0x20, 0x27, 0x0F};
  for (const char* type : kAllTypes) {
    const bool mod = std::string(type).rfind("MOD", 0) == 0;
    const int bytes = 2 * RegisterCount(type);
    for (uint32_t selector = 0; selector <= 3; ++selector) {
      SCOPED_TRACE(std::string(type) + " selector " + std::to_string(selector));
      const int64_t value = mod ? 12345678 : -0x0102030405060708;
      const Bytes valueBytes = ValueBytes(value);
      const Bytes readBack = Read(Write(valueBytes, type, selector), type, selector);
      EXPECT_EQ(Bytes(readBack.begin(), readBack.begin() + bytes),
                Bytes(valueBytes.begin(), valueBytes.begin() + bytes));

      const Bytes& source = mod ? modRegisters : plainRegisters;
      Bytes registers(source.begin(), source.begin() + bytes);
      EXPECT_EQ(Write(Read(registers, type, selector), type, selector), registers);
    }
  }
}

TEST(ValueConversionTest, FloatTakesTheFloatSelectorAndIntegersTheOther) {
  const Bytes wire = {0x41, 0x48, 0x00, 0x00};
  uint8_t value[8];
  ASSERT_EQ(RegistersToMBus(value, wire.data(), "FLOAT", 0, 1), 4);
  EXPECT_EQ(Bytes(value, value + 8), ValueBytes(0x41480000));
  ASSERT_EQ(RegistersToMBus(value, wire.data(), "INT32", 0, 1), 4);
  EXPECT_EQ(Bytes(value, value + 8), ValueBytes(0x00004841));
}

TEST(ValueConversionTest, SelectorAboveThreeReadsZeroAndRefusesToWrite) {
  const Bytes wire = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
  for (const char* type : kAllTypes) {
    SCOPED_TRACE(type);
    const int bytes = 2 * RegisterCount(type);
    const bool isFloat = std::string(type) == "FLOAT";
    const uint32_t floatSelector = isFloat ? 4 : 0;
    const uint32_t intSelector = isFloat ? 0 : 0xFFFFFFFF;

    Bytes value(8, kUntouched);
    EXPECT_EQ(RegistersToMBus(value.data(), wire.data(), type, floatSelector, intSelector), bytes);
    EXPECT_EQ(value, Bytes(8, 0x00));

    Bytes registers(8, kUntouched);
    EXPECT_EQ(MBusToRegisters(wire.data(), registers.data(), type, floatSelector, intSelector), -1);
    EXPECT_EQ(registers, Bytes(8, kUntouched));
  }
}

// The corners of every width under every selector (run under UBSan too):
// reading always yields 2n, writing 2n or refusal by the selector alone.
TEST(ValueConversionTest, ExtremeBitPatternsUnderEverySelector) {
  const Bytes patterns[] = {Bytes(8, 0x00), Bytes(8, 0xFF), {0, 0, 0, 0, 0, 0, 0, 0x80},
                            {0x80, 0, 0, 0, 0, 0, 0, 0}, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F},
                            Bytes(8, 0x80), Bytes(8, 0x7F)};
  for (const char* type : kAllTypes) {
    const int bytes = 2 * RegisterCount(type);
    for (uint32_t selector : {0u, 1u, 2u, 3u, 4u, 0xFFFFFFFFu}) {
      for (const Bytes& pattern : patterns) {
        uint8_t out[8];
        EXPECT_EQ(RegistersToMBus(out, pattern.data(), type, selector, selector), bytes);
        EXPECT_EQ(MBusToRegisters(pattern.data(), out, type, selector, selector), selector <= 3 ? bytes : -1);
      }
    }
  }
}

TEST(ValueConversionTest, UnknownTypeWritesNothing) {
  const Bytes wire(8, 0x12);
  for (const char* type : {"int16", "Float", "", static_cast<const char*>(nullptr)}) {
    Bytes out(8, kUntouched);
    EXPECT_EQ(RegistersToMBus(out.data(), wire.data(), type, 0, 0), -1);
    EXPECT_EQ(MBusToRegisters(wire.data(), out.data(), type, 0, 0), -1);
    EXPECT_EQ(out, Bytes(8, kUntouched));
  }
}

TEST(ValueConversionTest, HexPairs) {
  struct Case {
    char high, low;
    int byte;
  } cases[] = {{'0', '9', 0x09}, {'a', 'F', 0xAF}, {'F', 'f', 0xFF}, {'7', 'A', 0x7A},
               {'G', '0', -1},   {':', '0', -1},   {'0', '/', -1},   {'0', '\0', -1},
               {'@', '0', -1},   {'`', '1', -1},   {'g', '1', -1},   {' ', '1', -1}};
  for (const Case& c : cases) EXPECT_EQ(HexPair(c.high, c.low), c.byte) << c.high << c.low;
}

}  // namespace
