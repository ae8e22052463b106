#include "mbus/frame.h"

#include <cstring>

namespace kestrel {
namespace {

bool IsReqUd2(uint8_t c) { return (c & kCReqUd2Bits) == kCReqUd2Bits; }

void MarkBad(FrameBuffer& frame) {
  frame.discard = true;
  frame.state = FrameState::kBody;
}

void JudgeShortFrame(FrameBuffer& frame) {
  const uint8_t* b = frame.bytes;
  if (frame.count != kShortFrameLength) frame.discard = true;
  if (b[kShortChecksum] != MBusChecksum(b + kShortC, 2) || b[kShortChecksum + 1] != kStopByte ||
      frame.discard) {
    MarkBad(frame);
    return;
  }
  frame.state = FrameState::kComplete;
  if (b[kShortC] == kCSndNke) {
    frame.kind = FrameKind::kSndNke;
  } else if (IsReqUd2(b[kShortC])) {
    frame.kind = FrameKind::kReqUd2;
  } else {
    // REQ_UD1 and other short frames have no handler here: discarded unanswered.
    frame.kind = FrameKind::kNone;
  }
}

AssemblyOutcome JudgeLongFrame(FrameBuffer& frame) {
  const uint8_t* b = frame.bytes;
  const int l = b[kLongL];
  const int total = l + kLongFrameOverhead;
  if (b[kLongSecondStart] != kLongFrameStart || b[kLongLRepeated] != l || l < kMinLongFrameL) {
    frame.discard = true;
  }
  if (frame.count < total && !frame.discard) {
    frame.state = FrameState::kBody;
    return AssemblyOutcome::kReadOn;
  }
  if (frame.count > total) frame.discard = true;
  // total is at most 261, well inside the buffer.
  if (b[l + 4] != MBusChecksum(b + kLongC, l) || b[l + 5] != kStopByte || frame.discard) {
    MarkBad(frame);
    return AssemblyOutcome::kJudged;
  }
  frame.state = FrameState::kComplete;
  frame.kind = FrameKind::kLong;
  return AssemblyOutcome::kJudged;
}

}  // namespace

uint8_t MBusChecksum(const uint8_t* bytes, int count) {
  uint8_t sum = 0;
  for (int i = 0; i < count; ++i) sum = static_cast<uint8_t>(sum + bytes[i]);
  return sum;
}

AssemblyOutcome AssembleFrame(FrameBuffer& frame, int64_t now) {
  if (frame.state == FrameState::kComplete || frame.state == FrameState::kAnswer) {
    return AssemblyOutcome::kJudged;
  }
  if (frame.state == FrameState::kIdle) {
    const uint8_t first = frame.bytes[0];
    if (first != kShortFrameStart && first != kLongFrameStart) {
      // Junk at idle: everything read is dropped, a valid frame behind it too.
      std::memset(frame.bytes, 0, sizeof frame.bytes);
      frame.count = 0;
      return AssemblyOutcome::kJudged;
    }
    frame.frameStart = now;
  }
  if (frame.state != FrameState::kBody && frame.count < kShortFrameLength) {
    frame.state = FrameState::kStart;
    return AssemblyOutcome::kJudged;
  }
  switch (frame.bytes[0]) {
    case kShortFrameStart:
      JudgeShortFrame(frame);
      return AssemblyOutcome::kJudged;
    case kLongFrameStart:
      return JudgeLongFrame(frame);
    default:
      frame.state = FrameState::kBody;
      return AssemblyOutcome::kJudged;
  }
}

void ResetFrame(FrameBuffer& frame) {
  std::memset(frame.bytes, 0, sizeof frame.bytes);
  frame.count = 0;
  frame.state = FrameState::kIdle;
  frame.discard = false;
}

bool FrameTimedOut(int64_t frameStart, int64_t now, int timeoutMs) {
  return timeoutMs > 0 && now - frameStart > timeoutMs;
}

int64_t FrameTimeoutDueMs(int64_t frameStart, int timeoutMs) {
  if (timeoutMs <= 0) return -1;
  return frameStart + timeoutMs + 1;
}

int64_t AnswerGapUs(int baudRate) {
  constexpr int64_t kUsPerSecond = 1000000;
  if (baudRate <= 0) return 0;
  return (kAnswerGapBits * kUsPerSecond + baudRate - 1) / baudRate;
}

}  // namespace kestrel
