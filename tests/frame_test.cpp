#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "core/frame.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Feeds the reads one after another, as the main loop does, and returns the
// outcome of the last one.
AssemblyOutcome Feed(FrameBuffer& frame, const std::vector<Bytes>& reads, int64_t now = 100) {
  AssemblyOutcome outcome = AssemblyOutcome::Judged;
  for (const Bytes& read : reads) {
    std::memcpy(frame.bytes + frame.count, read.data(), read.size());
    frame.count += static_cast<int>(read.size());
    outcome = AssembleFrame(frame, now);
  }
  return outcome;
}

Bytes LongFrame(uint8_t c, uint8_t a, uint8_t ci, const Bytes& data) {
  const uint8_t l = static_cast<uint8_t>(3 + data.size());
  Bytes frame = {0x68, l, l, 0x68, c, a, ci};
  for (uint8_t byte : data) frame.push_back(byte);
  frame.push_back(MBusChecksum(frame.data() + 4, l));
  frame.push_back(0x16);
  return frame;
}

TEST(MBusChecksumTest, SumsModulo256) {
  const uint8_t bytes[] = {0xFF, 0x02, 0x80};
  EXPECT_EQ(MBusChecksum(bytes, 3), 0x81);
  EXPECT_EQ(MBusChecksum(bytes, 0), 0);
  EXPECT_EQ(MBusChecksum(bytes, -1), 0);
}

TEST(FrameAssemblyTest, ShortFramesAreJudgedByLengthChecksumAndStopByte) {
  struct Case {
    const char* name;
    std::vector<Bytes> reads;
    FrameState state;
    bool discard;
    FrameKind kind;
  } cases[] = {
      {"REQ_UD2", {{0x10, 0x5B, 0x05, 0x60, 0x16}}, FrameState::Complete, false, FrameKind::ReqUd2},
      {"REQ_UD2 with FCB", {{0x10, 0x7B, 0x05, 0x80, 0x16}}, FrameState::Complete, false, FrameKind::ReqUd2},
      {"C FFh", {{0x10, 0xFF, 0x05, 0x04, 0x16}}, FrameState::Complete, false, FrameKind::ReqUd2},
      {"SND_NKE", {{0x10, 0x40, 0x05, 0x45, 0x16}}, FrameState::Complete, false, FrameKind::SndNke},
      {"REQ_UD1 has no handler", {{0x10, 0x5A, 0x05, 0x5F, 0x16}}, FrameState::Complete, false, FrameKind::None},
      {"in two reads", {{0x10, 0x5B}, {0x05, 0x60, 0x16}}, FrameState::Complete, false, FrameKind::ReqUd2},
      {"bad checksum", {{0x10, 0x5B, 0x05, 0x61, 0x16}}, FrameState::Body, true, FrameKind::None},
      {"bad stop byte", {{0x10, 0x5B, 0x05, 0x60, 0x17}}, FrameState::Body, true, FrameKind::None},
      {"extra byte", {{0x10, 0x5B, 0x05, 0x60, 0x16, 0x00}}, FrameState::Body, true, FrameKind::None},
  };
  for (const Case& c : cases) {
    FrameBuffer frame;
    EXPECT_EQ(Feed(frame, c.reads), AssemblyOutcome::Judged) << c.name;
    EXPECT_EQ(frame.state, c.state) << c.name;
    EXPECT_EQ(frame.discard, c.discard) << c.name;
    EXPECT_EQ(frame.kind, c.kind) << c.name;
  }
}

TEST(FrameAssemblyTest, AFewBytesWaitInStartAndRecordTheFrameStart) {
  FrameBuffer frame;
  EXPECT_EQ(Feed(frame, {{0x10, 0x5B}}, 500), AssemblyOutcome::Judged);
  EXPECT_EQ(frame.state, FrameState::Start);
  EXPECT_EQ(frame.frameStart, 500);
  Feed(frame, {{0x05, 0x60, 0x16}}, 900);
  EXPECT_EQ(frame.state, FrameState::Complete);
  EXPECT_EQ(frame.frameStart, 500);
}

