#include "modbus/transaction.h"

#include <cctype>
#include <cstring>

#include "modbus/crc.h"
#include "modbus/framing.h"
#include "modbus/function_codes.h"
#include "ports/TPort.h"
#include "ports/TSER.h"
#include "support/clock.h"
#include "support/leds.h"
#include "support/logs.h"

namespace kestrel {
namespace {

constexpr int kUnknownLength = 1024;   // expected length before any function code was seen
constexpr int64_t kRetryPauseUs = 1000;  // between a failed attempt and the next
constexpr int64_t kUsPerSecond = 1000000;

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
  SerialParity* line = port.Parity();
  if (line == nullptr || !IsParityLetter(parity) || parity == line->GetParity()) return;
  port.Close();
  line->SetParity(parity);
  // The exchange goes on regardless: its attempts then fail on the closed port.
  if (!port.Open()) LogTrace("Modbus error, could not reopen the port with parity %c\n", parity);
}

// The character time, and a gap of 3.5 characters, at the parity the line
// has now: a parity bit more or less than the section's own.
void TimeCharacters(ModbusLine& line, TPort& port) {
  const SerialParity* serial = port.Parity();
  if (line.baudRate <= 0 || serial == nullptr) return;
  const int bits = CharacterBits(line.dataBits, serial->GetParity(), line.stopBits);
  line.byteTimeUs = (int64_t{bits} * kUsPerSecond + line.baudRate - 1) / line.baudRate;
  if (line.rtuGap) line.frameGapUs = RtuFrameGapUs(line.baudRate, bits);
}

bool CrcMatches(const uint8_t* frame, int length) {
  const uint16_t crc = ModbusCrc(frame, static_cast<uint32_t>(length - kCrcLength));
  return frame[length - kCrcLength] == (crc >> 8) && frame[length - 1] == (crc & 0xFF);
}

int64_t UsOfMs(int ms) { return int64_t{ms} * kUsPerMs; }

}  // namespace

const char* AttemptEndText(AttemptEnd end) {
  switch (end) {
    case AttemptEnd::kAnswered: return "an answer";
    case AttemptEnd::kSilence: return "silence";
    case AttemptEnd::kIncomplete: return "an incomplete answer";
    case AttemptEnd::kBadCrc: return "an answer with a wrong CRC";
    case AttemptEnd::kNotAnAnswer: return "bytes that answer no request";
    case AttemptEnd::kTooLong: return "an answer longer than the request allows";
    case AttemptEnd::kNotConnected: return "no connection, the request was not sent";
    case AttemptEnd::kNoFrame: return "a request no MBAP frame can carry, not sent";
    case AttemptEnd::kNoAttempt: return "no attempt";
  }
  return "";
}

int ResultCode(const TransactionResult& result) {
  switch (result.outcome) {
    case TransactionOutcome::kAnswer: return result.length;
    case TransactionOutcome::kException: return -result.exceptionCode;
    case TransactionOutcome::kNoValidAnswer: return kModbusNoValidAnswer;
    case TransactionOutcome::kNotSent: break;
  }
  return result.lastEnd == AttemptEnd::kNoAttempt ? kModbusNoAttempt : kModbusNoValidAnswer;
}

Outcome OutcomeOf(const TransactionResult& result) {
  switch (result.outcome) {
    case TransactionOutcome::kAnswer: return Outcome::kOk;
    case TransactionOutcome::kException: return Outcome::kException;
    case TransactionOutcome::kNotSent: return Outcome::kNotSent;
    case TransactionOutcome::kNoValidAnswer: break;
  }
  if (result.lastEnd == AttemptEnd::kSilence) return Outcome::kSilence;
  return result.lastEnd == AttemptEnd::kBadCrc ? Outcome::kCrc : Outcome::kInvalid;
}

