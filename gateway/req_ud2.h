#pragma once
// REQ_UD2: read every record of the addressed meter from its Modbus slave
// and answer with one RSP_UD telegram (CI 72h, long header), or not at all.
#include "gateway/gateway.h"
#include "gateway/meter_requests.h"
#include "mbus/rsp_ud.h"

namespace kestrel {

bool HandleReqUd2(Gateway& gateway, const FrameBuffer& frame, Answer& answer);

// The records gathered so far for one telegram.
struct Records {
  DataRecord items[kMaxRecordsPerTelegram];
  int count = 0;
  int bytes = 0;
};

// Why a block's records did not all go into the telegram.
enum class BlockFault {
  kNone,
  kNoAnswer,        // the transaction's result is negative: an exception, or no valid answer
  kShortAnswer,     // the answer holds fewer register bytes than the block asked for
  kUnknownType,     // a record's ModbusDT is unknown
  kFunctionAbove3,  // a record's Function has no DIF
  kTooManyBytes,    // the records would exceed the 240 bytes of a telegram
};

// What reading one block gave, for a caller that shows it as it goes.
struct BlockReport {
  const ReadBlock& block;
  int result;          // of the transaction
  BlockFault fault;
  int faultyRecord;    // the index in the block of the record at fault
  const Records& records;  // the block's records, when added, are the last block.count
};
using BlockWatch = void (*)(const BlockReport& report, void* context);

// Reads records (the meter's, or one telegram's) as a REQ_UD2 does: in
// blocks (one record each unless the meter has BlockReads), with the trace
// lines and the 2 ms pause after each block. Stops at the first block that
// fails and returns false; watch, when given, is called after every block
// read. The M-Bus timeout test after each block counts from frameStartMs
// with gateway.mbusTimeout (0: none).
bool ReadMeterRecords(Gateway& gateway, const Meter& meter, const RecordsOf& which, int64_t frameStartMs,
                      Records& records, BlockWatch watch = nullptr, void* context = nullptr);

// The records of telegram (from 0) of the meter's count, read as above,
// with the DIF 1Fh that closes every telegram but the last.
bool ReadTelegram(Gateway& gateway, const Meter& meter, int telegram, int count, int64_t frameStartMs,
                  Records& records, BlockWatch watch = nullptr, void* context = nullptr);

}  // namespace kestrel
