// Frame assembly across reads, where the exchanges see only the outcome:
// the state after each read, when the frame start is taken, and what a
// reset keeps. Which frames are valid is golden exchanges (tests/exchanges/frames).
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "core/frame.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Read {
  Bytes bytes;
  int64_t now;
  AssemblyOutcome outcome;
  FrameState state;
};

TEST(FrameAssemblyTest, StatesAcrossReadsAndTheFrameStart) {
  const struct {
    const char* name;
    std::vector<Read> reads;
    int64_t frameStart;
    FrameKind kind;
  } cases[] = {
      {"short frame in two reads",
       {{{0x10, 0x5B}, 500, AssemblyOutcome::Judged, FrameState::Start},
        {{0x05, 0x60, 0x16}, 900, AssemblyOutcome::Judged, FrameState::Complete}},
       500, FrameKind::ReqUd2},
      {"long frame: four bytes wait in Start, more read on in Body",
       {{{0x68, 0x0B, 0x0B}, 10, AssemblyOutcome::Judged, FrameState::Start},
        {{0x68, 0x53, 0xFD, 0x52, 0x78, 0x56}, 20, AssemblyOutcome::ReadOn, FrameState::Body},
        {{0x34, 0x12, 0xFF, 0xFF, 0xFF, 0xFF, 0xB2, 0x16}, 30, AssemblyOutcome::Judged, FrameState::Complete}},
       10, FrameKind::Long},
      {"inconsistent length bytes: judged at once, not read on",
       {{{0x68, 0x0B, 0x0C, 0x68, 0x53}, 40, AssemblyOutcome::Judged, FrameState::Body}}, 40, FrameKind::None},
      {"junk at idle: dropped, no frame start",
       {{{0x00, 0x10, 0x5B, 0x05, 0x60, 0x16}, 50, AssemblyOutcome::Judged, FrameState::Idle}}, 0, FrameKind::None},
  };
  for (const auto& c : cases) {
    FrameBuffer frame;
    for (const Read& read : c.reads) {
      std::memcpy(frame.bytes + frame.count, read.bytes.data(), read.bytes.size());
      frame.count += static_cast<int>(read.bytes.size());
      EXPECT_EQ(AssembleFrame(frame, read.now), read.outcome) << c.name;
      EXPECT_EQ(frame.state, read.state) << c.name;
    }
    EXPECT_EQ(frame.frameStart, c.frameStart) << c.name;
    EXPECT_EQ(frame.kind, c.kind) << c.name;
  }
}

TEST(FrameAssemblyTest, AResetEmptiesTheBufferButKeepsTheKind) {
  FrameBuffer frame;
  const uint8_t sndNke[] = {0x10, 0x40, 0x05, 0x45, 0x16};
  std::memcpy(frame.bytes, sndNke, sizeof sndNke);
  frame.count = sizeof sndNke;
  AssembleFrame(frame, 0);
  frame.discard = true;
  ResetFrame(frame);
  EXPECT_EQ(frame.count, 0);
  EXPECT_EQ(frame.state, FrameState::Idle);
  EXPECT_FALSE(frame.discard);
  EXPECT_EQ(frame.kind, FrameKind::SndNke);
  for (uint8_t b : frame.bytes) ASSERT_EQ(b, 0);
}

TEST(FrameTimeoutTest, OnlyAPositiveTimeoutExpiresAndOnlyWhenPassed) {
  EXPECT_FALSE(FrameTimedOut(1000, 1500, 500));
  EXPECT_TRUE(FrameTimedOut(1000, 1501, 500));
  EXPECT_FALSE(FrameTimedOut(1000, 999999, 0));
  EXPECT_FALSE(FrameTimedOut(1000, 999999, -5));
}

TEST(MBusChecksumTest, SumsModulo256) {
  const uint8_t bytes[] = {0xFF, 0x02, 0x80};
  EXPECT_EQ(MBusChecksum(bytes, 3), 0x81);
  EXPECT_EQ(MBusChecksum(bytes, 0), 0);
  EXPECT_EQ(MBusChecksum(bytes, -1), 0);
}

}  // namespace
