#pragma once
// The one read of a meter's records, whoever wants it: a REQ_UD2 read afresh
// (its telegram), a background read or the read after a write (every
// telegram), kestrel-check --read. Block by block (one record each unless the
// meter has BlockReads), one transaction each on the meter's link, every
// value converted into its data record as its block's answer comes in. It
// ends complete, with the record bytes of each telegram it read, or failed,
// saying why. It never waits: its owner steps it whenever the link's engine
// hands it the line (link_engine.h).
#include <cstdint>
#include <vector>

#include "links/link.h"
#include "links/meter_requests.h"
#include "links/record_values.h"

namespace kestrel {

// After each read (one record, or one block with BlockReads) the Modbus line
// stays quiet this long before the next request.
constexpr int64_t kPauseAfterReadUs = 2000;

// The record bytes of one telegram, DIF 1Fh included where it closes one.
struct TelegramRecords {
  uint8_t bytes[kMaxRecordBytes] = {};
  int length = 0;
  ValueCounts values;  // its answer's Status gets values.statusBits on top
};

// Why a read of a meter failed: a block's fault, its transaction's result
// and its request; or, with no fault, that the read outlasted the M-Bus
// time-out (timedOut) or that none has ended yet.
struct ReadFailure {
  BlockFault fault = BlockFault::kNone;
  TransactionResult result;
  bool timedOut = false;
  uint8_t request[kReadRequestLength] = {};
};

// How a failed read counts for its meter: as the transaction that failed
// it; fewer registers than asked, or a record that cannot be made, as
// invalid; a read that outlasted the M-Bus time-out, or none ended yet, as
// not sent (the slave is not to blame).
Outcome ReasonOf(const ReadFailure& failure);

// What the failed read brought, for a person: "silence from slave 2".
struct FailureText {
  char text[128];
};
FailureText DescribeFailure(const Meter& meter, const ReadFailure& failure);

// What reading one block gave, for a caller that shows it as it goes.
struct BlockReport {
  const ReadBlock& block;
  const TransactionResult& result;  // of the block's transaction
  BlockFault fault;
  int faultyRecord;        // the index in the block of the record at fault
  const Records& records;  // of the telegram; the block's, when added, are the last block.count
  const uint8_t* request;  // the block's request as built (RTU)
};
using BlockWatch = void (*)(const BlockReport& report, void* context);

// Which telegrams a read takes, and for a read in a request's path the
// M-Bus time-out it must keep.
struct ReadPlan {
  int firstTelegram = 0;  // from 0
  int lastTelegram = 0;   // the last one read
  int telegramCount = 1;  // how many the meter answers in
  int64_t frameStartMs = 0;  // when the request's frame began
  int mbusTimeoutMs = 0;     // 0: no time-out to keep (a background read)
  HeldCounters* held = nullptr;  // the highest values of Monotonic records; nullptr: none kept
};

// The plan of a read of every telegram of a meter that answers in count.
ReadPlan EveryTelegram(int count);

enum class ReadState : uint8_t { kReading, kComplete, kFailed };

// A ScaleRegister read in a request of its own, before the block that needs it.
struct ScaleApart {
  uint8_t function = 0;
  uint16_t scaleRegister = 0;
  uint8_t bytes[2] = {};  // as on the wire
};

class MeterRead {
 public:
  // Begins the read; no request goes out before SendNext.
  void Begin(const MeterModel& model, const Meter& meter, const ReadPlan& plan);
  // Called after every block's read (kestrel-check shows them as they come).
  void SetWatch(BlockWatch watch, void* context);
  // Begins the transaction of the next block on the link's line, which must
  // be free; false when no block is left: the read has then ended.
  bool SendNext(Link& link);
  // The block's transaction has ended: takes its records in, or fails the
  // read; then finds the next block, or ends the read when none is left.
  void TakeAnswer(Link& link);

  ReadState State() const { return state_; }
  const ReadFailure& Failure() const { return failure_; }
  // Complete: the record bytes of the telegrams read, first to last.
  const std::vector<TelegramRecords>& Telegrams() const { return taken_; }
  int64_t StartMs() const { return startMs_; }

 private:
  bool FindBlock();
  void EndTelegram();
  void Fail(BlockFault fault);
  BlockFault TakeScaleApart(const uint8_t* response, int length, ModbusFraming framing);

  const MeterModel* model_ = nullptr;
  const Meter* meter_ = nullptr;
  ReadPlan plan_;
  ReadState state_ = ReadState::kComplete;
  int telegram_ = 0;
  size_t position_ = 0;  // in the meter's list of records: where the block after block_ starts
  bool blockReady_ = false;  // block_ is found, its transaction not begun
  ReadBlock block_;
  const Record* apart_[kMaxReadRegisters] = {};  // whose scale registers block_ needs read apart
  int apartCount_ = 0;
  ScaleApart scales_[kMaxReadRegisters];  // read apart for block_, scaleCount_ of them so far
  int scaleCount_ = 0;
  bool scaleInFlight_ = false;  // the transaction under way reads scales_[scaleCount_]
  uint8_t request_[kReadRequestLength] = {};
  Records records_;  // of the telegram being read
  std::vector<TelegramRecords> taken_;
  ReadFailure failure_;
  TransactionResult result_;  // of the last block's transaction
  bool timedOut_ = false;     // the M-Bus time-out passed: the answer is lost, but the reads go on
  int64_t startMs_ = 0;
  BlockWatch watch_ = nullptr;
  void* watchContext_ = nullptr;
};

// Ends the records of telegram (from 0) of the meter's count: every
// telegram but the last gets the DIF 1Fh that says more records follow.
// false, traced, when that does not fit.
bool CloseTelegram(const Meter& meter, int telegram, int count, Records& records);

}  // namespace kestrel
