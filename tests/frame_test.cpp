// Frame assembly across reads, where the exchanges see only the outcome:
// the state after each read and when the frame start is taken. Which
// frames are valid is golden exchanges (tests/exchanges/frames).
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "mbus/frame.h"

using namespace kestrel;

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
       {{{0x10, 0x5B}, 500, AssemblyOutcome::kJudged, FrameState::kStart},
        {{0x05, 0x60, 0x16}, 900, AssemblyOutcome::kJudged, FrameState::kComplete}},
       500, FrameKind::kReqUd2},
      {"long frame: four bytes wait in Start, more read on in Body",
       {{{0x68, 0x0B, 0x0B}, 10, AssemblyOutcome::kJudged, FrameState::kStart},
        {{0x68, 0x53, 0xFD, 0x52, 0x78, 0x56}, 20, AssemblyOutcome::kReadOn, FrameState::kBody},
        {{0x34, 0x12, 0xFF, 0xFF, 0xFF, 0xFF, 0xB2, 0x16}, 30, AssemblyOutcome::kJudged, FrameState::kComplete}},
       10, FrameKind::kLong},
      {"inconsistent length bytes: judged at once, not read on",
       {{{0x68, 0x0B, 0x0C, 0x68, 0x53}, 40, AssemblyOutcome::kJudged, FrameState::kBody}}, 40, FrameKind::kNone},
      {"junk at idle: dropped, no frame start",
       {{{0x00, 0x10, 0x5B, 0x05, 0x60, 0x16}, 50, AssemblyOutcome::kJudged, FrameState::kIdle}}, 0, FrameKind::kNone},
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

}  // namespace
