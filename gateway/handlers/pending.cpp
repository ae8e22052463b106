#include "gateway/handlers/pending.h"

#include "gateway/handlers/addressing.h"
#include "gateway/handlers/req_ud2.h"
#include "gateway/handlers/snd_ud_reset_snd_nke.h"
#include "support/logs.h"

namespace kestrel {
namespace {

bool HasLink(Gateway& gateway, size_t meter) {
  if (LinkOf(gateway, meter) != nullptr) return true;
  TraceMeterWithoutLink(gateway.model.meters[meter]);
  return false;
}

Handling Pending(Gateway& gateway, const PendingRequest& pending) {
  gateway.pending = pending;
  return Handling::kPending;
}

Handling Finish(Gateway& gateway, const PendingRequest& pending, Answer& answer) {
  switch (pending.kind) {
    case PendingKind::kReqUd2:
    case PendingKind::kReqUd2Written:
    case PendingKind::kReqUd2AfterWrite:
      return FinishReqUd2(gateway, pending, answer);
    case PendingKind::kSndUd:
      return Answered(FinishSndUd(gateway, pending, answer));
    case PendingKind::kAppReset:
      return Answered(FinishAppReset(gateway, pending, answer));
    case PendingKind::kSndNke:
      return Answered(FinishSndNke(gateway, pending, answer));
    case PendingKind::kSelection:
      return Answered(FinishSelection(gateway, pending, answer));
    case PendingKind::kNone:
      break;
  }
  return Handling::kNoAnswer;
}

}  // namespace

void TraceMeterWithoutLink(const Meter& meter) {
  LogTrace("M-Bus error, %s: its Modbus link \"%s\" does not work, not answered\n", NameOf(meter).text,
           meter.modbusPort.c_str());
}

Handling BeginPendingExchange(Gateway& gateway, size_t meter, const MeterExchange& exchange,
                              const PendingRequest& pending) {
  if (!HasLink(gateway, meter)) return Handling::kNoAnswer;
  gateway.job.BeginExchange(static_cast<size_t>(gateway.meterLinks[meter]), gateway.model.meters[meter], exchange);
  return Pending(gateway, pending);
}

Handling BeginPendingRead(Gateway& gateway, size_t meter, const ReadPlan& plan, const PendingRequest& pending) {
  if (!HasLink(gateway, meter)) return Handling::kNoAnswer;
  gateway.job.BeginRead(static_cast<size_t>(gateway.meterLinks[meter]), gateway.model, gateway.model.meters[meter],
                        plan);
  return Pending(gateway, pending);
}

Handling BeginPendingClaim(Gateway& gateway, size_t meter, const PendingRequest& pending) {
  if (!HasLink(gateway, meter)) return Handling::kNoAnswer;
  gateway.job.BeginClaim(static_cast<size_t>(gateway.meterLinks[meter]));
  return Pending(gateway, pending);
}

Handling FinishPending(Gateway& gateway, Answer& answer) {
  const PendingRequest pending = gateway.pending;
  gateway.pending = PendingRequest();
  // What the job did stays readable; a handler may begin the next one.
  gateway.job.End();
  return Finish(gateway, pending, answer);
}

}  // namespace kestrel
