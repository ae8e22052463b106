#include "gateway/handlers/addressing.h"

#include <climits>

#include "gateway/handlers/pending.h"
#include "links/meter_exchange.h"
#include "links/meter_requests.h"
#include "mbus/secondary_address.h"
#include "support/logs.h"

namespace kestrel {
namespace {

constexpr int kMinSelectionL = 0x0B;  // C, A, CI and the 8-byte address

// The meters whose own address a selection pattern matches: the first in
// document order, and how many there are, counted up to limit.
struct Matches {
  int first = -1;
  int count = 0;
};

Matches MatchingMeters(const MeterModel& model, const uint8_t* pattern, int limit) {
  Matches matches;
  for (size_t m = 0; m < model.meters.size() && matches.count < limit; ++m) {
    if (MatchSecondaryAddress(pattern, model.meters[m].secondaryAddress) != 0) continue;
    if (matches.count++ == 0) matches.first = static_cast<int>(m);
  }
  return matches;
}

// Several meters answer the selection at once, as they would on a line: the
// master hears a collision and narrows its pattern. None is selected.
bool AnswerCollision(Gateway& gateway, int matches, Answer& answer) {
  LogTrace("M-Bus selection matches %d meters: answered as a collision, none selected\n", matches);
  EndSelection(gateway);
  answer.bytes[0] = kCollisionByte;
  answer.length = 1;
  return true;
}

}  // namespace

Meter* MeterForWrite(Gateway& gateway, uint8_t a) {
  if (a == kAddressSelected && gateway.selection.selected) return SelectedMeter(gateway);
  return MeterAtAddress(gateway.model, a);
}

Handling HandleSelection(Gateway& gateway, const FrameBuffer& frame, Answer& answer) {
  if (frame.bytes[kLongL] < kMinSelectionL) {
    LogTrace("M-Bus error, selection frame too short for a secondary address\n");
    return Handling::kNoAnswer;
  }
  // Without collisions the first match is selected and the others are never
  // looked at; with them every match counts.
  const Matches matches =
      MatchingMeters(gateway.model, frame.bytes + kLongData, gateway.collisions ? INT_MAX : 1);
  if (matches.count == 0) return Handling::kNoAnswer;
  if (matches.count > 1) return Answered(AnswerCollision(gateway, matches.count, answer));
  PendingRequest pending;
  pending.kind = PendingKind::kSelection;
  pending.meter = static_cast<size_t>(matches.first);
  uint8_t request[kInitRequestLength] = {};
  const int length = InitRequestFor(gateway.model.meters[pending.meter], request);
  return BeginPendingExchange(gateway, pending.meter, {"Request to Modbus Meter\n", request, length, kOtherAttempts},
                              pending);
}

bool FinishSelection(Gateway& gateway, const PendingRequest& pending, Answer& answer) {
  const TransactionResult& result = gateway.job.Result();
  // Deliberate: "Response" even when none came; the dump then holds nothing.
  LogTrace("Response from Modbus Meter\n");
  DumpTrace(gateway.links[gateway.job.LinkIndex()]->response, ResultCode(result));

  if (!MeterAnswered(MeterRequest::kSelection, result)) {
    // Deliberate: "errno" is the transaction result; the wording is the
    // gateway's own.
    LogTrace("Modbus error, errno = %d\n", ResultCode(result));
    return false;
  }
  gateway.selection.selected = true;
  gateway.selection.meter = pending.meter;
  RestartTelegrams(gateway.model.meters[pending.meter]);
  return AnswerAck(answer);
}

}  // namespace kestrel