void ModbusTransaction::Begin(ModbusLine& line, const TransactionRequest& request) {
  line_ = &line;
  request_ = request;
  result_ = TransactionResult();
  TPort& port = *line.port;
  framing_ = port.GetFraming();
  // The request is the transaction's own from here on: whatever the caller
  // does with its buffer, a retry sends the same bytes.
  if (!KeepRequest(request)) {
    LogTrace("Modbus error, a request of %d bytes is longer than any frame\n", request.length);
    return Finish(TransactionOutcome::kNotSent, AttemptEnd::kNoFrame);
  }
  // The request as it goes on the wire: the RTU frame itself, or its MBAP
  // frame under the next transaction identifier.
  const bool mbap = framing_ == ModbusFraming::kMbap;
  sent_ = mbap ? framed_ : request_.frame;
  sentLength_ = mbap ? FrameMbapRequest(++line.transactionId, request_.frame, request_.length, framed_) : request_.length;
  if (request_.answerLimit > kMaxMbapFrame) request_.answerLimit = kMaxMbapFrame;
  DumpTrace(sent_, sentLength_);
  SwitchParityIfNeeded(port, static_cast<char>(std::toupper(static_cast<unsigned char>(request.parity))));
  TimeCharacters(line, port);
  if (mbap && sentLength_ == 0) {
    LogTrace("Modbus error, a request of %d bytes has no MBAP frame\n", request.length);
    return Finish(TransactionOutcome::kNotSent, AttemptEnd::kNoFrame);
  }
  if (request.attempts < 1) return Finish(TransactionOutcome::kNotSent, AttemptEnd::kNoAttempt);
  attempt_ = 0;
  expectedLength_ = kUnknownLength;
  StartAttempt();
  Advance();
}

bool ModbusTransaction::KeepRequest(const TransactionRequest& request) {
  request_.frame = nullptr;
  request_.length = 0;
  if (request.length < 0 || request.length > static_cast<int>(sizeof kept_)) return false;
  if (request.length > 0) std::memcpy(kept_, request.frame, static_cast<size_t>(request.length));
  request_.frame = kept_;
  request_.length = request.length;
  return true;
}

void ModbusTransaction::Watch(WaitSet& wait) const {
  switch (phase_) {
    case Phase::kAwaitingGap:
      // With a frame gap a byte on the line starts the silence again.
      if (line_->frameGapUs > 0) line_->port->WatchInput(wait);
      wait.DueAtUs(dueUs_);
      break;
    case Phase::kPausing:
      wait.DueAtUs(dueUs_);
      break;
    case Phase::kAwaitingQuiet:
      line_->port->WatchInput(wait);
      wait.DueAtUs(quietAtUs_ < dueUs_ ? quietAtUs_ : dueUs_);
      break;
    case Phase::kAwaitingAnswer:
      line_->port->WatchInput(wait);
      wait.DueAtUs(dueUs_);
      break;
    case Phase::kIdle:
    case Phase::kFinished:
      break;
  }
}

void ModbusTransaction::Advance() {
  while (Busy() && Step()) {
  }
}

bool ModbusTransaction::Step() {
  switch (phase_) {
    case Phase::kAwaitingGap:
      if (line_->frameGapUs > 0 && DrainLine() > 0) RestartGap();
      if (NowUs() < dueUs_) return false;
      if (!line_->port->Connected()) {
        LogTrace("Modbus error, not connected: request not sent\n");
        Finish(TransactionOutcome::kNotSent, AttemptEnd::kNotConnected);
        return false;
      }
      PrepareLine();
      return true;
    case Phase::kAwaitingQuiet:
      return AwaitQuiet();
    case Phase::kAwaitingAnswer:
      return AwaitAnswer();
    case Phase::kPausing:
      if (NowUs() < dueUs_) return false;
      StartAttempt();
      return true;
    case Phase::kIdle:
    case Phase::kFinished:
      break;
  }
  return false;
}

// Each attempt waits for the line's silence between two requests first.
void ModbusTransaction::StartAttempt() {
  phase_ = Phase::kAwaitingGap;
  droppedKept_ = 0;
  droppedTotal_ = 0;
  dueUs_ = line_->quietUntilUs;
  // A line that never falls silent delays the request by twice the time limit.
  gapLimitUs_ = NowUs() + kQuietWaitLimits * UsOfMs(AttemptLimitMs());
  RestartGap();
}

// The frame gap counts from the line's last byte, sent or received,
// whenever it came: a byte dropped while the request waits starts it again.
void ModbusTransaction::RestartGap() {
  if (line_->frameGapUs == 0) return;
  int64_t silentUntilUs = line_->lastByteUs + line_->frameGapUs;
  if (silentUntilUs > gapLimitUs_) silentUntilUs = gapLimitUs_;
  if (silentUntilUs > dueUs_) dueUs_ = silentUntilUs;
}

int ModbusTransaction::AttemptLimitMs() const {
  return request_.timeoutMs > 0 ? request_.timeoutMs : line_->timeoutMs;
}

// A missed answer may come as late as its attempt's time limit allowed.
int ModbusTransaction::MissedLimitMs() const {
  return line_->missedTimeoutMs > 0 ? line_->missedTimeoutMs : line_->timeoutMs;
}

// Bytes came in: the line's silence starts again.
void ModbusTransaction::Heard() { line_->lastByteUs = NowUs(); }

