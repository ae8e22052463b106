#include "links/meter_read.h"

#include <cstdio>
#include <cstring>

#include "links/meter_exchange.h"
#include "mbus/frame.h"
#include "mbus/rsp_ud.h"
#include "modbus/framing.h"
#include "modbus/value_conversion.h"
#include "ports/TPort.h"
#include "support/clock.h"
#include "support/logs.h"

namespace kestrel {
namespace {

constexpr int kReadAnswerHead = 2;  // function code and byte count, before the register bytes

// The longest answer a block's read may have: as long as its registers
// need, and never less than the usual limit, which a read of one record
// (at most four registers) never reaches.
int AnswerLimitFor(const ReadBlock& block, ModbusFraming framing) {
  const int needed = ReadAnswerLength(framing, block.registers);
  return needed > kModbusAnswerLimit ? needed : kModbusAnswerLimit;
}

// Which registers of the answer a record of a block took; traced only for
// meters with BlockReads, whose records share one answer.
void TraceRegistersTaken(const Meter& meter, const Record& record, int number) {
  if (!meter.blockReads) return;
  const unsigned first = record.registerRead;
  const int count = RegisterCount(record.modbusType);
  if (count == 1) {
    LogTrace("Record %d (ObjectId %u): register %u of the answer\n", number, record.objectId, first);
    return;
  }
  LogTrace("Record %d (ObjectId %u): registers %u-%u of the answer\n", number, record.objectId, first,
           first + static_cast<unsigned>(count) - 1u);
}

// What taking a block's values needs.
struct BlockValues {
  const MeterModel& model;
  const Meter& meter;
  const ReadBlock& block;
  HeldCounters* held;  // nullptr: none kept
  const ScaleApart* scales;  // read apart for the block
  int scaleCount;
};

const ScaleApart* FindScaleApart(const ScaleApart* scales, int count, const Record& record) {
  for (int i = 0; i < count; ++i) {
    if (scales[i].function == record.modbusFunction && scales[i].scaleRegister == record.scaleRegister) return &scales[i];
  }
  return nullptr;
}

// The record's ScaleRegister as read with its block or apart; nullptr when
// it has none (or, never, it was not read).
const uint8_t* ScaleOf(const BlockValues& values, const Record& record, const uint8_t* registers) {
  if (!record.scaled) return nullptr;
  const int offset = ScaleOffset(values.block, record);
  if (offset >= 0) return registers + 2 * offset;
  const ScaleApart* apart = FindScaleApart(values.scales, values.scaleCount, record);
  return apart != nullptr ? apart->bytes : nullptr;
}

// false, after tracing it, when the telegram would grow past its 240 bytes.
bool Append(Records& records, const DataRecord& data, const MeterName& name) {
  if (records.bytes + DataRecordLength(data) > kMaxRecordBytes || records.count >= kMaxRecordsPerTelegram) {
    LogTrace("M-Bus error, %s: records exceed %d bytes\n", name.text, kMaxRecordBytes);
    return false;
  }
  records.items[records.count++] = data;
  records.bytes += DataRecordLength(data);
  return true;
}

// The highest value kept of the record, or nullptr.
HeldCounter* HeldOf(const MeterModel& model, HeldCounters* held, const Record& record) {
  if (held == nullptr || model.records.empty()) return nullptr;
  const size_t index = static_cast<size_t>(&record - model.records.data());
  return index < held->records.size() && index < model.records.size() ? &held->records[index] : nullptr;
}

void CountValue(ValueCounts& values, ValueTaken taken) {
  values.noValues += taken == ValueTaken::kNoValue ? 1 : 0;
  values.held += taken == ValueTaken::kHeld ? 1 : 0;
  values.statusBits |= StatusBitsOf(taken);
}

// The data record of the block's record at index, its value taken from the
// block's answer (which holds all the block's register bytes).
BlockFault AddRecord(Records& records, const BlockValues& values, int index, const uint8_t* registers) {
  const Meter& meter = values.meter;
  const Record& record = *values.block.records[index];
  const MeterName name = NameOf(meter);
  DataRecord data = DataRecordOf(record);
  if (data.valueLength == 0) {
    LogTrace("M-Bus error, %s: unknown ModbusDT \"%.16s\"\n", name.text, record.modbusTypeName.text);
    return BlockFault::kUnknownType;
  }
  if (data.difLength < 0) {
    LogTrace("M-Bus error, %s: Function %u is above 3\n", name.text, record.function);
    return BlockFault::kFunctionAbove3;
  }
  const uint8_t* own = registers + 2 * RegisterOffset(values.block, index);
  RegistersToMBus(data.value, own, record.modbusType, meter.reqUd2Orders);
  const ValueTaken taken = TakeValue(meter, record, records.count + 1, own, ScaleOf(values, record, registers),
                                     HeldOf(values.model, values.held, record), data);
  if (!Append(records, data, name)) return BlockFault::kTooManyBytes;
  CountValue(records.values, taken);
  TraceRegistersTaken(meter, record, records.count);
  return BlockFault::kNone;
}

// Adds the block's records from its answer (length bytes, framed as the
// port frames them); the first that cannot be made is at fault.
BlockFault AddBlockRecords(Records& records, const BlockValues& values, const uint8_t* response, int length,
                           ModbusFraming framing, int& faultyRecord) {
  const Meter& meter = values.meter;
  const ReadBlock& block = values.block;
  faultyRecord = 0;
  if (length < ReadAnswerLength(framing, block.registers)) {
    LogTrace("Modbus error, %s: answer of %d bytes holds no %d value bytes\n", NameOf(meter).text, length,
             2 * block.registers);
    return BlockFault::kShortAnswer;
  }
  const uint8_t* registers = response + AnswerPduOffset(framing) + kReadAnswerHead;
  for (faultyRecord = 0; faultyRecord < block.count; ++faultyRecord) {
    const BlockFault fault = AddRecord(records, values, faultyRecord, registers);
    if (fault != BlockFault::kNone) return fault;
  }
  return BlockFault::kNone;
}

}  // namespace

Outcome ReasonOf(const ReadFailure& failure) {
  switch (failure.fault) {
    case BlockFault::kNone: return Outcome::kNotSent;
    case BlockFault::kNoAnswer: return OutcomeOf(failure.result);
    case BlockFault::kShortAnswer:
    case BlockFault::kUnknownType:
    case BlockFault::kFunctionAbove3:
    case BlockFault::kTooManyBytes: break;
  }
  return Outcome::kInvalid;
}

FailureText DescribeFailure(const Meter& meter, const ReadFailure& failure) {
  FailureText described{};
  char (&text)[sizeof described.text] = described.text;
  const TransactionResult& result = failure.result;
  const unsigned slave = meter.slaveAddress;
  if (failure.fault == BlockFault::kNone) {
    std::snprintf(text, sizeof text, "%s", failure.timedOut ? "a read longer than the M-Bus timeout" : "no read yet");
  } else if (failure.fault == BlockFault::kShortAnswer) {
    std::snprintf(text, sizeof text, "fewer registers than asked from slave %u", slave);
  } else if (failure.fault != BlockFault::kNoAnswer) {
    std::snprintf(text, sizeof text, "a record that cannot be made (see the lines of that read)");
  } else if (result.outcome == TransactionOutcome::kException) {
    std::snprintf(text, sizeof text, "exception %u from slave %u", result.exceptionCode, slave);
  } else if (result.outcome == TransactionOutcome::kNotSent) {
    std::snprintf(text, sizeof text, "%s", AttemptEndText(result.lastEnd));
  } else {
    std::snprintf(text, sizeof text, "%s from slave %u", AttemptEndText(result.lastEnd), slave);
  }
  return described;
}

bool CloseTelegram(const Meter& meter, int telegram, int count, Records& records) {
  const bool last = telegram == count - 1;
  return last || Append(records, MoreRecordsFollow(), NameOf(meter));
}

ReadPlan EveryTelegram(int count) {
  ReadPlan plan;
  plan.lastTelegram = count - 1;
  plan.telegramCount = count;
  return plan;
}

void MeterRead::Begin(const MeterModel& model, const Meter& meter, const ReadPlan& plan) {
  model_ = &model;
  meter_ = &meter;
  plan_ = plan;
  state_ = ReadState::kReading;
  telegram_ = plan.firstTelegram;
  position_ = 0;
  blockReady_ = false;
  apartCount_ = 0;
  scaleCount_ = 0;
  scaleInFlight_ = false;
  records_ = Records();
  taken_.assign(static_cast<size_t>(plan.lastTelegram - plan.firstTelegram + 1), TelegramRecords());
  failure_ = ReadFailure();
  timedOut_ = false;
  startMs_ = NowMs();
}

void MeterRead::SetWatch(BlockWatch watch, void* context) {
  watch_ = watch;
  watchContext_ = context;
}

// The next block of the telegram being read, ending the telegrams that have
// none left; false once the read has ended.
bool MeterRead::FindBlock() {
  while (state_ == ReadState::kReading && !blockReady_) {
    const RecordSelection which = RecordsOfTelegram(*meter_, telegram_, plan_.telegramCount);
    blockReady_ = NextReadBlock(*model_, *meter_, which, position_, block_);
    apartCount_ = blockReady_ ? ScalesApart(block_, apart_) : 0;
    scaleCount_ = 0;
    if (!blockReady_) EndTelegram();
  }
  return blockReady_;
}

// The telegram's records are complete: kept as bytes, and the next
// telegram begins, or the read is complete.
void MeterRead::EndTelegram() {
  if (timedOut_) {
    failure_ = ReadFailure();
    failure_.timedOut = true;
    state_ = ReadState::kFailed;
    return;
  }
  if (!CloseTelegram(*meter_, telegram_, plan_.telegramCount, records_)) return Fail(BlockFault::kTooManyBytes);
  TelegramRecords& kept = taken_[static_cast<size_t>(telegram_ - plan_.firstTelegram)];
  kept.length = EncodeRecords(records_.items, records_.count, kept.bytes);
  kept.values = records_.values;
  if (kept.length < 0) return Fail(BlockFault::kTooManyBytes);  // never: Append keeps within a telegram's bytes
  records_ = Records();
  position_ = 0;
  if (++telegram_ > plan_.lastTelegram) state_ = ReadState::kComplete;
}

void MeterRead::Fail(BlockFault fault) {
  failure_ = ReadFailure();
  failure_.fault = fault;
  failure_.result = result_;
  std::memcpy(failure_.request, request_, sizeof failure_.request);
  state_ = ReadState::kFailed;
}

BlockFault MeterRead::TakeScaleApart(const uint8_t* response, int length, ModbusFraming framing) {
  if (length < ReadAnswerLength(framing, 1)) {
    LogTrace("Modbus error, %s: answer of %d bytes holds no scale register\n", NameOf(*meter_).text, length);
    return BlockFault::kShortAnswer;
  }
  std::memcpy(scales_[scaleCount_++].bytes, response + AnswerPduOffset(framing) + kReadAnswerHead, 2);
  return BlockFault::kNone;
}

bool MeterRead::SendNext(Link& link) {
  if (!FindBlock()) return false;
  scaleInFlight_ = scaleCount_ < apartCount_;
  int length = 0;
  if (scaleInFlight_) {
    const Record* scaled = apart_[scaleCount_];
    scales_[scaleCount_] = ScaleApart{scaled->modbusFunction, scaled->scaleRegister, {}};
    length = ScaleRequestFor(*meter_, *scaled, request_);
  } else {
    blockReady_ = false;
    length = ReadRequestFor(*meter_, block_, request_);
  }
  BeginExchangeWithMeter(link, *meter_,
                         {"Request to Modbus Meter\n", request_, length, kReadAttempts,
                          AnswerLimitFor(block_, link.port->GetFraming())});
  return true;
}

void MeterRead::TakeAnswer(Link& link) {
  // The Modbus line stays quiet between two requests (with a frame gap,
  // the gap does that, before every request).
  if (link.line.frameGapUs == 0) link.line.quietUntilUs = NowUs() + kPauseAfterReadUs;
  result_ = link.transaction.Result();
  TraceTransactionReport(link, result_);
  int faultyRecord = 0;
  BlockFault fault = BlockFault::kNoAnswer;
  if (MeterAnswered(MeterRequest::kRead, result_)) {
    // An exception answer that passed (code 0) holds no register bytes.
    const int length = result_.outcome == TransactionOutcome::kAnswer ? result_.length : 0;
    const BlockValues values{*model_, *meter_, block_, plan_.held, scales_, scaleCount_};
    fault = scaleInFlight_ ? TakeScaleApart(link.response, length, link.port->GetFraming())
                           : AddBlockRecords(records_, values, link.response, length, link.port->GetFraming(),
                                             faultyRecord);
  } else {
    // Deliberate: "errno" names the transaction result here, as in every
    // trace line of this family.
    LogTrace("Modbus error, errno = %d, not responding\n", ResultCode(result_));
  }
  if (watch_ != nullptr && !scaleInFlight_) {
    watch_(BlockReport{block_, result_, fault, faultyRecord, records_, request_}, watchContext_);
  }
  scaleInFlight_ = false;
  if (fault != BlockFault::kNone) return Fail(fault);
  if (plan_.mbusTimeoutMs > 0 && FrameTimedOut(plan_.frameStartMs, NowMs(), plan_.mbusTimeoutMs)) {
    LogTrace("M-Bus Timeout\n");
    timedOut_ = true;
  }
  FindBlock();
}

}  // namespace kestrel
