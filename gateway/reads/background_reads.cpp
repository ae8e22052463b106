#include "gateway/reads/background_reads.h"

#include <cstdio>

#include "links/meter_exchange.h"
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

size_t LinkIndexOf(const Gateway& gateway, const Link& link) {
  size_t index = 0;
  while (index < gateway.links.size() && gateway.links[index].get() != &link) ++index;
  return index;
}

bool OnLink(const Gateway& gateway, size_t meter, size_t link) {
  return meter < gateway.meterLinks.size() && gateway.meterLinks[meter] == static_cast<int>(link);
}

SlaveHealth& HealthOf(Gateway& gateway, size_t meter) {
  const size_t link = static_cast<size_t>(gateway.meterLinks[meter]);
  return gateway.background.links[link].slaves[gateway.model.meters[meter].slaveAddress];
}

// When the meter's next read is due: half its MaxAge after the last began,
// and not before its slave is tried again once given up.
int64_t DueMs(const Gateway& gateway, const LinkReads& reads, size_t index) {
  const Meter& meter = gateway.model.meters[index];
  const SlaveHealth& slave = reads.slaves[meter.slaveAddress];
  const int64_t due = gateway.background.meters[index].nextReadMs;
  return slave.givenUp && slave.retryAtMs > due ? slave.retryAtMs : due;
}

// The meter with MaxAge on the link due first (the first in document order
// among equals), or -1 when there is none; its due time in dueMs.
long NextMeterDue(const Gateway& gateway, size_t link, int64_t& dueMs) {
  long next = -1;
  const LinkReads& reads = gateway.background.links[link];
  for (size_t index = 0; index < gateway.background.meters.size(); ++index) {
    if (gateway.model.meters[index].maxAgeS == 0 || !OnLink(gateway, index, link)) continue;
    const int64_t due = DueMs(gateway, reads, index);
    if (next < 0 || due < dueMs) {
      next = static_cast<long>(index);
      dueMs = due;
    }
  }
  return next;
}

void GiveUpIfDead(Gateway& gateway, size_t index) {
  const Meter& meter = gateway.model.meters[index];
  SlaveHealth& slave = HealthOf(gateway, index);
  if (++slave.failedReads < kFailedReadsBeforeGivingUp) return;
  if (!slave.givenUp) {
    LogTrace("Modbus slave %u: %d complete reads in a row failed; read again once every %lld s until it answers\n",
             meter.slaveAddress, slave.failedReads, static_cast<long long>(RetryIntervalMs(meter) / kMsPerSecond));
  }
  slave.givenUp = true;
  slave.retryAtMs = NowMs() + RetryIntervalMs(meter);
}

void ReadFailed(Gateway& gateway, size_t index, const ReadFailure& failure) {
  CachedMeter& cached = gateway.background.meters[index];
  cached.lastFailure = failure;
  ++cached.failedReads;
  NoteMeterRead(gateway, gateway.model.meters[index], &cached.lastFailure);
  GiveUpIfDead(gateway, index);
}

void BeginRead(Gateway& gateway, LinkReads& reads, size_t index) {
  const Meter& meter = gateway.model.meters[index];
  reads.active = true;
  reads.meter = index;
  ReadPlan plan = EveryTelegram(TelegramCount(meter, gateway.multiTelegram));
  plan.held = &gateway.held;
  reads.read.Begin(gateway.model, meter, plan);
  gateway.background.meters[index].nextReadMs = reads.read.StartMs() + RefreshIntervalMs(meter);
  LogTrace("Reading %s in the background\n", NameOf(meter).text);
}

// Why, and how old (ageMs -1: unknown): the age last, as it differs from
// answer to answer.
void TraceStale(const Meter& meter, const CachedMeter& cached, int64_t ageMs) {
  char why[sizeof(FailureText::text) + 64];
  if (cached.failedReads == 0) {
    std::snprintf(why, sizeof why, "no read has completed since");
  } else {
    std::snprintf(why, sizeof why, "%d read(s) failed since, the last with %s", cached.failedReads,
                  DescribeFailure(meter, cached.lastFailure).text);
  }
  if (ageMs < 0) {
    LogTrace("%s: answered with status 10h, values of unknown age (restored, read at a time that cannot be): %s\n",
             NameOf(meter).text, why);
    return;
  }
  LogTrace("%s: answered with status 10h, values older than MaxAge %u s: %s; values %lld.%lld s old\n",
           NameOf(meter).text, meter.maxAgeS, why, static_cast<long long>(ageMs / kMsPerSecond),
           static_cast<long long>(ageMs % kMsPerSecond / kMsPerTenth));
}

}  // namespace

void StartBackgroundReads(Gateway& gateway) {
  gateway.background.meters.assign(gateway.model.meters.size(), CachedMeter());
  gateway.background.links = std::vector<LinkReads>(gateway.links.size());
  gateway.held.records.assign(gateway.model.records.size(), HeldCounter());
}

LinkReads& BackgroundReader::ReadsOf(const Link& link) const {
  return gateway_.background.links[LinkIndexOf(gateway_, link)];
}

