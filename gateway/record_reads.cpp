#include "gateway/record_reads.h"

#include <cstdio>
#include <cstring>

#include "gateway/meter_exchange.h"
#include "mbus/rsp_ud.h"
#include "modbus/framing.h"
#include "modbus/value_conversion.h"
#include "ports/TPort.h"
#include "support/clock.h"
#include "support/logs.h"

namespace kestrel {
namespace {

constexpr int kReadAnswerHead = 2;  // function code and byte count, before the register bytes

static_assert(sizeof(Gateway::modbusResponse) >= kMaxMbapFrame + kModbusReadChunk,
              "the response buffer holds the longest block answer and a read behind it");

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

// The data record of the block's record at index, its value taken from the
// block's answer (which holds all the block's register bytes).
BlockFault AddRecord(Records& records, const Meter& meter, const ReadBlock& block, int index,
                     const uint8_t* registers) {
  const Record& record = *block.records[index];
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
  RegistersToMBus(data.value, registers + 2 * RegisterOffset(block, index), record.modbusType, meter.reqUd2Orders);
  if (!Append(records, data, name)) return BlockFault::kTooManyBytes;
  TraceRegistersTaken(meter, record, records.count);
  return BlockFault::kNone;
}

// Adds the block's records from its answer (length bytes, framed as the
// port frames them); the first that cannot be made is at fault.
BlockFault AddBlockRecords(Records& records, const Meter& meter, const ReadBlock& block, const uint8_t* response,
                           int length, ModbusFraming framing, int& faultyRecord) {
  faultyRecord = 0;
  if (length < ReadAnswerLength(framing, block.registers)) {
    LogTrace("Modbus error, %s: answer of %d bytes holds no %d value bytes\n", NameOf(meter).text, length,
             2 * block.registers);
    return BlockFault::kShortAnswer;
  }
  const uint8_t* registers = response + AnswerPduOffset(framing) + kReadAnswerHead;
  for (faultyRecord = 0; faultyRecord < block.count; ++faultyRecord) {
    const BlockFault fault = AddRecord(records, meter, block, faultyRecord, registers);
    if (fault != BlockFault::kNone) return fault;
  }
  return BlockFault::kNone;
}

}  // namespace

void BeginBlockRead(Gateway& gateway, const Meter& meter, const ReadBlock& block) {
  uint8_t* request = gateway.modbusRequest;
  const int length = ReadRequestFor(meter, block, request);
  BeginExchangeWithMeter(gateway, meter, "Request to Modbus Meter\n", request, length, kReadAttempts,
                         AnswerLimitFor(block, gateway.modbus.port->GetFraming()));
}

BlockFault EndBlockRead(Gateway& gateway, const Meter& meter, const ReadBlock& block, Records& records,
                        int& faultyRecord) {
  faultyRecord = 0;
  // The Modbus line stays quiet between two requests (with a frame gap,
  // the gap does that, before every request).
  if (gateway.modbus.frameGapUs == 0) gateway.modbus.quietUntilUs = NowUs() + kPauseAfterReadUs;
  const TransactionResult& result = gateway.transaction.Result();
  TraceTransactionReport(gateway, result);
  if (!MeterAnswered(MeterRequest::kRead, result)) {
    // Deliberate: "errno" names the transaction result here, as in every
    // trace line of this family.
    LogTrace("Modbus error, errno = %d, not responding\n", ResultCode(result));
    return BlockFault::kNoAnswer;
  }
  // An exception answer that passed (code 0) holds no register bytes.
  const int length = result.outcome == TransactionOutcome::kAnswer ? result.length : 0;
  return AddBlockRecords(records, meter, block, gateway.modbusResponse, length, gateway.modbus.port->GetFraming(),
                         faultyRecord);
}

ReadFailure FailureOfBlock(const Gateway& gateway, BlockFault fault) {
  ReadFailure failure;
  failure.fault = fault;
  failure.result = gateway.transaction.Result();
  std::memcpy(failure.request, gateway.modbusRequest, sizeof failure.request);
  return failure;
}

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

bool ReadMeterRecords(Gateway& gateway, const Meter& meter, RecordSelection which, int64_t frameStartMs,
                      Records& records, BlockWatch watch, void* context) {
  bool timedOut = false;
  const bool read = ForEachReadBlock(gateway.model, meter, which, [&](const ReadBlock& block) {
    BeginBlockRead(gateway, meter, block);
    CompleteTransaction(gateway.transaction);
    int faultyRecord = 0;
    const BlockFault fault = EndBlockRead(gateway, meter, block, records, faultyRecord);
    if (watch != nullptr) {
      watch(BlockReport{block, gateway.transaction.Result(), fault, faultyRecord, records}, context);
    }
    if (fault != BlockFault::kNone) {
      gateway.readFailure = FailureOfBlock(gateway, fault);
      return false;
    }
    if (FrameTimedOut(frameStartMs, NowMs(), gateway.mbusTimeout)) {
      LogTrace("M-Bus Timeout\n");
      timedOut = true;  // the answer is lost, but the reads go on
    }
    return true;
  });
  if (read && timedOut) {
    gateway.readFailure = ReadFailure();
    gateway.readFailure.timedOut = true;
  }
  return read && !timedOut;
}

bool ReadTelegram(Gateway& gateway, const Meter& meter, int telegram, int count, int64_t frameStartMs,
                  Records& records, BlockWatch watch, void* context) {
  const RecordSelection which = RecordsOfTelegram(meter, telegram, count);
  if (!ReadMeterRecords(gateway, meter, which, frameStartMs, records, watch, context)) return false;
  if (CloseTelegram(meter, telegram, count, records)) return true;
  gateway.readFailure = ReadFailure();
  gateway.readFailure.fault = BlockFault::kTooManyBytes;
  return false;
}

}  // namespace kestrel
