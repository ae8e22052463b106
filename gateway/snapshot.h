#pragma once
// A meter with MaxAge answers a REQ_UD2 at once, from memory, as a real
// meter does: from its snapshot, the record bytes of each of its telegrams,
// all taken from one complete read of the meter. The background reader
// keeps the snapshots fresh, one meter's read at a time, block by block,
// between the M-Bus frames. These are its data; background_reads.h its work.
#include <array>
#include <cstdint>
#include <vector>

#include "gateway/meter_requests.h"
#include "mbus/rsp_ud.h"
#include "modbus/transaction.h"

namespace kestrel {

// The record bytes of one telegram, DIF 1Fh included where it closes one.
struct TelegramRecords {
  uint8_t bytes[kMaxRecordBytes] = {};
  int length = 0;
};

struct Snapshot {
  std::vector<TelegramRecords> telegrams;  // one per telegram the meter answers in
  bool complete = false;  // a complete read has been taken since start
  int64_t readStartMs = 0;  // when the read behind it began: no value in it is older
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

// What the background reader keeps of one meter with MaxAge.
struct CachedMeter {
  Snapshot snapshot;
  int64_t nextReadMs = 0;    // when its next background read is due
  bool written = false;      // a SND_UD went to it after the read behind its snapshot began
  int failedReads = 0;       // complete reads in a row that failed
  ReadFailure lastFailure;
};

// Complete background reads of its meters that failed in a row: after a
// few the slave is taken for dead and read only now and then.
struct SlaveHealth {
  int failedReads = 0;
  bool givenUp = false;
  int64_t retryAtMs = 0;  // while given up: its meters are not read before this
};

// The read under way: one meter, telegram after telegram, block after block.
struct SnapshotRead {
  bool active = false;
  size_t meter = 0;
  int telegram = 0;         // from 0, of count
  int count = 1;
  size_t position = 0;      // in the meter's list of records: where the next block starts
  bool blockReady = false;  // the next block is found, its transaction not begun
  bool blockSent = false;   // the block's transaction is under way on the line
  int recordsBefore = 0;    // records of the earlier telegrams, for naming the one at fault
  int64_t startMs = 0;
  ReadBlock block;
  Records records;          // of the telegram being read
  std::vector<TelegramRecords> taken;  // the telegrams read so far
};

struct BackgroundReads {
  std::vector<CachedMeter> meters;  // one per meter of the model, used for those with MaxAge
  std::array<SlaveHealth, 256> slaves{};
  SnapshotRead read;
};

}  // namespace kestrel
