#include "gateway/handlers/snd_ud_reset_snd_nke.h"

#include "gateway/handlers/addressing.h"
#include "gateway/handlers/pending.h"
#include "gateway/reads/background_reads.h"
#include "links/meter_exchange.h"
#include "links/meter_requests.h"
#include "gateway/monitoring/monitoring.h"
#include "modbus/value_conversion.h"
#include "support/logs.h"

namespace kestrel {
namespace {

// SND_UD data: object number at offset 9, value (LSB first) from offset 10.
constexpr int kObjectNumber = 9;
constexpr int kValue = 10;

// The write ended (result: its transaction's; not sent when none went out):
// told and counted; true when the meter answered.
bool EndWriteRequest(Gateway& gateway, const PendingRequest& pending, const TransactionResult& result) {
  WriteEntry entry = pending.write;
  EndWrite(gateway.writes, entry, result);
  CountWrite(gateway, gateway.model.meters[pending.meter], entry.outcome);
  return MeterAnswered(MeterRequest::kWrite, result);
}

// Offset of the frame's last data byte: data runs from offset 7 for L - 3 bytes.
int LastDataOffset(const FrameBuffer& frame) { return kLongData + frame.bytes[kLongL] - kMinLongFrameL - 1; }

// The meter's initialising request, traced with line, as the request's work.
Handling SendInitRequest(Gateway& gateway, size_t meter, const char* line, PendingKind kind) {
  uint8_t request[kInitRequestLength] = {};
  const int length = InitRequestFor(gateway.model.meters[meter], request);
  PendingRequest pending;
  pending.kind = kind;
  pending.meter = meter;
  return BeginPendingExchange(gateway, meter, {line, request, length, kOtherAttempts}, pending);
}

// The result of the pending request's transaction, traced as reported.
const TransactionResult& ReportedResult(Gateway& gateway) {
  const TransactionResult& result = gateway.job.Result();
  TraceTransactionReport(*gateway.links[gateway.job.LinkIndex()], result);
  return result;
}

// The meter a long frame's A field names, and its place in the model.
Meter* MeterToChange(Gateway& gateway, const FrameBuffer& frame, size_t& index) {
  Meter* meter = MeterForWrite(gateway, frame.bytes[kLongA]);
  return meter != nullptr && IndexInModel(gateway.model, *meter, index) ? meter : nullptr;
}

}  // namespace

Handling HandleSndUd(Gateway& gateway, const FrameBuffer& frame, Answer&) {
  size_t index = 0;
  const Meter* meter = MeterToChange(gateway, frame, index);
  if (meter == nullptr) return Handling::kNoAnswer;
  const MeterName name = NameOf(*meter);
  const int lastData = LastDataOffset(frame);
  if (lastData < kObjectNumber) {
    LogTrace("M-Bus error, %s: SND_UD carries no object number\n", name.text);
    return Handling::kNoAnswer;
  }
  const uint8_t objectNumber = frame.bytes[kObjectNumber];
  int recordNumber = 0;
  const Record* record = RecordToWrite(gateway.model, *meter, objectNumber, recordNumber);
  if (record == nullptr) {
    // Deliberate: the gateway's own text says "found" for "not found";
    // integrators search their traces for it as it stands.
    LogTrace("M-Bus error, object for writing found\n");
    return Handling::kNoAnswer;
  }
  const int valueBytes = 2 * RegisterCount(record->modbusType);
  if (valueBytes == 0) {
    LogTrace("M-Bus error, %s: object %u has unknown ModbusDT \"%.16s\", nothing written\n", name.text,
             objectNumber, record->modbusTypeName.text);
    return Handling::kNoAnswer;
  }
  if (kValue + valueBytes - 1 > lastData) {
    LogTrace("M-Bus error, %s: SND_UD holds %d of the %d value bytes of object %u\n", name.text,
             lastData - kValue + 1, valueBytes, objectNumber);
    return Handling::kNoAnswer;
  }
  PendingRequest pending;
  pending.kind = PendingKind::kSndUd;
  pending.meter = index;
  pending.write = WriteEntryOf(*meter, *record, recordNumber, frame.bytes + kValue);
  if (RefuseWrite(gateway.writes, gateway.model, *record, pending.write)) {
    CountWrite(gateway, *meter, pending.write.outcome);
    return Handling::kNoAnswer;
  }
  uint8_t request[kMaxWriteRequestLength] = {};
  const int length = WriteRequestFor(*meter, *record, frame.bytes + kValue, request);
  if (length < 0) {
    LogTrace("M-Bus error, %s: FloatMode or IntReverse above 3, nothing written\n", name.text);
    return Answered(EndWriteRequest(gateway, pending, TransactionResult()));  // not sent
  }
  return BeginPendingExchange(gateway, index, {"Request to Modbus Meter\n", request, length, kOtherAttempts},
                              pending);
}

bool FinishSndUd(Gateway& gateway, const PendingRequest& pending, Answer& answer) {
  const TransactionResult& result = ReportedResult(gateway);
  // Whatever the answer, the value may have reached the registers.
  if (result.outcome != TransactionOutcome::kNotSent) NoteWrite(gateway, gateway.model.meters[pending.meter]);
  return EndWriteRequest(gateway, pending, result) && AnswerAck(answer);
}

Handling HandleAppReset(Gateway& gateway, const FrameBuffer& frame, Answer&) {
  size_t index = 0;
  if (MeterToChange(gateway, frame, index) == nullptr) return Handling::kNoAnswer;
  return SendInitRequest(gateway, index, "Request to Modbus Meter\n", PendingKind::kAppReset);
}

bool FinishAppReset(Gateway& gateway, const PendingRequest&, Answer& answer) {
  if (!MeterAnswered(MeterRequest::kReset, ReportedResult(gateway))) {
    LogTrace("Modbus error, timeout\n");
    return false;
  }
  EndSelection(gateway);
  return AnswerAck(answer);
}

Handling HandleSndNke(Gateway& gateway, const FrameBuffer& frame, Answer& answer) {
  const uint8_t a = frame.bytes[kShortA];
  if (a == kAddressSelected && gateway.selection.selected) {
    if (Meter* selected = SelectedMeter(gateway)) RestartTelegrams(*selected);
    EndSelection(gateway);
    return Answered(AnswerAck(answer));
  }
  EndSelection(gateway);
  Meter* meter = MeterAtAddress(gateway.model, a);
  size_t index = 0;
  if (meter == nullptr || !IndexInModel(gateway.model, *meter, index)) {
    LogTrace("M-Bus error, Meter not found\n");
    return Handling::kNoAnswer;
  }
  RestartTelegrams(*meter);
  return SendInitRequest(gateway, index, "Request to Modbus after SND_NKE\n", PendingKind::kSndNke);
}

bool FinishSndNke(Gateway& gateway, const PendingRequest&, Answer& answer) {
  const TransactionResult& result = ReportedResult(gateway);
  if (!MeterAnswered(MeterRequest::kSndNke, result)) {
    // Deliberate: "errno" is the transaction result, and the capital E is
    // the gateway's own spelling for this line.
    LogTrace("Modbus Error, errno = %d\n", ResultCode(result));
    return false;
  }
  return AnswerAck(answer);
}

}  // namespace kestrel