void BackgroundReader::ReadEnded(LinkReads& reads) {
  reads.active = false;
  if (reads.read.State() == ReadState::kComplete) {
    KeepSnapshot(gateway_, reads.meter, reads.read.Telegrams(), reads.read.StartMs());
  } else {
    ReadFailed(gateway_, reads.meter, reads.read.Failure());
  }
}

bool BackgroundReader::SendNext(Link& link) {
  LinkReads& reads = ReadsOf(link);
  if (!reads.active) {
    int64_t dueMs = 0;
    const long next = NextMeterDue(gateway_, LinkIndexOf(gateway_, link), dueMs);
    if (next < 0 || dueMs > NowMs()) return false;
    BeginRead(gateway_, reads, static_cast<size_t>(next));
  }
  if (reads.read.SendNext(link)) return true;
  ReadEnded(reads);  // a meter without records: complete without the line
  return false;
}

void BackgroundReader::TransactionEnded(Link& link) {
  LinkReads& reads = ReadsOf(link);
  // A read dropped while its transaction was under way has nothing to take.
  if (!reads.active) return;
  reads.read.TakeAnswer(link);
  if (reads.read.State() != ReadState::kReading) ReadEnded(reads);
}

int64_t BackgroundReader::NextDueUs(const Link& link) const {
  // Its next block goes at once (after the line's pause).
  if (ReadsOf(link).active) return NowUs();
  int64_t dueMs = 0;
  return NextMeterDue(gateway_, LinkIndexOf(gateway_, link), dueMs) < 0 ? -1 : dueMs * kUsPerMs;
}

void KeepSnapshot(Gateway& gateway, size_t index, const std::vector<TelegramRecords>& telegrams, int64_t startMs) {
  const Meter& meter = gateway.model.meters[index];
  CachedMeter& cached = gateway.background.meters[index];
  cached.snapshot.telegrams = telegrams;
  cached.snapshot.complete = true;
  cached.snapshot.readStartMs = startMs;
  cached.snapshot.readWallMs = CalendarMs() - (NowMs() - startMs);
  cached.snapshot.ageUnknown = false;
  gateway.background.state.changed = true;
  cached.nextReadMs = startMs + RefreshIntervalMs(meter);
  cached.written = false;
  cached.failedReads = 0;
  NoteMeterRead(gateway, meter, nullptr);
  SlaveHealth& slave = HealthOf(gateway, index);
  if (slave.givenUp) LogTrace("Modbus slave %u answers again: its meters are read as due\n", meter.slaveAddress);
  slave = SlaveHealth();
}

bool WrittenSinceSnapshot(const Gateway& gateway, size_t meter) {
  return meter < gateway.background.meters.size() && gateway.background.meters[meter].written;
}

void ForgetBackgroundRead(Gateway& gateway, size_t meter) {
  if (meter >= gateway.meterLinks.size() || gateway.meterLinks[meter] == kNoLink) return;
  LinkReads& reads = gateway.background.links[static_cast<size_t>(gateway.meterLinks[meter])];
  if (reads.active && reads.meter == meter) reads.active = false;
}

void NoteWrite(Gateway& gateway, const Meter& meter) {
  size_t index = 0;
  if (meter.maxAgeS == 0 || !IndexOf(gateway, meter, index)) return;
  CachedMeter& cached = gateway.background.meters[index];
  cached.written = true;
  cached.nextReadMs = NowMs();
  // A read of it under way began before the write: its values may predate it.
  ForgetBackgroundRead(gateway, index);
}

bool AnswerFromSnapshot(Gateway& gateway, const Meter& meter, int telegram, RspUdHeader header, Answer& answer,
                        ReadFailure& failure) {
  size_t index = 0;
  const bool cachedMeter = IndexOf(gateway, meter, index);
  const CachedMeter none;
  const CachedMeter& cached = cachedMeter ? gateway.background.meters[index] : none;
  const Snapshot& snapshot = cached.snapshot;
  if (!snapshot.complete || telegram < 0 || static_cast<size_t>(telegram) >= snapshot.telegrams.size()) {
    LogTrace("M-Bus error, %s: no complete read since start, not answered\n", NameOf(meter).text);
    // Counted as the last of its reads failed, or as not sent while none has.
    failure = cached.failedReads > 0 ? cached.lastFailure : ReadFailure();
    return false;
  }
  const int64_t ageMs = NowMs() - snapshot.readStartMs;
  const bool stale = snapshot.ageUnknown || ageMs > MaxAgeMs(meter);
  if (stale) {
    header.status |= kStatusTemporaryError;
    TraceStale(meter, cached, snapshot.ageUnknown ? -1 : ageMs);
  }
  const TelegramRecords& records = snapshot.telegrams[static_cast<size_t>(telegram)];
  header.status |= records.values.statusBits;
  answer.length = EncodeRspUdAround(header, records.bytes, records.length, answer.bytes);
  if (answer.length <= 0) return false;
  if (stale) CountStaleAnswer(gateway, meter);
  CountValuesSent(gateway, meter, records.values);
  return true;
}

}  // namespace kestrel
