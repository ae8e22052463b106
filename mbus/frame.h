#pragma once
// M-Bus link layer (EN 13757-2): the frame formats, their checksum, and the
// assembly of received bytes into one frame. The assembler is a pure state
// machine over a fixed buffer; the main loop feeds it and acts on its state.
#include <cstdint>

namespace kestrel {

constexpr int kFrameBufferSize = 1024;

constexpr uint8_t kAckByte = 0xE5;          // single character acknowledgement
// What a master hears when two meters acknowledge at once, a bit time apart:
// the line carries the AND of their E5h, C0h (with a parity error). It starts
// no frame, so no master takes it for one meter's E5h; libmbus reports a
// collision for any reply that does not parse as a frame.
constexpr uint8_t kCollisionByte = 0xC0;
constexpr uint8_t kShortFrameStart = 0x10;  // 10h C A CS 16h
constexpr uint8_t kLongFrameStart = 0x68;   // 68h L L 68h C A CI data CS 16h
constexpr uint8_t kStopByte = 0x16;
constexpr int kShortFrameLength = 5;
constexpr int kLongFrameOverhead = 6;  // start, L, L, start, CS, stop
constexpr int kMinLongFrameL = 3;      // C, A and CI

// Positions from the first start byte.
constexpr int kShortC = 1;
constexpr int kShortA = 2;
constexpr int kShortChecksum = 3;
constexpr int kLongL = 1;
constexpr int kLongLRepeated = 2;
constexpr int kLongSecondStart = 3;
constexpr int kLongC = 4;
constexpr int kLongA = 5;
constexpr int kLongCi = 6;
constexpr int kLongData = 7;

// C fields.
constexpr uint8_t kCSndNke = 0x40;      // C field 40h: SND_NKE, the link reset
constexpr uint8_t kCReqUd2Bits = 0x5B;  // C field 5Bh: REQ_UD2; any C with all these bits set (FCB, FCV and more)
constexpr uint8_t kCRspUd = 0x08;       // C field 08h: RSP_UD, access demand and data flow control bits 0
constexpr uint8_t kCFrameCountBit = 0x20;  // FCB of a REQ_UD2: the master toggles it to ask for the next telegram

// A slave starts its answer no sooner than this many bit times after the
// last byte of the request: the line has turned round for the master.
constexpr int kAnswerGapBits = 11;

// CI fields.
constexpr uint8_t kCiAppReset = 0x50;          // CI 50h: application reset
constexpr uint8_t kCiSndUd = 0x51;             // CI 51h: data send, an SND_UD that writes a value
constexpr uint8_t kCiSelection = 0x52;         // CI 52h: selection by secondary address
constexpr uint8_t kCiRspUdLongHeader = 0x72;   // CI 72h: variable data structure, long header

// Addresses with a meaning of their own.
constexpr uint8_t kAddressSelected = 0xFD;  // the meter chosen by secondary address
constexpr uint8_t kAddressTest = 0xFE;      // every slave at once: a REQ_UD2 there is never answered

enum class FrameState { kIdle, kStart, kBody, kComplete, kAnswer };
enum class FrameKind { kNone, kSndNke, kReqUd2, kLong };

// What the main loop does after an assembly step.
enum class AssemblyOutcome {
  kJudged,  // trace the buffer and act on the state (complete, or discard set, or waiting)
  kReadOn,  // a long frame is incomplete: read again at once, no trace, no pause
};

struct FrameBuffer {
  uint8_t bytes[kFrameBufferSize] = {};
  int count = 0;  // 0 to kFrameBufferSize
  FrameState state = FrameState::kIdle;
  bool discard = false;  // throw the buffer away at the end of this cycle
  FrameKind kind = FrameKind::kNone;  // kind of the frame judged valid last
  int64_t frameStart = 0;  // clock when the current frame's first byte arrived
};

// Sum modulo 256; 0 for count below 1.
uint8_t MBusChecksum(const uint8_t* bytes, int count);

// Judges the buffer after new bytes were added to it. now is the clock of
// this cycle, recorded as the frame start when a start byte arrives at Idle.
AssemblyOutcome AssembleFrame(FrameBuffer& frame, int64_t now);

// Empties the buffer (all bytes zero) and returns to Idle. The frame kind stays.
void ResetFrame(FrameBuffer& frame);

// A frame in progress whose first byte came more than timeoutMs ago.
// timeoutMs of 0 or less switches the test off.
bool FrameTimedOut(int64_t frameStart, int64_t now, int timeoutMs);
// The first clock reading at which FrameTimedOut holds; -1 when it never does.
int64_t FrameTimeoutDueMs(int64_t frameStart, int timeoutMs);

// kAnswerGapBits at baudRate, in microseconds (rounded up); 0 for a rate of
// 0 or less.
int64_t AnswerGapUs(int baudRate);

}  // namespace kestrel
