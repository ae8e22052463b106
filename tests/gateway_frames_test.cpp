// The M-Bus frame layer end to end: frames in pieces, bad frames, frames
// without a handler, the frame timeout, and silence unless asked.
#include <gtest/gtest.h>

#include <thread>

#include "tests/gateway_fixture.h"

using harness::Bytes;
using harness::CountOf;
using harness::Hex;
using harness::LongFrame;
using harness::Ms;
using harness::ReqUd2;
using harness::Selection;
using harness::ShortFrame;
using harness::ToHex;
using harness::TraceDump;

namespace gwtest {
namespace {

using GatewayFramesTest = GatewayTest;


Bytes Part(const Bytes& bytes, size_t from, size_t to) {
  return Bytes(bytes.begin() + static_cast<long>(from), bytes.begin() + static_cast<long>(to));
}

TEST_F(GatewayFramesTest, FramesArrivingInPiecesAreAssembledAndTracedWhenTheyEndARead) {
  ASSERT_NO_FATAL_FAILURE(StartGateway());
  EXPECT_TRUE(rig.master().ExpectSilence(Ms(200))) << "nothing is sent unasked";

  // A short frame in two reads: the first gives a trace line of its own.
  const Bytes request = ReqUd2(kHeaderOnly.primary);
  for (size_t cut : {2u, 4u}) {
    ASSERT_TRUE(rig.SendTraced(Part(request, 0, cut)));
    EXPECT_TRUE(rig.master().ExpectSilence(Ms(50)));
    rig.master().Send(Part(request, cut, request.size()));
    const Bytes answer = rig.master().ReadFrame();
    EXPECT_EQ(ToHex(answer), ToHex(Telegram(kHeaderOnly, answer.size() == 21 ? answer[15] : 0))) << cut;
    EXPECT_NE(rig.Trace().find("M-Bus in message\n" + TraceDump(Part(request, 0, cut)) + "M-Bus in message\n" +
                               TraceDump(request)),
              std::string::npos)
        << rig.Trace();
  }

  // A long frame in three reads, the first of them past the length bytes:
  // one trace line with all of it, written when it is complete.
  const Bytes selection = Selection(kTwoRecordsPattern);
  const size_t before = rig.FramesTraced();
  rig.master().Send(Part(selection, 0, 6));
  std::this_thread::sleep_for(Ms(30));
  rig.master().Send(Part(selection, 6, 10));
  std::this_thread::sleep_for(Ms(30));
  rig.master().Send(Part(selection, 10, selection.size()));
  EXPECT_EQ(ToHex(rig.master().ReadFrame()), "E5");
  EXPECT_EQ(rig.FramesTraced(), before + 1);
  EXPECT_NE(rig.Trace().find("M-Bus in message\n" + TraceDump(selection)), std::string::npos) << rig.Trace();
  ExpectSelected(kTwoRecords);

  // Four bytes or fewer of a long frame end the read with a trace line.
  ASSERT_TRUE(rig.SendTraced(Part(selection, 0, 2)));
  rig.master().Send(Part(selection, 2, selection.size()));
  EXPECT_EQ(ToHex(rig.master().ReadFrame()), "E5");
  EXPECT_NE(rig.Trace().find("M-Bus in message\n68 0b \n\nM-Bus in message\n" + TraceDump(selection)),
            std::string::npos);
  EXPECT_TRUE(rig.master().ExpectSilence(Ms(100)));
}

TEST_F(GatewayFramesTest, InvalidFramesAndFramesWithoutHandlerAreTracedAndDropped) {
  ASSERT_NO_FATAL_FAILURE(StartGateway());
  const Bytes selection = Selection(kTwoRecordsPattern);
  Bytes badSum = selection;
  badSum[15] ^= 0x01;
  Bytes secondStart = selection;
  secondStart[3] = 0x69;
  const std::vector<Exchange> rows = {
      // Before any valid frame: a short frame of no known kind.
      {"REQ_UD1 first of all", ShortFrame(0x5A, 1), false, {}},
      {"bad checksum", Hex("10 5B 01 5D 16"), false, {}},
      {"bad stop byte", Hex("10 5B 01 5C 15"), false, {}},
      {"extra byte", ReqUd2(1) + Hex("00"), false, {}},
      {"two frames in one read", ReqUd2(1) + ReqUd2(1), false, {}},
      {"REQ_UD1 after a REQ_UD2", ShortFrame(0x5A, 1), false, {}},
      {"REQ_UD1 with FCB", ShortFrame(0x7A, 1), false, {}},
      {"C field 53h in a short frame", ShortFrame(0x53, 1), false, {}},
      {"length bytes differ, 5 bytes", Hex("68 0B 0C 68 53"), false, {}},
      {"second start byte", secondStart, false, {}},
      {"long frame checksum", badSum, false, {}},
      {"long frame extra byte", selection + Hex("16"), false, {}},
      {"CI 72h", LongFrame(0x53, 1, 0x72, Hex("78 56 34 12")), false, {}},
      {"CI 53h", LongFrame(0x53, 1, 0x53, {}), false, {}},
      // L below 3: the checksum C + A = 50h stands where CI would be.
      {"L 2", Hex("68 02 02 68 53 FD 50 16"), false, {}},
      {"L 0", Hex("68 00 00 68 00 16"), false, {}},
      // A selection frame too short for its pattern.
      {"selection L 7", LongFrame(0x53, 0xFD, 0x52, Hex("78 56 34 12")), false, {}},
      {"selection L 3", LongFrame(0x53, 0xFD, 0x52, {}), false, {}},
  };
  for (const Exchange& row : rows) {
    Run(row);
    EXPECT_NE(rig.Trace().find("M-Bus in message\n" + TraceDump(row.frame)), std::string::npos) << row.what;
  }
  EXPECT_TRUE(rig.master().ExpectSilence(Ms(100)));
}

class GatewayFrameTimeoutTest : public GatewayTest {
 protected:
  void SetUp() override {
    GatewayTest::SetUp();
    rig.SetMBusTimeout(kTimeoutMs);
  }
  size_t Timeouts() const { return CountOf(rig.Trace(), "M-Bus Timeout\n"); }
  ::testing::AssertionResult AwaitTimeouts(size_t count) {
    if (testutil::WaitFor([&] { return Timeouts() >= count; }, harness::kDeadline)) {
      return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "no M-Bus Timeout line; trace:\n" << rig.Trace();
  }
  static constexpr int kTimeoutMs = 300;
};

TEST_F(GatewayFrameTimeoutTest, OnlyAFrameInProgressTimesOutAndItEndsTheSelection) {
  ASSERT_NO_FATAL_FAILURE(StartGateway());
  // The selected meter has no Objects: its REQ_UD2 takes no Modbus time.
  const Bytes pattern = Hex("78 56 34 12 FF FF FF FF");
  const Bytes request = ReqUd2(kHeaderOnly.primary);
  ASSERT_TRUE(Select(pattern));
  ASSERT_TRUE(rig.SendTraced(Part(request, 0, 2)));
  ASSERT_TRUE(AwaitTimeouts(1));
  // The rest now comes at idle: it is junk and dropped.
  ASSERT_TRUE(rig.SendTraced(Part(request, 2, request.size())));
  ExpectNothingSelected();

  // A long frame held in the Body state times out the same way.
  const Bytes selection = Selection(pattern);
  ASSERT_TRUE(Select(pattern));
  rig.master().Send(Part(selection, 0, 8));
  ASSERT_TRUE(AwaitTimeouts(2));
  ASSERT_TRUE(rig.SendTraced(Part(selection, 8, selection.size())));
  ExpectNothingSelected();

  // Idle cycles never time out, however long after the last frame.
  ASSERT_TRUE(Select(pattern));
  std::this_thread::sleep_for(Ms(3 * kTimeoutMs));
  ExpectSelected(kHeaderOnly);
  EXPECT_EQ(Timeouts(), 2u) << rig.Trace();
  EXPECT_TRUE(rig.master().ExpectSilence(Ms(100)));
}

TEST_F(GatewayFrameTimeoutTest, AReadThatOutlastsTheTimeoutIsDropped) {
  // Each record alone is within the timeout, both together are not.
  constexpr int kMBusTimeoutMs = 1000;
  constexpr int kSlaveDelayMs = 700;
  rig.SetMBusTimeout(kMBusTimeoutMs);
  rig.SetModbusTimeout(3 * kMBusTimeoutMs);
  ASSERT_NO_FATAL_FAILURE(StartGateway());
  const uint8_t access = ExpectTelegramFrom(kTwoRecords.primary, kTwoRecords);
  rig.slave().Then(harness::ModbusReply::Answer(kSlaveDelayMs));
  rig.slave().Then(harness::ModbusReply::Answer(kSlaveDelayMs));
  // The second Object is still read after the first one ran late.
  const auto requests = RequestsDuring([&] { EXPECT_TRUE(ExpectUnanswered(ReqUd2(kTwoRecords.primary))); });
  EXPECT_EQ(requests.size(), 2u);
  EXPECT_GE(Timeouts(), 1u) << rig.Trace();
  EXPECT_EQ(rig.Trace().find("Modbus error"), std::string::npos) << rig.Trace();
  EXPECT_EQ(ExpectTelegramFrom(kTwoRecords.primary, kTwoRecords), static_cast<uint8_t>(access + 2));
}

}  // namespace
}  // namespace gwtest
