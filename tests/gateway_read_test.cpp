// REQ_UD2 end to end: the RSP_UD a meter sends, the Modbus reads behind it,
// the access number, and what a failed read leaves behind.
#include <gtest/gtest.h>

#include "tests/gateway_fixture.h"

using harness::Bytes;
using harness::Hex;
using harness::ModbusReply;
using harness::ReqUd2;
using harness::ToHex;
using harness::WithCrc;

namespace gwtest {
namespace {

using GatewayReadTest = GatewayTest;

TEST_F(GatewayReadTest, AMeterWithoutObjectsSendsItsHeaderAndCountsItsAccessNumber) {
  ASSERT_NO_FATAL_FAILURE(StartGateway());
  const Bytes first = rig.Ask(ReqUd2(1));
  ASSERT_EQ(first.size(), 21u) << ToHex(first);
  const uint8_t access = first[harness::kAccessOffset];
  Bytes expected = Hex("68 0F 0F 68 08 01 72 78 56 34 12 38 6A 10 02 2A 00 00 00 6D 16");
  expected[15] = access;
  expected[19] = static_cast<uint8_t>(0x6D - 0x2A + access);
  EXPECT_EQ(ToHex(first), ToHex(expected));

  // FCB set or not, every REQ_UD2 is a fresh read with the next number;
  // once round the counter, so FFh is followed by 00h wherever it started.
  for (int round = 0; round < 128; ++round) {
    const uint8_t next = static_cast<uint8_t>(access + 1 + 2 * round);
    ASSERT_EQ(ExpectTelegramFrom(1, kHeaderOnly), next);
    ASSERT_EQ(ToHex(rig.Ask(ReqUd2(1, true))), ToHex(Telegram(kHeaderOnly, static_cast<uint8_t>(next + 1))));
  }
  EXPECT_EQ(rig.slave().RequestCount(), 0u) << "a meter without Objects needs no Modbus traffic";

  const std::string trace = rig.Trace();
  EXPECT_NE(trace.find("M-Bus in message\n10 5b 01 5c 16 \n\nM-Bus out message\n" + harness::TraceDump(first)),
            std::string::npos)
      << trace;
  EXPECT_TRUE(rig.master().ExpectSilence(harness::Ms(100)));
}

TEST_F(GatewayReadTest, IntAndFloatRecordsComeFromFreshModbusReads) {
  ASSERT_NO_FATAL_FAILURE(StartGateway());
  const auto requests = RequestsDuring([&] {
    const Bytes answer = rig.Ask(ReqUd2(5));
    ASSERT_EQ(answer.size(), 31u) << ToHex(answer);
    EXPECT_EQ(ToHex(answer), ToHex(Telegram(kTwoRecords, answer[15], Hex("02 03 34 12 05 13 00 00 48 41"))));
    EXPECT_EQ(answer[1], 0x19);
  });
  EXPECT_EQ(requests, (std::vector<Bytes>{WithCrc(Hex("02 03 00 64 00 01")), WithCrc(Hex("02 04 00 C8 00 02"))}));

  // New register contents show up at once: nothing is cached, FCB or not.
  rig.slave().SetHolding(kTwoRecords.slave, 100, {0xFFFF});
  rig.slave().SetInput(kTwoRecords.slave, 200, {0xC148, 0x0000});
  const Bytes again = rig.Ask(ReqUd2(5, true));
  ASSERT_EQ(again.size(), 31u) << ToHex(again);
  EXPECT_EQ(ToHex(again), ToHex(Telegram(kTwoRecords, again[15], Hex("02 03 FF FF 05 13 00 00 48 C1"))));

  const std::string trace = rig.Trace();
  EXPECT_NE(trace.find("Request to Modbus Meter\n" + harness::TraceDump(WithCrc(Hex("02 03 00 64 00 01"))) + "Response from Modbus Meter\n" +
                       harness::TraceDump(WithCrc(Hex("02 03 02 12 34")))),
            std::string::npos)
      << trace;
}

TEST_F(GatewayReadTest, RegisterNumbersLessBaseAndRecordHeaders) {
  ASSERT_NO_FATAL_FAILURE(StartGateway());
  const auto requests = RequestsDuring([&] { ExpectTelegramFrom(kWriter.primary, kWriter); });
  EXPECT_EQ(requests, (std::vector<Bytes>{WithCrc(Hex("01 03 00 14 00 01")), Hex("01 03 00 00 00 02 C4 0B"),
                                          WithCrc(Hex("01 03 00 1E 00 01"))}));
}

TEST_F(GatewayReadTest, AFailedReadSendsNothingAndStillAdvancesTheAccessNumber) {
  ASSERT_NO_FATAL_FAILURE(StartGateway());
  const uint8_t access = ExpectTelegramFrom(kThreeRecords.primary, kThreeRecords);

  // The second of three Objects never answers, in either attempt: the third
  // is never read and nothing is sent.
  rig.slave().Then(ModbusReply::Answer());
  rig.slave().Then(ModbusReply::Silent());
  rig.slave().Then(ModbusReply::Silent());
  const auto failed = RequestsDuring([&] { EXPECT_TRUE(ExpectUnanswered(ReqUd2(kThreeRecords.primary))); });
  const Bytes second = WithCrc(Hex("03 03 00 02 00 01"));
  EXPECT_EQ(failed, (std::vector<Bytes>{WithCrc(Hex("03 03 00 01 00 01")), second, second}));
  EXPECT_NE(rig.Trace().find("Error from Modbus Meter\nModbus error, errno = -257, not responding\n"),
            std::string::npos)
      << rig.Trace();

  // An exception answer is not retried and drops the telegram as well.
  rig.slave().Then(ModbusReply::Exception(2));
  const auto refused = RequestsDuring([&] { EXPECT_TRUE(ExpectUnanswered(ReqUd2(kThreeRecords.primary))); });
  EXPECT_EQ(refused.size(), 1u);
  const Bytes exception = WithCrc(Hex("03 83 02"));
  EXPECT_NE(rig.Trace().find("Error from Modbus Meter\n" + harness::TraceDump(exception)), std::string::npos)
      << rig.Trace();
  EXPECT_NE(rig.Trace().find("Modbus error, errno = -2, not responding\n"), std::string::npos);

  // A wrong CRC costs the first attempt only: the second one succeeds.
  rig.slave().Then(ModbusReply::BadCrc());
  const auto retried = RequestsDuring([&] {
    EXPECT_EQ(ExpectTelegramFrom(kThreeRecords.primary, kThreeRecords), static_cast<uint8_t>(access + 3));
  });
  EXPECT_EQ(retried.size(), 4u);
}

TEST_F(GatewayReadTest, OnlyTheFirstMeterAtAnAddressAnswersAndSomeAddressesNever) {
  ASSERT_NO_FATAL_FAILURE(StartGateway());
  ExpectTelegramFrom(7, kFirstAt7);
  ExpectTelegramFrom(7, kFirstAt7);
  // FEh is never answered, though a meter has primary address 254; FFh is an
  // ordinary address that no meter has; nor has 99.
  for (uint8_t address : {0xFE, 0xFF, 99}) {
    EXPECT_TRUE(ExpectUnanswered(ReqUd2(address))) << int(address);
  }
  const std::string trace = rig.Trace();
  EXPECT_NE(trace.find("M-Bus in message\n10 5b 63 be 16 \n\nM-Bus error, Meter not found\nM-Bus error, meter not "
                       "found\n"),
            std::string::npos)
      << trace;
  EXPECT_NE(trace.find("M-Bus in message\n10 5b fe 59 16 \n\nM-Bus error, meter not found\n"), std::string::npos)
      << trace;
}

}  // namespace
}  // namespace gwtest
