#include "gateway/write_init.h"

#include "gateway/addressing.h"
#include "gateway/background_reads.h"
#include "gateway/meter_exchange.h"
#include "gateway/meter_requests.h"
#include "gateway/monitoring.h"
#include "modbus/value_conversion.h"
#include "support/logs.h"

namespace kestrel {
namespace {

// SND_UD data: object number at offset 9, value (LSB first) from offset 10.
constexpr int kObjectNumber = 9;
constexpr int kValue = 10;

// Offset of the frame's last data byte: data runs from offset 7 for L - 3 bytes.
int LastDataOffset(const FrameBuffer& frame) { return kLongData + frame.bytes[kLongL] - kMinLongFrameL - 1; }

TransactionResult SendInitRequest(Gateway& gateway, const Meter& meter, const char* line) {
  ClaimModbusLine(gateway);
  uint8_t* request = gateway.modbusRequest;
  const int length = InitRequestFor(meter, request);
  const TransactionResult result = ExchangeWithMeter(gateway, meter, line, request, length, kOtherAttempts);
  TraceTransactionReport(gateway, result);
  return result;
}

// The write's Modbus transaction: value (the record's 2 x n bytes) into the
// meter's registers; not sent when FloatMode or IntReverse cannot order it.
TransactionResult WriteRegisters(Gateway& gateway, const Meter& meter, const Record& record, const uint8_t* value) {
  uint8_t* request = gateway.modbusRequest;
  const int length = WriteRequestFor(meter, record, value, request);
  if (length < 0) {
    LogTrace("M-Bus error, %s: FloatMode or IntReverse above 3, nothing written\n", NameOf(meter).text);
    return TransactionResult();  // not sent
  }
  ClaimModbusLine(gateway);
  const TransactionResult result =
      ExchangeWithMeter(gateway, meter, "Request to Modbus Meter\n", request, length, kOtherAttempts);
  TraceTransactionReport(gateway, result);
  // Whatever the answer, the value may have reached the registers.
  if (result.outcome != TransactionOutcome::kNotSent) NoteWrite(gateway, meter);
  return result;
}

}  // namespace

bool HandleSndUd(Gateway& gateway, const FrameBuffer& frame, Answer& answer) {
  const Meter* meter = MeterForWrite(gateway, frame.bytes[kLongA]);
  if (meter == nullptr) return false;
  const MeterName name = NameOf(*meter);
  const int lastData = LastDataOffset(frame);
  if (lastData < kObjectNumber) {
    LogTrace("M-Bus error, %s: SND_UD carries no object number\n", name.text);
    return false;
  }
  const uint8_t objectNumber = frame.bytes[kObjectNumber];
  int recordNumber = 0;
  const Record* record = RecordToWrite(gateway.model, *meter, objectNumber, recordNumber);
  if (record == nullptr) {
    // Deliberate: the gateway's own text says "found" for "not found";
    // integrators search their traces for it as it stands.
    LogTrace("M-Bus error, object for writing found\n");
    return false;
  }
  const int valueBytes = 2 * RegisterCount(record->modbusType);
  if (valueBytes == 0) {
    LogTrace("M-Bus error, %s: object %u has unknown ModbusDT \"%.16s\", nothing written\n", name.text,
             objectNumber, record->modbusTypeName.text);
    return false;
  }
  if (kValue + valueBytes - 1 > lastData) {
    LogTrace("M-Bus error, %s: SND_UD holds %d of the %d value bytes of object %u\n", name.text,
             lastData - kValue + 1, valueBytes, objectNumber);
    return false;
  }
  WriteEntry entry = WriteEntryOf(*meter, *record, recordNumber, frame.bytes + kValue);
  if (RefuseWrite(gateway.writes, gateway.model, *record, entry)) {
    CountWrite(gateway, *meter, entry.outcome);
    return false;
  }
  const TransactionResult result = WriteRegisters(gateway, *meter, *record, frame.bytes + kValue);
  EndWrite(gateway.writes, entry, result);
  CountWrite(gateway, *meter, entry.outcome);
  if (!MeterAnswered(MeterRequest::kWrite, result)) return false;
  return AnswerAck(answer);
}

bool HandleAppReset(Gateway& gateway, const FrameBuffer& frame, Answer& answer) {
  const Meter* meter = MeterForWrite(gateway, frame.bytes[kLongA]);
  if (meter == nullptr) return false;
  const TransactionResult result = SendInitRequest(gateway, *meter, "Request to Modbus Meter\n");
  if (!MeterAnswered(MeterRequest::kReset, result)) {
    LogTrace("Modbus error, timeout\n");
    return false;
  }
  EndSelection(gateway);
  return AnswerAck(answer);
}

bool HandleSndNke(Gateway& gateway, const FrameBuffer& frame, Answer& answer) {
  const uint8_t a = frame.bytes[kShortA];
  if (a == kAddressSelected && gateway.selection.selected) {
    if (Meter* selected = SelectedMeter(gateway)) RestartTelegrams(*selected);
    EndSelection(gateway);
    return AnswerAck(answer);
  }
  EndSelection(gateway);
  Meter* meter = MeterAtAddress(gateway.model, a);
  if (meter == nullptr) {
    LogTrace("M-Bus error, Meter not found\n");
    return false;
  }
  RestartTelegrams(*meter);
  const TransactionResult result = SendInitRequest(gateway, *meter, "Request to Modbus after SND_NKE\n");
  if (!MeterAnswered(MeterRequest::kSndNke, result)) {
    // Deliberate: "errno" is the transaction result, and the capital E is
    // the gateway's own spelling for this line.
    LogTrace("Modbus Error, errno = %d\n", ResultCode(result));
    return false;
  }
  return AnswerAck(answer);
}

}  // namespace kestrel
