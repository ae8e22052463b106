#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "meter/device_file.h"
#include "modbus/crc.h"
#include "modbus/requests.h"
#include "tests/test_util.h"

using testutil::TempDir;
using testutil::WriteFile;

namespace {

using Bytes = std::vector<uint8_t>;

// One Device with attributes deviceAttributes and one Object with objectAttributes.
class RequestsTest : public ::testing::Test {
 protected:
  void TearDown() override { FreeDeviceTree(tree); }

  void Load(const std::string& deviceAttributes, const std::string& objectAttributes) {
    FreeDeviceTree(tree);
    WriteFile(dir / "meters.xml", "<?xml version=\"1.0\"?>\n<Meters><Device DeviceId=\"M\" " +
                                      deviceAttributes + "><Object DeviceId=\"M\" " + objectAttributes +
                                      "/></Device></Meters>\n");
    ASSERT_TRUE(LoadDeviceFile(dir / "meters.xml", tree));
    device = FirstDevice(tree);
    object = FirstObject(tree, "M");
    ASSERT_NE(device, nullptr);
    ASSERT_NE(object, nullptr);
  }

  Bytes ReadRequest() {
    uint8_t out[kReadRequestLength];
    const uint64_t base = ReadAttribute64(device, "Base", true);
    EXPECT_EQ(BuildReadRequest(device, base, object, out), kReadRequestLength);
    return Bytes(out, out + kReadRequestLength);
  }

  Bytes InitRequest() {
    uint8_t out[kInitRequestLength];
    EXPECT_EQ(BuildInitRequest(device, out), kInitRequestLength);
    return Bytes(out, out + kInitRequestLength);
  }

  // The frame, or {} when the builder refused.
  Bytes WriteRequest(const Bytes& value) {
    uint8_t out[kMaxWriteRequestLength];
    const int length = BuildWriteRequest(device, object, value.data(), out);
    return length < 0 ? Bytes{} : Bytes(out, out + length);
  }

  TempDir dir;
  DeviceTree tree;
  Element device = nullptr;
  Element object = nullptr;
};

const Bytes kValue = {0x44, 0x33, 0x22, 0x11, 0x00, 0x00, 0x00, 0x00};

TEST_F(RequestsTest, ReadAndInitRequestsOfAnInt32Object) {
  Load(R"(SlaveAddress="1" Base="9C41" InitFunction="03" InitRegister="40001")",
       R"(ModbusFunction="3" RegisterRead="40001" ModbusDT="INT32")");
  EXPECT_EQ(ReadRequest(), (Bytes{0x01, 0x03, 0x00, 0x00, 0x00, 0x02, 0xC4, 0x0B}));
  EXPECT_EQ(InitRequest(), (Bytes{0x01, 0x03, 0x00, 0x00, 0x00, 0x01, 0x84, 0x0A}));
}

TEST_F(RequestsTest, InitRequestWithFunction06WritesOne) {
  Load(R"(SlaveAddress="5" Base="0" InitFunction="06" InitRegister="100")", "");
  EXPECT_EQ(InitRequest(), (Bytes{0x05, 0x06, 0x00, 0x64, 0x00, 0x01, 0x08, 0x51}));
}

TEST_F(RequestsTest, AttributesAreReadInTheirOwnBases) {
  // InitFunction is hexadecimal, InitRegister and RegisterRead decimal.
  Load(R"(SlaveAddress="0x7" Base="10" InitFunction="10" InitRegister="0x20")",
       R"(ModbusFunction="04" RegisterRead="18" ModbusDT="MOD64")");
  const Bytes read = ReadRequest();
  EXPECT_EQ(Bytes(read.begin(), read.begin() + 6), (Bytes{0x00, 0x04, 0x00, 0x02, 0x00, 0x04}));
  const Bytes init = InitRequest();
  EXPECT_EQ(Bytes(init.begin(), init.begin() + 6), (Bytes{0x00, 0x10, 0xFF, 0xF0, 0x00, 0x01}));
  EXPECT_EQ(ModbusCrc(init.data(), 6), init[6] << 8 | init[7]);
}

TEST_F(RequestsTest, WriteRequestOfAnInt32Object) {
  Load(R"(SlaveAddress="1" Base="9C41" IntReverse="0" FloatMode="1")",
       R"(RegisterWrite="40011" ModbusDT="INT32")");
  EXPECT_EQ(WriteRequest(kValue),
            (Bytes{0x01, 0x10, 0x00, 0x0A, 0x00, 0x02, 0x04, 0x11, 0x22, 0x33, 0x44, 0xC2, 0x25}));
}

TEST_F(RequestsTest, WriteSelectorsAreDecimalAndFloatTakesFloatMode) {
  struct Case {
    const char* device;
    const char* dataType;
    Bytes registers;  // {} when no frame may be built
  } cases[] = {
      {R"(IntReverse="0x1" FloatMode="2")", "INT32", {0x11, 0x22, 0x33, 0x44}},  // decimal: 0x1 reads as 0
      {R"(IntReverse="1" FloatMode="2")", "INT32", {0x44, 0x33, 0x22, 0x11}},
      {R"(IntReverse="1" FloatMode="2")", "FLOAT", {0x33, 0x44, 0x11, 0x22}},
      {R"(IntReverse="4" FloatMode="0")", "INT32", {}},
      {R"(IntReverse="0" FloatMode="4")", "FLOAT", {}},
      {R"(IntReverse="-1")", "UINT16", {}},
      {R"(IntReverse="4294967296")", "UINT16", {0x33, 0x44}},  // only the low 32 bits count
      {R"(IntReverse="0")", "int32", {}},
      {R"(IntReverse="0")", "", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.device) + " " + c.dataType);
    Load(std::string(c.device) + R"( SlaveAddress="2")",
         std::string(R"(RegisterWrite="7" ModbusDT=")") + c.dataType + "\"");
    const Bytes frame = WriteRequest(kValue);
    if (c.registers.empty()) {
      EXPECT_EQ(frame, Bytes{});
      continue;
    }
    const uint8_t n = static_cast<uint8_t>(c.registers.size() / 2);
    Bytes expected = {0x02, 0x10, 0x00, 0x07, 0x00, n, static_cast<uint8_t>(2 * n)};
    expected.insert(expected.end(), c.registers.begin(), c.registers.end());
    expected.resize(expected.size() + 2);
    AppendModbusCrc(expected.data(), static_cast<uint32_t>(expected.size() - 2));
    EXPECT_EQ(frame, expected);
  }
}

