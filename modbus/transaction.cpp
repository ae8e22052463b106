#include "modbus/transaction.h"

#include <unistd.h>

#include <cctype>
#include <cstring>

#include "modbus/crc.h"
#include "modbus/framing.h"
#include "modbus/function_codes.h"
#include "ports/TPort.h"
#include "support/clock.h"
#include "support/leds.h"
#include "support/logs.h"
#include "support/wait_set.h"

namespace kestrel {
namespace {

constexpr int kUnknownLength = 1024;   // expected length before any function code was seen
// A poll waits this long at most for input; it ends as soon as bytes come.
// An attempt's time limit is pollCount times this, in wall time.
constexpr int64_t kPollWaitUs = 1000;
constexpr useconds_t kRetryPauseUs = 1000;

// Emptying the line is bounded so that a line that never stops sending cannot
// hold the loop: at most 1024 reads of 256 bytes (256 KiB, more than any
// serial driver or socket buffer holds; a few milliseconds of work).
constexpr int kDrainChunk = 256;
constexpr int kMaxDrainReads = 1024;
// A line that never falls quiet delays the request by twice the time limit.
constexpr int kQuietWaitLimits = 2;

// Answer layout: slave address, function code, then byte count or exception code.
constexpr int kAddressIndex = 0;
constexpr int kFunctionIndex = 1;
constexpr int kMinBytesForFunction = 3;
constexpr int kCrcLength = 2;

constexpr int kRtuFrameOverhead = 3;  // the address before the PDU, the CRC after it


bool IsParityLetter(char letter) {
  return letter == 'E' || letter == 'M' || letter == 'N' || letter == 'O' || letter == 'S';
}

// Each slave may want its own parity; only a serial line has one to change.
void SwitchParityIfNeeded(TPort& port, char parity) {
  if (!IsSerialMode(port.GetMode()) || !IsParityLetter(parity) || parity == port.GetParity()) {
    return;
  }
  port.Close();
  port.SetParity(parity);
  // The exchange goes on regardless: its attempts then fail on the closed port.
  if (!port.Open()) LogTrace("Modbus error, could not reopen the port with parity %c\n", parity);
}

// Bytes that no request waits for: counted, the first ones kept for the trace.
struct DroppedBytes {
  uint8_t kept[kDrainChunk];
  int keptCount = 0;
  int64_t total = 0;  // 64 bits: a fast line may bring a lot within a long wait
};

void Keep(DroppedBytes& dropped, const uint8_t* bytes, int count) {
  const int room = kDrainChunk - dropped.keptCount;
  const int kept = count < room ? count : room;
  std::memcpy(dropped.kept + dropped.keptCount, bytes, static_cast<size_t>(kept));
  dropped.keptCount += kept;
  dropped.total += count;
}

// Waits until the port may have input, at most until the clock reads untilUs.
void AwaitInput(TPort& port, int64_t untilUs) {
  WaitSet wait;
  port.WatchInput(wait);
  wait.DueAtUs(untilUs);
  wait.Wait();
}

// Reads everything the line holds now (within kMaxDrainReads); returns how
// many bytes came.
int DrainLine(TPort& port, DroppedBytes& dropped) {
  uint8_t chunk[kDrainChunk];
  int drained = 0;
  for (int read = 0; read < kMaxDrainReads; ++read) {
    int count = 0;
    port.Read(chunk, kDrainChunk, count);
    if (count <= 0) break;
    if (count > kDrainChunk) count = kDrainChunk;  // never trust a count beyond what was offered
    Keep(dropped, chunk, count);
    drained += count;
  }
  return drained;
}

// The answer an attempt gave up on may still come: the next request goes
// only once the line has been quiet for the attempt's time limit, or, on a
// line that never falls quiet, after twice that.
void AwaitQuietLine(TPort& port, int limitMs, DroppedBytes& dropped) {
  const int64_t limitUs = int64_t{limitMs} * kUsPerMs;
  const int64_t giveUpUs = NowUs() + kQuietWaitLimits * limitUs;
  int64_t quietAtUs = NowUs() + limitUs;
  for (;;) {
    if (DrainLine(port, dropped) > 0) quietAtUs = NowUs() + limitUs;
    const int64_t endUs = quietAtUs < giveUpUs ? quietAtUs : giveUpUs;
    if (NowUs() >= endUs) return;
    AwaitInput(port, endUs);
  }
}

void TraceDropped(const DroppedBytes& dropped) {
  if (dropped.total == 0) return;
  LogTrace("Modbus error, %lld late or unrequested bytes dropped\n",
           static_cast<long long>(dropped.total));
  DumpTrace(dropped.kept, dropped.keptCount);
}

// Whatever waits on the line is stale; after a missed answer the line must
// also have fallen quiet.
void PrepareLine(TPort& port, const ModbusLineState& line, int pollCount) {
  DroppedBytes dropped;
  if (line.answerMissed) {
    AwaitQuietLine(port, pollCount, dropped);
  } else {
    DrainLine(port, dropped);
  }
  TraceDropped(dropped);
}

// One non-blocking read of up to kModbusReadChunk bytes into `into`; the
// count is clamped so that a misbehaving port cannot push the index out of
// the buffer.
int ReadChunk(TPort& port, uint8_t* into) {
  int count = 0;
  port.Read(into, kModbusReadChunk, count);
  if (count < 0) return 0;
  return count > kModbusReadChunk ? kModbusReadChunk : count;
}

void DropFirstByte(uint8_t* response, int& held) {
  std::memmove(response, response + 1, static_cast<size_t>(held - 1));
  --held;
}

// The state one exchange carries across polls and attempts.
struct Exchange {
  uint8_t* response;
  int held;            // bytes of the current attempt in response
  int expectedLength;  // carried over from attempt to attempt
  const uint8_t* request;  // as sent: an MBAP answer must match its header
  ModbusFraming framing;
  int answerLimit;     // more held than this: the attempt fails
  AttemptEnd end;      // why the current attempt failed, once it has
};

enum class PollOutcome { kWaiting, kFailed, kAnswered };

PollOutcome Failed(Exchange& x, AttemptEnd end) {
  x.end = end;
  return PollOutcome::kFailed;
}

// Learns the answer length from the function code. Returns false when the
// answer cannot be one of ours and the attempt is to be abandoned.
bool ApplyFunctionCode(Exchange& x) {
  const uint8_t function = x.response[kFunctionIndex];
  const int pduLength = AnswerPduLength(x.response + kFunctionIndex);
  if (pduLength > 0) {
    x.expectedLength = pduLength + kRtuFrameOverhead;
  } else if ((function & kExceptionFlag) == 0) {
    // Not a function we ask for: garbage unless the first byte is another
    // leading zero, which goes like the first one did.
    if (x.response[kAddressIndex] != 0) {
      x.expectedLength = 0;
      return false;
    }
    DropFirstByte(x.response, x.held);
  }
  // Exceptions to other functions leave the expected length as it was.
  return true;
}

bool CrcMatches(const uint8_t* frame, int length) {
  const uint16_t crc = ModbusCrc(frame, static_cast<uint32_t>(length - kCrcLength));
  return frame[length - kCrcLength] == (crc >> 8) && frame[length - 1] == (crc & 0xFF);
}

PollOutcome RtuOutcome(Exchange& x) {
  // An RS-485 transceiver turning the line around often leaves a 00 before
  // the answer; one such byte goes per poll.
  if (x.held > 0 && x.response[kAddressIndex] == 0) DropFirstByte(x.response, x.held);

  if (x.held >= kMinBytesForFunction) {
    if (!ApplyFunctionCode(x)) return Failed(x, AttemptEnd::kNotAnAnswer);
    if (x.held > x.answerLimit) return Failed(x, AttemptEnd::kTooLong);
  }
  // held <= answerLimit here, so the expected length indexes held bytes.
  if (x.expectedLength > kCrcLength && x.held >= x.expectedLength) {
    return CrcMatches(x.response, x.expectedLength) ? PollOutcome::kAnswered
                                                    : Failed(x, AttemptEnd::kBadCrc);
  }
  return PollOutcome::kWaiting;
}

void DropFrame(Exchange& x, int length) {
  std::memmove(x.response, x.response + length, static_cast<size_t>(x.held - length));
  x.held -= length;
}

// An answer to an earlier request (or from another unit) that came late is
// dropped; the answer to this one may still follow it.
PollOutcome MbapOutcome(Exchange& x) {
  for (;;) {
    const MbapCheck check = CheckMbapAnswer(x.request, x.response, x.held);
    switch (check.answer) {
      case MbapAnswer::kIncomplete:
        return x.held > x.answerLimit ? Failed(x, AttemptEnd::kTooLong) : PollOutcome::kWaiting;
      case MbapAnswer::kBroken:
        return Failed(x, AttemptEnd::kNotAnAnswer);
      case MbapAnswer::kForeign:
        LogTrace("Modbus error, answer to another request dropped\n");
        DumpTrace(x.response, check.frameLength);
        DropFrame(x, check.frameLength);
        break;
      case MbapAnswer::kComplete:
        if (check.frameLength > x.answerLimit) return Failed(x, AttemptEnd::kTooLong);
        x.expectedLength = check.frameLength;
        return PollOutcome::kAnswered;
    }
  }
}

PollOutcome Poll(TPort& port, Exchange& x) {
  const int count = ReadChunk(port, x.response + x.held);
  x.held += count;
  if (count > 0) SignalLed(kLedModbusPoll, NowMs());
  return x.framing == ModbusFraming::kMbap ? MbapOutcome(x) : RtuOutcome(x);
}

bool Attempt(TPort& port, const uint8_t* request, int requestLength, int pollCount, Exchange& x) {
  x.response[0] = 0;
  SignalLed(kLedModbusTransmit, NowMs());
  port.Write(request, requestLength);

  x.held = 0;
  if (pollCount < 1) return false;
  // Each poll ends when bytes come, so the answer is taken once its last
  // byte is in; the limit stays the wall time of pollCount 1 ms polls.
  // The last poll comes at the limit, so whatever arrived by then is looked
  // at, even when the gateway itself was held up for longer.
  const int64_t endUs = NowUs() + int64_t{pollCount} * kPollWaitUs;
  do {
    const int64_t nextUs = NowUs() + kPollWaitUs;
    AwaitInput(port, nextUs < endUs ? nextUs : endUs);
    const PollOutcome outcome = Poll(port, x);
    if (outcome != PollOutcome::kWaiting) return outcome == PollOutcome::kAnswered;
  } while (NowUs() < endUs);
  x.end = x.held > 0 ? AttemptEnd::kIncomplete : AttemptEnd::kSilence;
  return false;
}

int ResultOf(const Exchange& x) {
  const uint8_t* pdu = x.response + AnswerPduOffset(x.framing);
  if ((pdu[0] & kExceptionFlag) != 0) return -pdu[1];
  return x.expectedLength;
}

int RunAttempts(TPort& port, ModbusLineState& line, const uint8_t* request, int requestLength,
                uint8_t* response, int pollCount, int attempts, int answerLimit) {
  Exchange x{response, 0, kUnknownLength, request, port.GetFraming(), answerLimit, AttemptEnd::kAnswered};
  for (int attempt = 0; attempt < attempts; ++attempt) {
    if (!port.Connected()) {
      LogTrace("Modbus error, not connected: request not sent\n");
      line.lastEnd = AttemptEnd::kNotConnected;
      line.lastHeld = 0;
      return kModbusNoValidAnswer;
    }
    PrepareLine(port, line, pollCount);
    // Exception answers count as valid: they end the exchange like any answer.
    x.end = AttemptEnd::kAnswered;
    line.answerMissed = !Attempt(port, request, requestLength, pollCount, x);
    line.lastEnd = x.end;
    line.lastHeld = x.held;
    if (!line.answerMissed) return ResultOf(x);
    usleep(kRetryPauseUs);
  }
  return kModbusNoValidAnswer;
}

}  // namespace

int ModbusTransaction(TPort& port, ModbusLineState& line, const uint8_t* request, int requestLength,
                      uint8_t* response, int pollCount, char parity, int attempts, int answerLimit) {
  // The request as it goes on the wire: the RTU frame itself, or its MBAP
  // frame under the next transaction identifier.
  uint8_t framed[kMaxMbapFrame];
  const bool mbap = port.GetFraming() == ModbusFraming::kMbap;
  const uint8_t* sent = mbap ? framed : request;
  const int sentLength = mbap ? FrameMbapRequest(++line.transactionId, request, requestLength, framed) : requestLength;
  DumpTrace(sent, sentLength);
  SwitchParityIfNeeded(port, static_cast<char>(std::toupper(static_cast<unsigned char>(parity))));
  int result = kModbusNoAttempt;
  if (mbap && sentLength == 0) {
    LogTrace("Modbus error, a request of %d bytes has no MBAP frame\n", requestLength);
    result = kModbusNoValidAnswer;
  } else if (attempts >= 1) {
    const int limit = answerLimit < kMaxMbapFrame ? answerLimit : kMaxMbapFrame;
    result = RunAttempts(port, line, sent, sentLength, response, pollCount, attempts, limit);
  }
  SignalLed(kLedRefresh, NowMs());
  return result;
}

}  // namespace kestrel
