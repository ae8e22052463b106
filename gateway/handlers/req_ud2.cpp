#include "gateway/handlers/req_ud2.h"

#include "gateway/handlers/pending.h"
#include "gateway/reads/background_reads.h"
#include "gateway/reads/state_file.h"
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

// A read of every telegram of the meter's count, within the request's
// M-Bus time-out.
ReadPlan PlanInRequestPath(Gateway& gateway, const PendingRequest& request, int count) {
  ReadPlan plan = EveryTelegram(count);
  plan.held = &gateway.held;
  plan.frameStartMs = request.frameStartMs;
  plan.mbusTimeoutMs = gateway.mbusTimeout;
  return plan;
}

// What the answer, or its absence, counts as.
Handling Conclude(Gateway& gateway, Meter& meter, const PendingRequest& request, bool answered,
                  const ReadFailure& failure) {
  if (!answered) {
    CountUnanswered(gateway, meter, ReasonOf(failure));
    return Handling::kNoAnswer;
  }
  CountAnswer(gateway, meter);
  if (gateway.multiTelegram) TelegramSent(meter.readout, request.fcb, request.telegram);
  return Handling::kAnswer;
}

// A meter read afresh is failing or answering by its requests; one
// answered from memory by its reads (see background_reads).
bool AnswerFromFreshRead(Gateway& gateway, const Meter& meter, const PendingRequest& request, Answer& answer) {
  const MeterRead& read = gateway.job.Read();
  bool answered = read.State() == ReadState::kComplete;
  if (answered) {
    const TelegramRecords& records = read.Telegrams().front();
    RspUdHeader header = request.header;
    header.status |= records.values.statusBits;
    answer.length = EncodeRspUdAround(header, records.bytes, records.length, answer.bytes);
    answered = answer.length > 0;
    if (answered) CountValuesSent(gateway, meter, records.values);
  }
  NoteHeldValues(gateway, meter);  // taken in as the blocks came, also of a read that failed
  NoteMeterRead(gateway, meter, answered ? nullptr : &read.Failure());
  return answered;
}

// A SND_UD came since the snapshot's read began: the meter was read in the
// request's path, every telegram, and answers from that read.
bool AnswerAfterWrite(Gateway& gateway, const Meter& meter, const PendingRequest& request, Answer& answer,
                      ReadFailure& failure) {
  const MeterRead& read = gateway.job.Read();
  if (read.State() != ReadState::kComplete) {
    failure = read.Failure();
    NoteMeterRead(gateway, meter, &failure);
    return false;
  }
  KeepSnapshot(gateway, request.meter, read.Telegrams(), read.StartMs());
  return AnswerFromSnapshot(gateway, meter, request.telegram, request.header, answer, failure);
}

}  // namespace

Handling HandleReqUd2(Gateway& gateway, const FrameBuffer& frame, Answer& answer) {
  Meter* meter = ChooseMeter(gateway, frame.bytes[kShortA]);
  size_t index = 0;
  if (meter == nullptr || !IndexInModel(gateway.model, *meter, index)) return Handling::kNoAnswer;
  PendingRequest request;
  request.kind = PendingKind::kReqUd2;
  request.meter = index;
  request.fcb = (frame.bytes[kShortC] & kCFrameCountBit) != 0;
  request.frameStartMs = frame.frameStart;
  const int count = TelegramCount(*meter, gateway.multiTelegram);
  request.telegram = TelegramToSend(meter->readout, request.fcb, count);
  request.header = TakeHeader(*meter);
  CountRequest(gateway, *meter);

  Handling handling = Handling::kNoAnswer;
  if (meter->maxAgeS == 0) {
    ReadPlan plan = PlanInRequestPath(gateway, request, count);
    plan.firstTelegram = plan.lastTelegram = request.telegram;
    handling = BeginPendingRead(gateway, index, plan, request);
  } else if (WrittenSinceSnapshot(gateway, index)) {
    // The background read that ends first may be one begun after the write.
    request.kind = PendingKind::kReqUd2Written;
    handling = BeginPendingClaim(gateway, index, request);
  } else {
    ReadFailure failure;
    const bool answered = AnswerFromSnapshot(gateway, *meter, request.telegram, request.header, answer, failure);
    return Conclude(gateway, *meter, request, answered, failure);
  }
  // Without a link that works, nothing was sent.
  return handling == Handling::kNoAnswer ? Conclude(gateway, *meter, request, false, ReadFailure()) : handling;
}

Handling FinishReqUd2(Gateway& gateway, const PendingRequest& pending, Answer& answer) {
  Meter& meter = gateway.model.meters[pending.meter];
  ReadFailure failure = gateway.job.Read().Failure();
  if (pending.kind == PendingKind::kReqUd2Written) {
    if (!WrittenSinceSnapshot(gateway, pending.meter)) {
      const bool answered = AnswerFromSnapshot(gateway, meter, pending.telegram, pending.header, answer, failure);
      return Conclude(gateway, meter, pending, answered, failure);
    }
    ForgetBackgroundRead(gateway, pending.meter);  // overtaken by this one
    PendingRequest afterWrite = pending;
    afterWrite.kind = PendingKind::kReqUd2AfterWrite;
    const ReadPlan plan = PlanInRequestPath(gateway, afterWrite, TelegramCount(meter, gateway.multiTelegram));
    return BeginPendingRead(gateway, pending.meter, plan, afterWrite);
  }
  const bool answered = pending.kind == PendingKind::kReqUd2
                            ? AnswerFromFreshRead(gateway, meter, pending, answer)
                            : AnswerAfterWrite(gateway, meter, pending, answer, failure);
  return Conclude(gateway, meter, pending, answered, failure);
}

}  // namespace kestrel