// Whatever waits on the line is stale; after a missed answer the line must
// also have fallen quiet: the answer an attempt gave up on may still come.
void ModbusTransaction::PrepareLine() {
  if (!line_->answerMissed) {
    // With a frame gap, a byte that came since the last look waits it again.
    if (DrainLine() > 0 && line_->frameGapUs > 0 && NowUs() < gapLimitUs_) return RestartGap();
    TraceDropped();
    return Send();
  }
  const int64_t limitUs = UsOfMs(MissedLimitMs());
  quietAtUs_ = NowUs() + limitUs;
  dueUs_ = NowUs() + kQuietWaitLimits * limitUs;  // on a line that never falls quiet
  phase_ = Phase::kAwaitingQuiet;
}

bool ModbusTransaction::AwaitQuiet() {
  if (DrainLine() > 0) quietAtUs_ = NowUs() + UsOfMs(MissedLimitMs());
  if (NowUs() < quietAtUs_ && NowUs() < dueUs_) return false;
  TraceDropped();
  Send();
  return true;
}

void ModbusTransaction::Send() {
  request_.response[0] = 0;
  SignalLed(kLedModbusTransmit, NowMs());
  line_->port->Write(sent_, sentLength_);
  // The write returns before the last byte has left the line.
  line_->lastByteUs = NowUs() + sentLength_ * line_->byteTimeUs;
  held_ = 0;
  phase_ = Phase::kAwaitingAnswer;
  dueUs_ = NowUs() + UsOfMs(AttemptLimitMs());
}

// Reads while reading brings something (a read may also leave leading zeros
// for the next one to drop); the answer is taken once its last byte is in.
// Whatever came by the time limit is looked at before the attempt ends.
bool ModbusTransaction::AwaitAnswer() {
  for (;;) {
    const int before = held_;
    const PollOutcome outcome = Poll();
    if (outcome == PollOutcome::kAnswered) return false;
    if (outcome == PollOutcome::kFailed) return true;
    if (held_ == before || NowUs() >= dueUs_) break;
  }
  if (NowUs() < dueUs_) return false;
  AttemptFailed(held_ > 0 ? AttemptEnd::kIncomplete : AttemptEnd::kSilence);
  return true;
}

// One non-blocking read of up to kModbusReadChunk bytes behind those held;
// the count is clamped so that a misbehaving port cannot push the index out
// of the buffer.
ModbusTransaction::PollOutcome ModbusTransaction::Poll() {
  int count = 0;
  line_->port->Read(request_.response + held_, kModbusReadChunk, count);
  if (count < 0) count = 0;
  if (count > kModbusReadChunk) count = kModbusReadChunk;
  held_ += count;
  if (count > 0) {
    Heard();
    SignalLed(kLedModbusPoll, NowMs());
  }
  const PollOutcome outcome = framing_ == ModbusFraming::kMbap ? MbapOutcome() : RtuOutcome();
  if (outcome == PollOutcome::kAnswered) {
    line_->answerMissed = false;
    const uint8_t* pdu = request_.response + AnswerPduOffset(framing_);
    const bool exception = (pdu[0] & kExceptionFlag) != 0;
    result_.length = expectedLength_;
    result_.exceptionCode = exception ? pdu[1] : 0;
    Finish(exception ? TransactionOutcome::kException : TransactionOutcome::kAnswer, AttemptEnd::kAnswered);
  }
  return outcome;
}

ModbusTransaction::PollOutcome ModbusTransaction::Failed(AttemptEnd end) {
  AttemptFailed(end);
  return PollOutcome::kFailed;
}

void ModbusTransaction::DropFirstBytes(int count) {
  std::memmove(request_.response, request_.response + count, static_cast<size_t>(held_ - count));
  held_ -= count;
}

// Learns the answer length from the function code. Returns false when the
// answer cannot be one of ours and the attempt is to be abandoned.
bool ModbusTransaction::ApplyFunctionCode() {
  const uint8_t* response = request_.response;
  const uint8_t function = response[kFunctionIndex];
  const int pduLength = AnswerPduLength(response + kFunctionIndex);
  if (pduLength > 0) {
    expectedLength_ = pduLength + kRtuFrameOverhead;
  } else if ((function & kExceptionFlag) == 0) {
    // Not a function we ask for: garbage unless the first byte is another
    // leading zero, which goes like the first one did.
    if (response[kAddressIndex] != 0) {
      expectedLength_ = 0;
      return false;
    }
    DropFirstBytes(1);
  }
  // Exceptions to other functions leave the expected length as it was.
  return true;
}

