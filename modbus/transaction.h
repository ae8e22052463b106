#pragma once
// One Modbus exchange on the Modbus-side line: send the request, take the
// answer in as it comes, learn its length from the function code, check the
// CRC, and repeat the whole exchange up to `attempts` times. On a port with
// MBAP framing the request goes behind an MBAP header instead, and the
// answer is the frame whose header matches the request's.
//
// The exchange is a state machine that never blocks: whoever drives it asks
// what it waits for (Watch), waits for that together with everything else it
// waits for, and lets it go on (Advance). The main loop drives the
// background reads so, between M-Bus frames; a request that needs an answer
// before it can be answered itself drives one to its end (RunTransaction).
#include <cstdint>

#include "modbus/framing.h"
#include "support/counters.h"
#include "support/wait_set.h"

namespace kestrel {

class TPort;

// An answer may not be longer than this (more held after a read fails the
// attempt), unless the caller allows more for a read of many registers.
constexpr int kModbusAnswerLimit = 100;
// Bytes asked of the port per read: the response buffer must hold this many
// behind the answer limit.
constexpr int kModbusReadChunk = 100;
// The response buffer of a transaction with the default answer limit.
constexpr int kModbusResponseCapacity = kModbusAnswerLimit + kModbusReadChunk;

// The numbers the trace shows for a transaction without an answer
// ("errno = %d"): no valid answer came, or no attempt was asked for.
constexpr int kModbusNoValidAnswer = -257;
constexpr int kModbusNoAttempt = -300;

// How the last attempt on a line ended, or why no request went out.
enum class AttemptEnd : uint8_t {
  kAnswered,      // an answer or an exception answer with a valid CRC
  kSilence,       // not a byte within the time limit
  kIncomplete,    // bytes, but no whole answer within the time limit
  kBadCrc,        // a whole answer whose CRC is wrong
  kNotAnAnswer,   // a function code never asked for, or an MBAP header no answer has
  kTooLong,       // more bytes than the answer limit
  kNotConnected,  // not sent: the port has no connection
  kNoFrame,       // not sent: the request fits no MBAP frame
  kNoAttempt,     // not sent: no attempt was asked for
};

// What the attempt brought, for a person: "silence", "an incomplete answer", ...
const char* AttemptEndText(AttemptEnd end);

enum class TransactionOutcome : uint8_t {
  kAnswer,         // a valid answer of `length` bytes stands at the start of the response buffer
  kException,      // a valid exception answer carrying `exceptionCode`
  kNoValidAnswer,  // sent, but no attempt brought a valid answer: lastEnd says how the last one ended
  kNotSent,        // nothing went out: lastEnd says why
};

struct TransactionResult {
  TransactionOutcome outcome = TransactionOutcome::kNotSent;
  int length = 0;              // kAnswer: the answer as received (an MBAP answer with its header)
  uint8_t exceptionCode = 0;   // kException
  AttemptEnd lastEnd = AttemptEnd::kNoAttempt;
  int lastHeld = 0;            // bytes the last attempt left at the start of the response buffer
};

// The number the trace lines show for a result: the answer's length, the
// exception code negated, kModbusNoValidAnswer (also for a request that
// could not be sent), or kModbusNoAttempt.
int ResultCode(const TransactionResult& result);

// The outcome a result is counted as: an exception, silence or a wrong CRC
// as such; whatever else brought no valid answer as invalid; nothing sent as
// not sent.
Outcome OutcomeOf(const TransactionResult& result);

// The Modbus side as the transactions see it: the port, the time limit of
// each attempt, and what one transaction leaves for the next.
struct ModbusLine {
  TPort* port = nullptr;
  int timeoutMs = 0;  // an attempt waits this long for its answer, unless its request says otherwise
  // The silence before every request, counted from the line's last byte
  // sent or received; 0 keeps only quietUntilUs (the pause after a read).
  int64_t frameGapUs = 0;
  int64_t byteTimeUs = 0;  // how long one character takes on the line; 0 on a socket
  // A serial line's speed and character: a request for a slave that wants
  // another parity (ComSettings) counts its own character's bits in
  // byteTimeUs and, with rtuGap, in frameGapUs. baudRate 0: not timed so.
  int baudRate = 0;
  int dataBits = 0;
  int stopBits = 0;
  bool rtuGap = false;  // frame_gap = rtu: 3.5 characters
  // The last attempt got no valid answer. RTU answers carry no request
  // identifier: an answer that missed its attempt may still be on its way,
  // and must not be taken for the answer to the next request.
  bool answerMissed = false;
  int missedTimeoutMs = 0;     // the time limit of the attempt that missed it
  uint16_t transactionId = 0;  // MBAP framing: that of the last request; counts up per request
  int64_t quietUntilUs = 0;    // no request goes out before this clock reading
  LineCounters counters;       // every transaction's outcome, per slave
  int64_t lastByteUs = 0;      // when the line's last byte was sent or received
};

// What to send and what to take.
struct TransactionRequest {
  const uint8_t* frame = nullptr;  // an RTU frame (address, PDU, CRC); Begin copies it
  int length = 0;
  // The answer as received; answerLimit + kModbusReadChunk bytes.
  uint8_t* response = nullptr;
  // The letter wanted for this slave (any case); on a serial port an E, M,
  // N, O or S that differs from the port's current one closes, re-parities
  // and reopens the port first. Any other character leaves the line alone.
  char parity = '\0';
  int attempts = 1;
  int answerLimit = kModbusAnswerLimit;  // the longest answer taken, at most kMaxMbapFrame
  int timeoutMs = 0;  // each attempt's time limit; 0: the line's
};

// Before each request the line is emptied; after an attempt without a valid
// answer the next request (the retry or the next transaction) waits until
// the line has been quiet for that attempt's time limit, twice that at
// most. With a frame gap every request waits until the line has been silent
// that long. Dropped bytes are traced. A port that knows it has no connection (Connected)
// fails the transaction at once, with a trace line. The request is traced
// as a dump of the bytes as they go on the wire.
class ModbusTransaction {
 public:
  // Begins an exchange on line, which must live until it has finished.
  void Begin(ModbusLine& line, const TransactionRequest& request);
  bool Busy() const { return phase_ != Phase::kIdle && phase_ != Phase::kFinished; }
  // Adds what the exchange waits for: the port's input and the time of its next step.
  void Watch(WaitSet& wait) const;
  // Does whatever is due now and returns; never waits.
  void Advance();
  // Once it is no longer Busy.
  const TransactionResult& Result() const { return result_; }

