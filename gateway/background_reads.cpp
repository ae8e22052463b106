#include "gateway/background_reads.h"

#include <cstdio>

#include "gateway/meter_exchange.h"
#include "gateway/record_reads.h"
#include "support/clock.h"
#include "support/logs.h"

namespace kestrel {
namespace {

constexpr int64_t kMsPerSecond = 1000;
// Complete reads in a row that fail before a slave is taken for dead.
constexpr int kFailedReadsBeforeGivingUp = 3;
// A dead slave is tried at most this often (or once per MaxAge, if longer).
constexpr int64_t kShortestRetryMs = 60 * kMsPerSecond;
constexpr int64_t kMsPerTenth = 100;  // the trace gives ages to a tenth of a second

int64_t MaxAgeMs(const Meter& meter) { return int64_t{meter.maxAgeS} * kMsPerSecond; }

// Twice within MaxAge: with a healthy slave no value answered is older.
int64_t RefreshIntervalMs(const Meter& meter) { return MaxAgeMs(meter) / 2; }

int64_t RetryIntervalMs(const Meter& meter) {
  return MaxAgeMs(meter) > kShortestRetryMs ? MaxAgeMs(meter) : kShortestRetryMs;
}

// The meter's place in the model, when it has a snapshot there (the
// background reads were started after the model was loaded).
bool IndexOf(const Gateway& gateway, const Meter& meter, size_t& index) {
  return IndexInModel(gateway.model, meter, index) && index < gateway.background.meters.size();
}

SlaveHealth& HealthOf(Gateway& gateway, const Meter& meter) { return gateway.background.slaves[meter.slaveAddress]; }

// When the meter's next read is due: half its MaxAge after the last began,
// and not before its slave is tried again once given up.
int64_t DueMs(const Gateway& gateway, size_t index) {
  const Meter& meter = gateway.model.meters[index];
  const SlaveHealth& slave = gateway.background.slaves[meter.slaveAddress];
  const int64_t due = gateway.background.meters[index].nextReadMs;
  return slave.givenUp && slave.retryAtMs > due ? slave.retryAtMs : due;
}

// The meter with MaxAge due first (the first in document order among
// equals), or -1 when there is none; its due time in dueMs.
long NextMeterDue(const Gateway& gateway, int64_t& dueMs) {
  long next = -1;
  for (size_t index = 0; index < gateway.background.meters.size(); ++index) {
    if (gateway.model.meters[index].maxAgeS == 0) continue;
    const int64_t due = DueMs(gateway, index);
    if (next < 0 || due < dueMs) {
      next = static_cast<long>(index);
      dueMs = due;
    }
  }
  return next;
}

// The snapshot of the read just completed replaces the meter's.
void KeepSnapshot(Gateway& gateway, size_t index, const std::vector<TelegramRecords>& telegrams, int64_t startMs) {
  const Meter& meter = gateway.model.meters[index];
  CachedMeter& cached = gateway.background.meters[index];
  cached.snapshot.telegrams = telegrams;
  cached.snapshot.complete = true;
  cached.snapshot.readStartMs = startMs;
  cached.nextReadMs = startMs + RefreshIntervalMs(meter);
  cached.written = false;
  cached.failedReads = 0;
  NoteMeterRead(gateway, meter, nullptr);
  SlaveHealth& slave = HealthOf(gateway, meter);
  if (slave.givenUp) LogTrace("Modbus slave %u answers again: its meters are read as due\n", meter.slaveAddress);
  slave = SlaveHealth();
}

void GiveUpIfDead(Gateway& gateway, const Meter& meter) {
  SlaveHealth& slave = HealthOf(gateway, meter);
  if (++slave.failedReads < kFailedReadsBeforeGivingUp) return;
  if (!slave.givenUp) {
    LogTrace("Modbus slave %u: %d complete reads in a row failed; read again once every %lld s until it answers\n",
             meter.slaveAddress, slave.failedReads, static_cast<long long>(RetryIntervalMs(meter) / kMsPerSecond));
  }
  slave.givenUp = true;
  slave.retryAtMs = NowMs() + RetryIntervalMs(meter);
}

void ReadFailed(Gateway& gateway, BlockFault fault) {
  SnapshotRead& read = gateway.background.read;
  const Meter& meter = gateway.model.meters[read.meter];
  CachedMeter& cached = gateway.background.meters[read.meter];
  cached.lastFailure = FailureOfBlock(gateway, fault);
  ++cached.failedReads;
  read.active = false;
  NoteMeterRead(gateway, meter, &cached.lastFailure);
  GiveUpIfDead(gateway, meter);
}

void BeginRead(Gateway& gateway, size_t index) {
  SnapshotRead& read = gateway.background.read;
  const Meter& meter = gateway.model.meters[index];
  read.active = true;
  read.meter = index;
  read.telegram = 0;
  read.count = TelegramCount(meter, gateway.multiTelegram);
  read.position = 0;
  read.blockSent = false;
  read.blockReady = false;
  read.startMs = NowMs();
  read.records = Records();
  read.taken.resize(static_cast<size_t>(read.count));
  gateway.background.meters[index].nextReadMs = read.startMs + RefreshIntervalMs(meter);
  LogTrace("Reading %s in the background\n", NameOf(meter).text);
}

// The telegram read is complete: its records are kept, and the next one
// begins, or the meter's snapshot is taken.
void EndTelegram(Gateway& gateway) {
  SnapshotRead& read = gateway.background.read;
  const Meter& meter = gateway.model.meters[read.meter];
  if (!CloseTelegram(meter, read.telegram, read.count, read.records)) return ReadFailed(gateway, BlockFault::kTooManyBytes);
  TelegramRecords& kept = read.taken[static_cast<size_t>(read.telegram)];
  kept.length = EncodeRecords(read.records.items, read.records.count, kept.bytes);
  if (kept.length < 0) return ReadFailed(gateway, BlockFault::kTooManyBytes);
  read.records = Records();
  read.position = 0;
  if (++read.telegram < read.count) return;
  read.active = false;
  KeepSnapshot(gateway, read.meter, read.taken, read.startMs);
}

// Takes the read as far as it goes without the line: finds its next block,
// or ends the telegrams that have none left, and the read after the last.
void ProceedWithoutLine(Gateway& gateway) {
  SnapshotRead& read = gateway.background.read;
  while (read.active && !read.blockReady && !read.blockSent) {
    const Meter& meter = gateway.model.meters[read.meter];
    const RecordSelection which = RecordsOfTelegram(meter, read.telegram, read.count);
    read.blockReady = NextReadBlock(gateway.model, meter, which, read.position, read.block);
    if (!read.blockReady) EndTelegram(gateway);
  }
}

// The block's transaction has ended: its records, or the read fails.
void TakeBlock(Gateway& gateway) {
  SnapshotRead& read = gateway.background.read;
  read.blockSent = false;
  int faultyRecord = 0;
  const BlockFault fault =
      EndBlockRead(gateway, gateway.model.meters[read.meter], read.block, read.records, faultyRecord);
  if (fault != BlockFault::kNone) ReadFailed(gateway, fault);
}

// Why, and how old: the age last, as it differs from answer to answer.
void TraceStale(const Meter& meter, const CachedMeter& cached, int64_t ageMs) {
  char why[sizeof(FailureText::text) + 64];
  if (cached.failedReads == 0) {
    std::snprintf(why, sizeof why, "no read has completed since");
  } else {
    std::snprintf(why, sizeof why, "%d read(s) failed since, the last with %s", cached.failedReads,
                  DescribeFailure(meter, cached.lastFailure).text);
  }
  LogTrace("%s: answered with status 10h, values older than MaxAge %u s: %s; values %lld.%lld s old\n",
           NameOf(meter).text, meter.maxAgeS, why, static_cast<long long>(ageMs / kMsPerSecond),
           static_cast<long long>(ageMs % kMsPerSecond / kMsPerTenth));
}

// A SND_UD came since the snapshot's read began: the meter is read in the
// request's path, as a REQ_UD2 would read it, every telegram.
bool ReadInRequestPath(Gateway& gateway, size_t index, int64_t frameStartMs) {
  // A background read of it under way is overtaken; others go on later.
  SnapshotRead& read = gateway.background.read;
  if (read.active && read.meter == index) read.active = false;
  const Meter& meter = gateway.model.meters[index];
  const int count = TelegramCount(meter, gateway.multiTelegram);
  std::vector<TelegramRecords> taken(static_cast<size_t>(count));
  const int64_t startMs = NowMs();
  for (int telegram = 0; telegram < count; ++telegram) {
    Records records;
    if (!ReadTelegram(gateway, meter, telegram, count, frameStartMs, records)) {
      NoteMeterRead(gateway, meter, &gateway.readFailure);
      return false;
    }
    TelegramRecords& kept = taken[static_cast<size_t>(telegram)];
    kept.length = EncodeRecords(records.items, records.count, kept.bytes);
    if (kept.length < 0) return false;  // never: ReadTelegram keeps within a telegram's bytes
  }
  KeepSnapshot(gateway, index, taken, startMs);
  return true;
}

}  // namespace

void StartBackgroundReads(Gateway& gateway) {
  gateway.background.meters.assign(gateway.model.meters.size(), CachedMeter());
}

void WatchBackgroundReads(const Gateway& gateway, WaitSet& wait) {
  const SnapshotRead& read = gateway.background.read;
  if (read.blockSent && gateway.transaction.Busy()) return gateway.transaction.Watch(wait);
  // Its next block goes at once (after the line's pause), or the block's
  // result is taken.
  if (read.active) return wait.DueAtUs(NowUs());
  int64_t dueMs = 0;
  if (NextMeterDue(gateway, dueMs) >= 0) wait.DueAtUs(dueMs * kUsPerMs);
}

void AdvanceBackgroundReads(Gateway& gateway) {
  SnapshotRead& read = gateway.background.read;
  if (read.blockSent) {
    gateway.transaction.Advance();
    if (gateway.transaction.Busy()) return;
    TakeBlock(gateway);
  }
  if (!read.active) {
    int64_t dueMs = 0;
    const long next = NextMeterDue(gateway, dueMs);
    if (next < 0 || dueMs > NowMs()) return;
    BeginRead(gateway, static_cast<size_t>(next));
  }
  ProceedWithoutLine(gateway);
  if (!read.blockReady) return;
  read.blockReady = false;
  read.blockSent = true;
  BeginBlockRead(gateway, gateway.model.meters[read.meter], read.block);
}

void ClaimModbusLine(Gateway& gateway) {
  if (!gateway.background.read.blockSent) return;
  CompleteTransaction(gateway.transaction);
  TakeBlock(gateway);
  ProceedWithoutLine(gateway);
}

void NoteWrite(Gateway& gateway, const Meter& meter) {
  size_t index = 0;
  if (meter.maxAgeS == 0 || !IndexOf(gateway, meter, index)) return;
  ClaimModbusLine(gateway);
  CachedMeter& cached = gateway.background.meters[index];
  cached.written = true;
  cached.nextReadMs = NowMs();
  // A read of it under way began before the write: its values may predate it.
  SnapshotRead& read = gateway.background.read;
  if (read.active && read.meter == index) read.active = false;
}

bool AnswerFromSnapshot(Gateway& gateway, const Meter& meter, int telegram, RspUdHeader header, int64_t frameStartMs,
                        Answer& answer) {
  size_t index = 0;
  const bool cachedMeter = IndexOf(gateway, meter, index);
  const CachedMeter none;
  const CachedMeter& cached = cachedMeter ? gateway.background.meters[index] : none;
  // The background read that ends first may be one begun after the write.
  if (cached.written) ClaimModbusLine(gateway);
  if (cached.written && !ReadInRequestPath(gateway, index, frameStartMs)) return false;
  const Snapshot& snapshot = cached.snapshot;
  if (!snapshot.complete || telegram < 0 || static_cast<size_t>(telegram) >= snapshot.telegrams.size()) {
    LogTrace("M-Bus error, %s: no complete read since start, not answered\n", NameOf(meter).text);
    // Counted as the last of its reads failed, or as not sent while none has.
    gateway.readFailure = cached.failedReads > 0 ? cached.lastFailure : ReadFailure();
    return false;
  }
  const int64_t ageMs = NowMs() - snapshot.readStartMs;
  const bool stale = ageMs > MaxAgeMs(meter);
  if (stale) {
    header.status |= kStatusTemporaryError;
    TraceStale(meter, cached, ageMs);
  }
  const TelegramRecords& records = snapshot.telegrams[static_cast<size_t>(telegram)];
  answer.length = EncodeRspUdAround(header, records.bytes, records.length, answer.bytes);
  if (answer.length <= 0) return false;
  if (stale) CountStaleAnswer(gateway, meter);
  return true;
}

}  // namespace kestrel
