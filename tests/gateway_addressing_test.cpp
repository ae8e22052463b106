// Secondary-address selection with wildcards, how a selection ends, and
// which meter a REQ_UD2 reaches at FDh, FEh and ordinary addresses.
#include <gtest/gtest.h>

#include "tests/gateway_fixture.h"

using harness::Bytes;
using harness::Hex;
using harness::ModbusReply;
using harness::ReqUd2;
using harness::Selection;
using harness::ToHex;
using harness::WithCrc;

namespace gwtest {
namespace {

using GatewayAddressingTest = GatewayTest;


TEST_F(GatewayAddressingTest, WildcardsSelectTheFirstMeterWithAValidMatchingAddress) {
  ASSERT_NO_FATAL_FAILURE(StartGateway());
  struct Row {
    const char* pattern;
    const Meter* selected;  // nullptr: no meter matches
    Bytes init;
  } rows[] = {
      // kShortId comes first but its seven-digit IdNumber never matches;
      // kDuplicateId shares kHeaderOnly's IdNumber but comes later.
      {"78 56 34 12 FF FF FF FF", &kHeaderOnly, Hex("01 03 00 00 00 01 84 0A")},
      {"78 56 34 12 FF FF FF 07", nullptr, {}},  // medium 02, not 07
      {"FF FF FF FF FF FF FF FF", &kHeaderOnly, InitRequest(kHeaderOnly)},
      {"FF FF FF FF 00 00 FF FF", nullptr, {}},  // the manufacturer is always 38 6A
      {"F1 56 34 12 FF FF FF FF", &kTwoRecords, kTwoRecordsInit},
      {"1A 56 34 12 FF FF FF FF", nullptr, {}},  // A is no digit: matches nothing
      {"7F 56 34 12 FF FF FF FF", &kHeaderOnly, InitRequest(kHeaderOnly)},
      {"FF FF FF FF FF FF 11 FF", nullptr, {}},  // the version is always 10
      {"FF FF FF FF 38 FF FF FF", &kHeaderOnly, InitRequest(kHeaderOnly)},
      {"21 43 65 87 38 6A 10 04", &kWriter, InitRequest(kWriter)},
      {"F9 FF FF FF FF FF FF FF", nullptr, {}},  // no IdNumber ends in 9
      {"23 22 22 22 38 6A 10 02", &kSecondAt7, InitRequest(kSecondAt7)},
      {"76 56 34 12 FF FF FF FF", nullptr, {}},
  };
  for (const Row& row : rows) {
    const Bytes pattern = Hex(row.pattern);
    if (row.selected != nullptr) {
      Run({row.pattern, Selection(pattern), true, {row.init}});
      ExpectSelected(*row.selected);
    } else {
      Run({row.pattern, Selection(pattern), false, {}});
      ExpectNothingSelected();
    }
  }
}

TEST_F(GatewayAddressingTest, OnlyTheFirstMatchIsTriedAndItsInitialisingRequestDecides) {
  ASSERT_NO_FATAL_FAILURE(StartGateway());
  const Bytes pattern = Hex("78 56 34 12 FF FF FF FF");
  // No response: no selection, and kDuplicateId (same IdNumber) is not tried.
  rig.slave().Then(ModbusReply::Silent());
  Run({"silent slave", Selection(pattern), false, {InitRequest(kHeaderOnly)}});
  ExpectNothingSelected();
  EXPECT_NE(rig.Trace().find("Request to Modbus Meter\n" + harness::TraceDump(InitRequest(kHeaderOnly)) +
                             "Response from Modbus Meter\nModbus error, errno = -257\n"),
            std::string::npos)
      << rig.Trace();

  // An exception response is a response: the meter is selected.
  rig.slave().Then(ModbusReply::Exception(2));
  Run({"exception", Selection(pattern), true, {InitRequest(kHeaderOnly)}});
  ExpectSelected(kHeaderOnly);
  const Bytes exception = WithCrc(Hex("01 83 02"));
  EXPECT_NE(rig.Trace().find("Response from Modbus Meter\n"), std::string::npos);
  // (the selection's own report dumps no bytes for a negative result)
  EXPECT_EQ(rig.Trace().find("Response from Modbus Meter\n" + harness::TraceDump(exception)), std::string::npos);
}

TEST_F(GatewayAddressingTest, EveryUnansweredFrameSndNkeAndResetEndTheSelection) {
  ASSERT_NO_FATAL_FAILURE(StartGateway());
  struct Row {
    Exchange exchange;
    bool kept;
  } rows[] = {
      {{"bad checksum", Hex("10 5B FD 59 16"), false, {}}, false},
      {{"extra byte", ReqUd2(0xFD) + Hex("16"), false, {}}, false},
      {{"wrong stop byte", Hex("10 5B FD 58 17"), false, {}}, false},
      {{"CI 72h", harness::LongFrame(0x53, 0xFD, 0x72, {}), false, {}}, false},
      {{"REQ_UD1", harness::ShortFrame(0x5A, 0xFD), false, {}}, false},
      {{"REQ_UD2 to FEh", ReqUd2(0xFE), false, {}}, false},
      {{"SND_UD for no object", harness::SndUd(0xFD, 9, Hex("01 00")), false, {}}, false},
      {{"SND_NKE to FDh", harness::SndNke(0xFD), true, {}}, false},
      {{"SND_NKE to 1", harness::SndNke(1), true, {InitRequest(kHeaderOnly)}}, false},
      {{"reset at FDh", harness::ApplicationReset(0xFD), true, {kTwoRecordsInit}}, false},
      {{"reset at 1", harness::ApplicationReset(1), true, {InitRequest(kHeaderOnly)}}, false},
      {{"SND_UD answered", harness::SndUd(0xFD, 1, Hex("34 12")), true, {WithCrc(Hex("02 10 00 64 00 01 02 12 34"))}},
       true},
      {{"selection that matches nothing", Selection(Hex("1A 56 34 12 FF FF FF FF")), false, {}}, false},
  };
  for (const Row& row : rows) {
    ASSERT_TRUE(Select(kTwoRecordsPattern)) << row.exchange.what;
    Run(row.exchange);
    if (row.kept) {
      ExpectSelected(kTwoRecords);
    } else {
      ExpectNothingSelected();
    }
  }

  // Answered REQ_UD2s keep it, at any address but FEh; so do stray bytes at
  // idle, which are dropped whole, a valid frame inside them included.
  ASSERT_TRUE(Select(kTwoRecordsPattern));
  ExpectTelegramFrom(kHeaderOnly.primary, kTwoRecords);
  ASSERT_TRUE(rig.SendTraced(Hex("00") + ReqUd2(1)));
  ExpectSelected(kTwoRecords);
  // Junk leaves its trace line with an empty dump (no dump lines at all).
  EXPECT_NE(rig.Trace().find("M-Bus in message\nM-Bus in message\n" + harness::TraceDump(ReqUd2(0xFD))),
            std::string::npos)
      << rig.Trace();
}

TEST_F(GatewayAddressingTest, ReqUd2ReachesTheSelectedMeterAtAnyAddressButFEh) {
  ASSERT_NO_FATAL_FAILURE(StartGateway());
  // Nothing selected: FDh is primary address 253, others their own meter.
  ExpectTelegramFrom(0xFD, kAt253);
  ExpectTelegramFrom(7, kFirstAt7);
  EXPECT_TRUE(ExpectUnanswered(ReqUd2(0xFE)));

  ASSERT_TRUE(Select(kTwoRecordsPattern));
  ExpectTelegramFrom(0xFD, kTwoRecords);
  ExpectTelegramFrom(7, kTwoRecords);  // the A field is the selected meter's own
  ExpectTelegramFrom(5, kTwoRecords);
  ExpectTelegramFrom(99, kTwoRecords);  // even where no meter exists
  EXPECT_TRUE(ExpectUnanswered(ReqUd2(0xFE)));
  ExpectNothingSelected();
}

}  // namespace
}  // namespace gwtest
