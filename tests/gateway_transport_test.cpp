// The same M-Bus conversation with the M-Bus side on UDP and on a serial
// line, and with the Modbus side as a TCP client.
#include <gtest/gtest.h>

#include "tests/gateway_fixture.h"

using harness::Bytes;
using harness::Hex;
using harness::ReqUd2;
using harness::WithCrc;

namespace gwtest {
namespace {

enum class Sides { kMBusOverUdp, kMBusOverPty, kModbusOverTcp };

class GatewayTransportTest : public GatewayTest, public ::testing::WithParamInterface<Sides> {
 protected:
  void ChooseSides() override {
    if (GetParam() == Sides::kModbusOverTcp) {
      rig.ModbusOnTcp();
    } else {
      rig.ModbusOnPty();
    }
    switch (GetParam()) {
      case Sides::kMBusOverUdp:
        rig.MBusOnUdp();
        break;
      case Sides::kMBusOverPty:
        rig.MBusOnPty();
        break;
      case Sides::kModbusOverTcp:
        rig.MBusOnTcp();
        break;
    }
  }
};

TEST_P(GatewayTransportTest, ReadSelectAndWrite) {
  ASSERT_NO_FATAL_FAILURE(StartGateway());
  EXPECT_TRUE(rig.master().ExpectSilence(harness::Ms(100)));
  const auto reads = RequestsDuring([&] { ExpectTelegramFrom(kTwoRecords.primary, kTwoRecords); });
  EXPECT_EQ(reads, (std::vector<Bytes>{WithCrc(Hex("02 03 00 64 00 01")), WithCrc(Hex("02 04 00 C8 00 02"))}));

  // A short frame in two pieces (two datagrams over UDP).
  const Bytes request = ReqUd2(kHeaderOnly.primary);
  ASSERT_TRUE(rig.SendTraced(Bytes(request.begin(), request.begin() + 3)));
  rig.master().Send(Bytes(request.begin() + 3, request.end()));
  const Bytes answer = rig.master().ReadFrame();
  EXPECT_EQ(answer, Telegram(kHeaderOnly, answer.size() == 21 ? answer[15] : 0));

  Run({"selection", harness::Selection(kTwoRecordsPattern), true, {kTwoRecordsInit}});
  ExpectSelected(kTwoRecords);
  EXPECT_TRUE(ExpectUnanswered(Hex("10 5B FD 00 16")));
  Run({"SND_UD", harness::SndUd(kWriter.primary, 2, Hex("44 33 22 11")), true,
       {Hex("01 10 00 0A 00 02 04 11 22 33 44 C2 25")}});
  EXPECT_TRUE(rig.master().ExpectSilence(harness::Ms(100)));
}

INSTANTIATE_TEST_SUITE_P(Sides, GatewayTransportTest,
                         ::testing::Values(Sides::kMBusOverUdp, Sides::kMBusOverPty, Sides::kModbusOverTcp),
                         [](const ::testing::TestParamInfo<Sides>& info) {
                           switch (info.param) {
                             case Sides::kMBusOverUdp:
                               return "MBusOverUdp";
                             case Sides::kMBusOverPty:
                               return "MBusOverPty";
                             default:
                               return "ModbusOverTcp";
                           }
                         });

}  // namespace
}  // namespace gwtest
