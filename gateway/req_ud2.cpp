#include "gateway/req_ud2.h"

#include <unistd.h>

#include "gateway/meter_exchange.h"
#include "gateway/meter_requests.h"
#include "mbus/rsp_ud.h"
#include "modbus/framing.h"
#include "modbus/value_conversion.h"
#include "support/clock.h"
#include "support/logs.h"

namespace kestrel {
namespace {

constexpr int kReadAnswerHead = 2;  // function code and byte count, before the register bytes
constexpr useconds_t kPauseAfterRecordUs = 2000;

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

// The records gathered so far for one telegram.
struct Records {
  DataRecord items[kMaxRecordsPerTelegram];
  int count = 0;
  int bytes = 0;
};

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

// Adds the record whose value is in the Modbus answer (result bytes, framed
// as the port frames them). false, after tracing why, when the Object has no
// well-formed record or the telegram would grow too long.
bool AddRecord(Records& records, const Meter& meter, const Record& record, const uint8_t* response,
               int result, ModbusFraming framing) {
  const int dataOffset = AnswerPduOffset(framing) + kReadAnswerHead;
  const MeterName name = NameOf(meter);
  DataRecord data = DataRecordOf(record);
  if (data.valueLength == 0) {
    LogTrace("M-Bus error, %s: unknown ModbusDT \"%.16s\"\n", name.text, record.modbusTypeName.text);
    return false;
  }
  if (result < dataOffset + data.valueLength + AnswerTrailerLength(framing)) {
    LogTrace("Modbus error, %s: answer of %d bytes holds no %d value bytes\n", name.text, result,
             data.valueLength);
    return false;
  }
  if (data.difLength < 0) {
    LogTrace("M-Bus error, %s: Function %u is above 3\n", name.text, record.function);
    return false;
  }
  RegistersToMBus(data.value, response + dataOffset, record.modbusType, meter.reqUd2Orders);
  return Append(records, data, name);
}

// One record: its Modbus read and, when the meter answered, its data record.
bool ReadRecord(Gateway& gateway, const Meter& meter, const Record& record, Records& records) {
  uint8_t* request = gateway.modbusRequest;
  const int length = ReadRequestFor(meter, record, request);
  const int result =
      ExchangeWithMeter(gateway, meter, "Request to Modbus Meter\n", request, length, kReadAttempts);
  TraceTransactionReport(gateway, result);
  if (!MeterAnswered(MeterRequest::kRead, result)) {
    // Deliberate: "errno" names the transaction result here, as in every
    // trace line of this family.
    LogTrace("Modbus error, errno = %d, not responding\n", result);
    return false;
  }
  return AddRecord(records, meter, record, gateway.modbusResponse, result, gateway.modbusPort->GetFraming());
}

// Reads the records of one telegram; false when any of them fails or the
// REQ_UD2 has taken longer than the M-Bus timeout.
bool ReadTelegram(Gateway& gateway, const FrameBuffer& frame, const Meter& meter, int telegram, int count,
                  Records& records) {
  bool failed = false;
  for (const Record& record : RecordsOfTelegram(gateway.model, meter, telegram, count)) {
    if (!ReadRecord(gateway, meter, record, records)) return false;
    usleep(kPauseAfterRecordUs);
    if (FrameTimedOut(frame.frameStart, NowMs(), gateway.mbusTimeout)) {
      LogTrace("M-Bus Timeout\n");
      failed = true;
    }
  }
  if (failed) return false;
  const bool last = telegram == count - 1;
  return last || Append(records, MoreRecordsFollow(), NameOf(meter));
}

}  // namespace

bool HandleReqUd2(Gateway& gateway, const FrameBuffer& frame, Answer& answer) {
  Meter* meter = ChooseMeter(gateway, frame.bytes[kShortA]);
  if (meter == nullptr) return false;
  const bool fcb = (frame.bytes[kShortC] & kCFrameCountBit) != 0;
  const int count = TelegramCount(*meter, gateway.multiTelegram);
  const int telegram = TelegramToSend(meter->readout, fcb, count);
  const RspUdHeader header = TakeHeader(*meter);

  Records records;
  if (!ReadTelegram(gateway, frame, *meter, telegram, count, records)) return false;
  answer.length = EncodeRspUd(header, records.items, records.count, answer.bytes);
  if (answer.length <= 0) return false;
  if (gateway.multiTelegram) TelegramSent(meter->readout, fcb, telegram);
  return true;
}

}  // namespace kestrel
