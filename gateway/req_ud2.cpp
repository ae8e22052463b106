#include "gateway/req_ud2.h"

#include <unistd.h>

#include "gateway/meter_exchange.h"
#include "mbus/rsp_ud.h"
#include "modbus/framing.h"
#include "modbus/value_conversion.h"
#include "support/clock.h"
#include "support/logs.h"

namespace kestrel {
namespace {

constexpr int kReadAnswerHead = 2;  // function code and byte count, before the register bytes
// After each read (one record, or one block with BlockReads).
constexpr useconds_t kPauseAfterReadUs = 2000;

static_assert(sizeof(Gateway::modbusResponse) >= kMaxMbapFrame + kModbusReadChunk,
              "the response buffer holds the longest block answer and a read behind it");

// The meter a REQ_UD2 addresses, or nullptr after tracing why there is none.
Meter* ChooseMeter(Gateway& gateway, uint8_t a) {
  if (a == kAddressTest) {
    LogTrace("M-Bus error, meter not found\n");
    return nullptr;
  }
  if (gateway.selection.selected) return SelectedMeter(gateway);
  Meter* meter = MeterAtAddress(gateway.model, a);
  if (meter == nullptr) {
    // Deliberate: the same finding twice, in two spellings; both lines are
    // the gateway's own and stay as they are.
    LogTrace("M-Bus error, Meter not found\n");
    LogTrace("M-Bus error, meter not found\n");
  }
  return meter;
}

// The header as sent; the access number advances at once, before any Modbus
// traffic, so it moves on even when the answer is dropped.
RspUdHeader TakeHeader(Meter& meter) {
  const RspUdHeader header = RspUdHeaderOf(meter);
  meter.accessNumber = static_cast<uint8_t>(header.accessNumber + 1u);
  return header;
}

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

// Adds the block's records from its answer (result bytes, framed as the
// port frames them); the first that cannot be made is at fault.
BlockFault AddBlockRecords(Records& records, const Meter& meter, const ReadBlock& block, const uint8_t* response,
                           int result, ModbusFraming framing, int& faultyRecord) {
  faultyRecord = 0;
  if (result < ReadAnswerLength(framing, block.registers)) {
    LogTrace("Modbus error, %s: answer of %d bytes holds no %d value bytes\n", NameOf(meter).text, result,
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

// One block: its Modbus read and, when the meter answered, its records.
BlockFault ReadBlockRecords(Gateway& gateway, const Meter& meter, const ReadBlock& block, Records& records,
                            int& result, int& faultyRecord) {
  faultyRecord = 0;
  uint8_t* request = gateway.modbusRequest;
  const ModbusFraming framing = gateway.modbusPort->GetFraming();
  const int length = ReadRequestFor(meter, block, request);
  result = ExchangeWithMeter(gateway, meter, "Request to Modbus Meter\n", request, length, kReadAttempts,
                             AnswerLimitFor(block, framing));
  TraceTransactionReport(gateway, result);
  if (!MeterAnswered(MeterRequest::kRead, result)) {
    // Deliberate: "errno" names the transaction result here, as in every
    // trace line of this family.
    LogTrace("Modbus error, errno = %d, not responding\n", result);
    return BlockFault::kNoAnswer;
  }
  return AddBlockRecords(records, meter, block, gateway.modbusResponse, result, framing, faultyRecord);
}

}  // namespace

bool ReadMeterRecords(Gateway& gateway, const Meter& meter, const RecordsOf& which, int64_t frameStartMs,
                      Records& records, BlockWatch watch, void* context) {
  bool timedOut = false;
  const bool read = ForEachReadBlock(meter, which, [&](const ReadBlock& block) {
    int result = 0;
    int faultyRecord = 0;
    const BlockFault fault = ReadBlockRecords(gateway, meter, block, records, result, faultyRecord);
    if (watch != nullptr) watch(BlockReport{block, result, fault, faultyRecord, records}, context);
    if (fault != BlockFault::kNone) return false;
    // The Modbus line stays quiet between two requests.
    usleep(kPauseAfterReadUs);
    if (FrameTimedOut(frameStartMs, NowMs(), gateway.mbusTimeout)) {
      LogTrace("M-Bus Timeout\n");
      timedOut = true;  // the answer is lost, but the reads go on
    }
    return true;
  });
  return read && !timedOut;
}

bool ReadTelegram(Gateway& gateway, const Meter& meter, int telegram, int count, int64_t frameStartMs,
                  Records& records, BlockWatch watch, void* context) {
  const RecordsOf which = RecordsOfTelegram(gateway.model, meter, telegram, count);
  if (!ReadMeterRecords(gateway, meter, which, frameStartMs, records, watch, context)) return false;
  const bool last = telegram == count - 1;
  return last || Append(records, MoreRecordsFollow(), NameOf(meter));
}

bool HandleReqUd2(Gateway& gateway, const FrameBuffer& frame, Answer& answer) {
  Meter* meter = ChooseMeter(gateway, frame.bytes[kShortA]);
  if (meter == nullptr) return false;
  const bool fcb = (frame.bytes[kShortC] & kCFrameCountBit) != 0;
  const int count = TelegramCount(*meter, gateway.multiTelegram);
  const int telegram = TelegramToSend(meter->readout, fcb, count);
  const RspUdHeader header = TakeHeader(*meter);

  Records records;
  if (!ReadTelegram(gateway, *meter, telegram, count, frame.frameStart, records)) return false;
  answer.length = EncodeRspUd(header, records.items, records.count, answer.bytes);
  if (answer.length <= 0) return false;
  if (gateway.multiTelegram) TelegramSent(meter->readout, fcb, telegram);
  return true;
}

}  // namespace kestrel