ModbusTransaction::PollOutcome ModbusTransaction::RtuOutcome() {
  const uint8_t* response = request_.response;
  // An RS-485 transceiver turning the line around often leaves a 00 before
  // the answer; one such byte goes per read.
  if (held_ > 0 && response[kAddressIndex] == 0) DropFirstBytes(1);

  if (held_ >= kMinBytesForFunction) {
    if (!ApplyFunctionCode()) return Failed(AttemptEnd::kNotAnAnswer);
    if (held_ > request_.answerLimit) return Failed(AttemptEnd::kTooLong);
  }
  // held <= answerLimit here, so the expected length indexes held bytes.
  if (expectedLength_ > kCrcLength && held_ >= expectedLength_) {
    return CrcMatches(response, expectedLength_) ? PollOutcome::kAnswered : Failed(AttemptEnd::kBadCrc);
  }
  return PollOutcome::kWaiting;
}

// An answer to an earlier request (or from another unit) that came late is
// dropped; the answer to this one may still follow it.
ModbusTransaction::PollOutcome ModbusTransaction::MbapOutcome() {
  for (;;) {
    const MbapCheck check = CheckMbapAnswer(sent_, request_.response, held_);
    switch (check.answer) {
      case MbapAnswer::kIncomplete:
        return held_ > request_.answerLimit ? Failed(AttemptEnd::kTooLong) : PollOutcome::kWaiting;
      case MbapAnswer::kBroken:
        return Failed(AttemptEnd::kNotAnAnswer);
      case MbapAnswer::kForeign:
        LogTrace("Modbus error, answer to another request dropped\n");
        DumpTrace(request_.response, check.frameLength);
        line_->counters.droppedBytes += static_cast<uint64_t>(check.frameLength);
        DropFirstBytes(check.frameLength);
        break;
      case MbapAnswer::kComplete:
        if (check.frameLength > request_.answerLimit) return Failed(AttemptEnd::kTooLong);
        expectedLength_ = check.frameLength;
        return PollOutcome::kAnswered;
    }
  }
}

void ModbusTransaction::AttemptFailed(AttemptEnd end) {
  line_->answerMissed = true;
  line_->missedTimeoutMs = AttemptLimitMs();
  result_.lastEnd = end;
  result_.lastHeld = held_;
  if (++attempt_ >= request_.attempts) return Finish(TransactionOutcome::kNoValidAnswer, end);
  phase_ = Phase::kPausing;
  dueUs_ = NowUs() + kRetryPauseUs;
}

void ModbusTransaction::Finish(TransactionOutcome outcome, AttemptEnd end) {
  result_.outcome = outcome;
  result_.lastEnd = end;
  if (outcome != TransactionOutcome::kNotSent) result_.lastHeld = held_;
  phase_ = Phase::kFinished;
  CountTransaction(line_->counters, request_.length > 0 ? request_.frame[0] : 0, OutcomeOf(result_));
  SignalLed(kLedRefresh, NowMs());
}

// Reads everything the line holds now (within kMaxDrainReads); returns how
// many bytes came.
int ModbusTransaction::DrainLine() {
  uint8_t chunk[kDrainChunk];
  int drained = 0;
  for (int read = 0; read < kMaxDrainReads; ++read) {
    int count = 0;
    line_->port->Read(chunk, kDrainChunk, count);
    if (count <= 0) break;
    if (count > kDrainChunk) count = kDrainChunk;  // never trust a count beyond what was offered
    KeepDropped(chunk, count);
    Heard();
    drained += count;
  }
  return drained;
}

void ModbusTransaction::KeepDropped(const uint8_t* bytes, int count) {
  const int room = kDroppedKept - droppedKept_;
  const int kept = count < room ? count : room;
  std::memcpy(dropped_ + droppedKept_, bytes, static_cast<size_t>(kept));
  droppedKept_ += kept;
  droppedTotal_ += count;
}

void ModbusTransaction::TraceDropped() {
  if (droppedTotal_ == 0) return;
  line_->counters.droppedBytes += static_cast<uint64_t>(droppedTotal_);
  LogTrace("Modbus error, %lld late or unrequested bytes dropped\n", static_cast<long long>(droppedTotal_));
  DumpTrace(dropped_, droppedKept_);
}

TransactionResult RunTransaction(ModbusTransaction& transaction, ModbusLine& line, const TransactionRequest& request) {
  transaction.Begin(line, request);
  CompleteTransaction(transaction);
  return transaction.Result();
}

void CompleteTransaction(ModbusTransaction& transaction) {
  while (transaction.Busy()) {
    WaitSet wait;
    transaction.Watch(wait);
    wait.Wait();
    transaction.Advance();
  }
}

}  // namespace kestrel
