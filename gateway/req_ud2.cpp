#include "gateway/req_ud2.h"

#include "gateway/background_reads.h"
#include "gateway/record_reads.h"
#include "mbus/rsp_ud.h"
#include "support/logs.h"

namespace kestrel {
namespace {

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

// The telegram read afresh, in the request's path.
bool AnswerFromFreshRead(Gateway& gateway, const Meter& meter, int telegram, int count, const RspUdHeader& header,
                         int64_t frameStartMs, Answer& answer) {
  ClaimModbusLine(gateway);
  Records records;
  if (!ReadTelegram(gateway, meter, telegram, count, frameStartMs, records)) return false;
  answer.length = EncodeRspUd(header, records.items, records.count, answer.bytes);
  return answer.length > 0;
}

}  // namespace

bool HandleReqUd2(Gateway& gateway, const FrameBuffer& frame, Answer& answer) {
  Meter* meter = ChooseMeter(gateway, frame.bytes[kShortA]);
  if (meter == nullptr) return false;
  const bool fcb = (frame.bytes[kShortC] & kCFrameCountBit) != 0;
  const int count = TelegramCount(*meter, gateway.multiTelegram);
  const int telegram = TelegramToSend(meter->readout, fcb, count);
  const RspUdHeader header = TakeHeader(*meter);
  CountRequest(gateway, *meter);
  gateway.readFailure = ReadFailure();

  const bool fresh = meter->maxAgeS == 0;
  const bool answered =
      fresh ? AnswerFromFreshRead(gateway, *meter, telegram, count, header, frame.frameStart, answer)
            : AnswerFromSnapshot(gateway, *meter, telegram, header, frame.frameStart, answer);
  // A meter read afresh is failing or answering by its requests; one
  // answered from memory by its reads (see background_reads).
  if (fresh) NoteMeterRead(gateway, *meter, answered ? nullptr : &gateway.readFailure);
  if (!answered) {
    CountUnanswered(gateway, *meter, ReasonOf(gateway.readFailure));
    return false;
  }
  CountAnswer(gateway, *meter);
  if (gateway.multiTelegram) TelegramSent(meter->readout, fcb, telegram);
  return true;
}

}  // namespace kestrel