TEST(FrameAssemblyTest, JunkAtIdleIsDroppedWithAValidFrameBehindIt) {
  FrameBuffer frame;
  frame.kind = FrameKind::ReqUd2;
  Feed(frame, {{0x00, 0x10, 0x5B, 0x05, 0x60, 0x16}});
  EXPECT_EQ(frame.count, 0);
  EXPECT_EQ(frame.state, FrameState::Idle);
  EXPECT_FALSE(frame.discard);
  EXPECT_EQ(frame.kind, FrameKind::ReqUd2);
  for (uint8_t b : frame.bytes) ASSERT_EQ(b, 0);
}

TEST(FrameAssemblyTest, LongFramesReadOnUntilCompleteThenJudge) {
  const Bytes selection = LongFrame(0x53, 0xFD, 0x52, {0x78, 0x56, 0x34, 0x12, 0xFF, 0xFF, 0xFF, 0xFF});
  ASSERT_EQ(selection, (Bytes{0x68, 0x0B, 0x0B, 0x68, 0x53, 0xFD, 0x52, 0x78, 0x56, 0x34, 0x12, 0xFF,
                              0xFF, 0xFF, 0xFF, 0xB2, 0x16}));
  FrameBuffer frame;
  EXPECT_EQ(Feed(frame, {Bytes(selection.begin(), selection.begin() + 3)}), AssemblyOutcome::Judged);
  EXPECT_EQ(frame.state, FrameState::Start);
  EXPECT_EQ(Feed(frame, {Bytes(selection.begin() + 3, selection.begin() + 9)}), AssemblyOutcome::ReadOn);
  EXPECT_EQ(frame.state, FrameState::Body);
  EXPECT_EQ(Feed(frame, {Bytes(selection.begin() + 9, selection.end())}), AssemblyOutcome::Judged);
  EXPECT_EQ(frame.state, FrameState::Complete);
  EXPECT_EQ(frame.kind, FrameKind::Long);
  EXPECT_FALSE(frame.discard);
}

TEST(FrameAssemblyTest, InconsistentLongFramesAreDiscardedAsSoonAsTheyShow) {
  Bytes good = LongFrame(0x53, 0x01, 0x72, {0x01, 0x02});
  Bytes badChecksum = good;
  badChecksum[good.size() - 2] ^= 1;
  Bytes extra = good;
  extra.push_back(0x16);
  Bytes lTooSmall = {0x68, 0x02, 0x02, 0x68, 0x53, 0x01, 0x54, 0x16};
  struct Case {
    const char* name;
    Bytes bytes;
    FrameState state;
    bool discard;
  } cases[] = {
      {"CI 72h is a valid frame", good, FrameState::Complete, false},
      {"length bytes differ", {0x68, 0x0B, 0x0C, 0x68, 0x53}, FrameState::Body, true},
      {"second start byte wrong", {0x68, 0x0B, 0x0B, 0x69, 0x53}, FrameState::Body, true},
      {"bad checksum", badChecksum, FrameState::Body, true},
      {"extra byte", extra, FrameState::Body, true},
      {"L below 3", lTooSmall, FrameState::Body, true},
  };
  for (const Case& c : cases) {
    FrameBuffer frame;
    EXPECT_EQ(Feed(frame, {c.bytes}), AssemblyOutcome::Judged) << c.name;
    EXPECT_EQ(frame.state, c.state) << c.name;
    EXPECT_EQ(frame.discard, c.discard) << c.name;
  }
}

TEST(FrameAssemblyTest, ResetClearsTheBufferButKeepsTheKind) {
  FrameBuffer frame;
  Feed(frame, {{0x10, 0x40, 0x05, 0x45, 0x16}});
  frame.discard = true;
  ResetFrame(frame);
  EXPECT_EQ(frame.count, 0);
  EXPECT_EQ(frame.state, FrameState::Idle);
  EXPECT_FALSE(frame.discard);
  EXPECT_EQ(frame.kind, FrameKind::SndNke);
  EXPECT_EQ(frame.bytes[0], 0);
}

TEST(FrameTimeoutTest, OnlyAPositiveTimeoutExpires) {
  EXPECT_FALSE(FrameTimedOut(1000, 1500, 500));
  EXPECT_TRUE(FrameTimedOut(1000, 1501, 500));
  EXPECT_FALSE(FrameTimedOut(1000, 999999, 0));
  EXPECT_FALSE(FrameTimedOut(1000, 999999, -5));
}

}  // namespace