 private:
  enum class Phase { kIdle, kAwaitingGap, kAwaitingQuiet, kAwaitingAnswer, kPausing, kFinished };
  enum class PollOutcome { kWaiting, kFailed, kAnswered };

  bool KeepRequest(const TransactionRequest& request);  // false when it is longer than any frame
  bool Step();  // one step of the phase; false while it waits
  void StartAttempt();
  void RestartGap();
  int AttemptLimitMs() const;
  int MissedLimitMs() const;
  void Heard();
  void PrepareLine();
  bool AwaitQuiet();
  void Send();
  bool AwaitAnswer();
  PollOutcome Poll();
  PollOutcome RtuOutcome();
  PollOutcome MbapOutcome();
  PollOutcome Failed(AttemptEnd end);
  bool ApplyFunctionCode();
  void DropFirstBytes(int count);
  void AttemptFailed(AttemptEnd end);
  void Finish(TransactionOutcome outcome, AttemptEnd end);
  int DrainLine();
  void KeepDropped(const uint8_t* bytes, int count);
  void TraceDropped();

  static constexpr int kDroppedKept = 256;

  ModbusLine* line_ = nullptr;
  TransactionRequest request_;
  uint8_t kept_[kMaxMbapFrame] = {};    // the RTU request, copied at Begin
  uint8_t framed_[kMaxMbapFrame] = {};  // with MBAP framing: the request behind its header
  const uint8_t* sent_ = nullptr;  // the request as it goes on the wire
  int sentLength_ = 0;
  ModbusFraming framing_ = ModbusFraming::kRtu;
  Phase phase_ = Phase::kIdle;
  int attempt_ = 0;
  int64_t dueUs_ = 0;      // of the phase: the gap's end, the answer's time limit, the pause's end
  int64_t quietAtUs_ = 0;  // awaiting quiet: when the line will have been quiet long enough
  int64_t gapLimitUs_ = 0;  // the frame gap waits no longer than this for a silent line
  int held_ = 0;           // bytes of the current attempt in the response buffer
  int expectedLength_ = 0;  // carried over from attempt to attempt
  // Bytes that no request waits for: counted, the first ones kept for the trace.
  uint8_t dropped_[kDroppedKept] = {};
  int droppedKept_ = 0;
  int64_t droppedTotal_ = 0;  // 64 bits: a fast line may bring a lot within a long wait
  TransactionResult result_;
};

// Begins a transaction and drives it to its end, waiting on the line only.
TransactionResult RunTransaction(ModbusTransaction& transaction, ModbusLine& line, const TransactionRequest& request);
// Drives a transaction already begun to its end.
void CompleteTransaction(ModbusTransaction& transaction);

}  // namespace kestrel
