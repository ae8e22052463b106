#pragma once
// Reading a meter's records as a REQ_UD2 does: in blocks (one record each
// unless the meter has BlockReads), one Modbus transaction each, every
// value converted into its data record as the block's answer comes in.
#include <cstdint>

#include "gateway/gateway.h"
#include "gateway/meter_requests.h"

namespace kestrel {

// After each read (one record, or one block with BlockReads) the Modbus line
// stays quiet this long before the next request.
constexpr int64_t kPauseAfterReadUs = 2000;

// What reading one block gave, for a caller that shows it as it goes.
struct BlockReport {
  const ReadBlock& block;
  const TransactionResult& result;  // of the block's transaction
  BlockFault fault;
  int faultyRecord;    // the index in the block of the record at fault
  const Records& records;  // the block's records, when added, are the last block.count
};
using BlockWatch = void (*)(const BlockReport& report, void* context);

// Begins the block's read request on the Modbus line, which must be free.
void BeginBlockRead(Gateway& gateway, const Meter& meter, const ReadBlock& block);

// Once that transaction has ended: traces its report and adds the block's
// records, their values taken from the answer; faultyRecord is the first
// that could not be made.
BlockFault EndBlockRead(Gateway& gateway, const Meter& meter, const ReadBlock& block, Records& records,
                        int& faultyRecord);

// The failure of the block whose transaction just ended with fault: the
// transaction's result and the block's request.
ReadFailure FailureOfBlock(const Gateway& gateway, BlockFault fault);

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

// Ends the records of telegram (from 0) of the meter's count: every
// telegram but the last gets the DIF 1Fh that says more records follow.
// false, traced, when that does not fit.
bool CloseTelegram(const Meter& meter, int telegram, int count, Records& records);

// Reads the selected records as a REQ_UD2 does, block after block, with
// the trace lines and the pause after each block. Stops at the first block
// that fails and returns false, with the failure in gateway.readFailure; watch, when given, is called after every
// block read. The M-Bus timeout test after each block counts from
// frameStartMs with gateway.mbusTimeout (0: none).
bool ReadMeterRecords(Gateway& gateway, const Meter& meter, RecordSelection which, int64_t frameStartMs,
                      Records& records, BlockWatch watch = nullptr, void* context = nullptr);

// The records of telegram (from 0) of the meter's count, read as above and
// closed as CloseTelegram does.
bool ReadTelegram(Gateway& gateway, const Meter& meter, int telegram, int count, int64_t frameStartMs,
                  Records& records, BlockWatch watch = nullptr, void* context = nullptr);

}  // namespace kestrel
