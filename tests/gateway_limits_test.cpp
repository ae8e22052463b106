// Meters the DeviceFile describes badly or too big: the gateway answers
// with a well-formed telegram or not at all, and writes nothing it cannot
// convert.
#include <gtest/gtest.h>

#include "tests/gateway_fixture.h"

using harness::Bytes;
using harness::Hex;
using harness::ReqUd2;
using harness::SndUd;

namespace gwtest {
namespace {

constexpr Meter kFullTelegram{51, 0x51515151, 0x02, 51, 0x00};  // 24 records: L = 255
constexpr uint8_t kTooLong = 50;           // 25 records: one byte too many
constexpr uint8_t kBadFunction = 52;       // Function 4
constexpr uint8_t kUnknownType = 53;       // ModbusDT int16
constexpr Meter kBadSelector{54, 0x54545454, 0x02, 54, 0x00};  // IntReverse 4

std::string Device(uint8_t primary, const std::string& intReverse, const std::string& objects) {
  const std::string id = std::to_string(primary);
  return "<Device DeviceId=\"" + id + "\" PrimaryAddress=\"" + id + "\" IdNumber=\"" + id + id + id + id +
         "\" Medium=\"02\" Status=\"00\" SlaveAddress=\"" + id +
         "\" InitFunction=\"03\" InitRegister=\"0\" Base=\"0\" ComSettings=\"N\" FloatMode=\"0\" IntReverse=\"" +
         intReverse + "\">\n" + objects + "</Device>\n";
}

std::string Object(uint8_t device, int register_, const std::string& type, const std::string& function,
                   int mbusType) {
  return "  <Object DeviceId=\"" + std::to_string(device) + "\" ObjectId=\"1\" ModbusFunction=\"3\" RegisterRead=\"" +
         std::to_string(register_) + "\" RegisterWrite=\"" + std::to_string(register_) + "\" ModbusDT=\"" + type +
         "\" Function=\"" + function + "\" MBusDT=\"" + std::to_string(mbusType) +
         "\" Storage=\"0\" Tariff=\"0\" SubUnit=\"0\" Vib=\"03\"/>\n";
}

std::string UInt64Objects(uint8_t device, int count) {
  std::string objects;
  for (int i = 0; i < count; ++i) objects += Object(device, 4 * i, "UINT64", "0", 7);
  return objects;
}

class GatewayLimitsTest : public GatewayTest {
 protected:
  void SetUp() override {
    GatewayTest::SetUp();
    rig.SetDeviceFile("<?xml version=\"1.0\"?>\n<Meters>\n" +
                      // kHeaderOnly answers the REQ_UD2 that ExpectUnanswered sends.
                      std::string(R"(<Device DeviceId="h" PrimaryAddress="1" IdNumber="12345678" Medium="02")"
                                  R"( Status="00" SlaveAddress="1" InitFunction="03" InitRegister="0" Base="0"/>)") +
                      "\n" + Device(kFullTelegram.primary, "0", UInt64Objects(kFullTelegram.primary, 24)) +
                      Device(kTooLong, "0", UInt64Objects(kTooLong, 25)) +
                      Device(kBadFunction, "0", Object(kBadFunction, 0, "INT16", "4", 2)) +
                      Device(kUnknownType, "0", Object(kUnknownType, 0, "int16", "0", 2)) +
                      Device(kBadSelector.primary, "4", Object(kBadSelector.primary, 0, "INT16", "0", 2)) +
                      "</Meters>\n");
    for (int i = 0; i < 24; ++i) {
      rig.slave().SetHolding(kFullTelegram.slave, static_cast<uint16_t>(4 * i + 3), {static_cast<uint16_t>(i)});
    }
    rig.slave().SetHolding(kBadSelector.slave, 0, {0x1234});
  }
};

TEST_F(GatewayLimitsTest, TelegramsUpToTheLengthByteAreSentAndLongerOnesNot) {
  ASSERT_NO_FATAL_FAILURE(StartGateway());
  Bytes records;
  for (uint8_t i = 0; i < 24; ++i) records = records + Bytes{0x07, 0x03, i, 0, 0, 0, 0, 0, 0, 0};
  const Bytes answer = rig.Ask(ReqUd2(kFullTelegram.primary));
  ASSERT_EQ(answer.size(), 261u);
  EXPECT_EQ(answer, Telegram(kFullTelegram, answer[15], records));
  EXPECT_EQ(answer[1], 0xFF);

  EXPECT_TRUE(ExpectUnanswered(ReqUd2(kTooLong)));
}

TEST_F(GatewayLimitsTest, ObjectsWithoutDefinedRecordGetNoAnswerAndNoWrite) {
  ASSERT_NO_FATAL_FAILURE(StartGateway());
  EXPECT_TRUE(ExpectUnanswered(ReqUd2(kBadFunction)));
  EXPECT_TRUE(ExpectUnanswered(ReqUd2(kUnknownType)));
  Run({"SND_UD unknown ModbusDT", SndUd(kUnknownType, 1, Hex("34 12")), false, {}});
  // Reading with an order selector above 3 gives the value 0; writing with
  // it has no register image at all.
  const Bytes answer = rig.Ask(ReqUd2(kBadSelector.primary));
  EXPECT_EQ(answer, Telegram(kBadSelector, answer.size() > 15 ? answer[15] : 0, Hex("02 03 00 00")));
  Run({"SND_UD selector 4", SndUd(kBadSelector.primary, 1, Hex("34 12")), false, {}});
  EXPECT_TRUE(rig.master().ExpectSilence(harness::Ms(100)));
}

}  // namespace
}  // namespace gwtest