TEST_F(RequestsTest, FourRegisterWriteIsTheLongestRequest) {
  Load(R"(SlaveAddress="9" IntReverse="1")", R"(RegisterWrite="1" ModbusDT="UINT64")");
  const Bytes value = {1, 2, 3, 4, 5, 6, 7, 8};
  const Bytes frame = WriteRequest(value);
  ASSERT_EQ(frame.size(), static_cast<size_t>(kMaxWriteRequestLength));
  EXPECT_EQ(Bytes(frame.begin(), frame.begin() + 15),
            (Bytes{0x09, 0x10, 0x00, 0x01, 0x00, 0x04, 0x08, 1, 2, 3, 4, 5, 6, 7, 8}));
  EXPECT_EQ(ModbusCrc(frame.data(), 15), frame[15] << 8 | frame[16]);
}

TEST_F(RequestsTest, UnknownTypeReadsQuantityZero) {
  Load(R"(SlaveAddress="1")", R"(ModbusFunction="3" RegisterRead="1" ModbusDT="Int32")");
  const Bytes read = ReadRequest();
  EXPECT_EQ(read[4], 0x00);
  EXPECT_EQ(read[5], 0x00);
}

TEST_F(RequestsTest, MissingAttributesGiveZeroFieldsAndNoWrite) {
  Load("", "");
  EXPECT_EQ(ReadRequest(), (Bytes{0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x1B}));
  EXPECT_EQ(InitRequest(), (Bytes{0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0xC1, 0xDB}));
  EXPECT_EQ(WriteRequest(kValue), Bytes{});
  EXPECT_EQ(DeviceParity(device), '\0');
}

TEST(RegisterAddressTest, RegisterNumberMinusBaseModulo65536) {
  struct Case {
    uint32_t number;
    uint64_t base;
    uint16_t address;
  } cases[] = {
      {5, 1, 0x0004},       {0, 1, 0xFFFF},         {100, 0x64, 0x0000},
      {100, 0x65, 0xFFFF},  {40001, 0x9C41, 0x0000}, {70000, 0, 70000 - 65536},
      {5, 0x100000001, 4},  // only the low 32 bits of Base are used
  };
  for (const Case& c : cases) EXPECT_EQ(ModbusRegisterAddress(c.number, c.base), c.address) << c.number;
}

TEST_F(RequestsTest, ParityIsTheFirstLetterOfComSettings) {
  struct Case {
    const char* comSettings;
    char parity;
  } cases[] = {{"E81", 'E'}, {"e", 'e'}, {"N", 'N'}, {"", '\0'}, {"9600", '9'}};
  for (const Case& c : cases) {
    Load(std::string("ComSettings=\"") + c.comSettings + "\"", "");
    EXPECT_EQ(DeviceParity(device), c.parity) << c.comSettings;
  }
}

}  // namespace
