#pragma once
// A request whose answer needs its meter's link: the handler hands the link
// its work (one transaction, or a read of the meter) and what is left to do
// once that is done; the loop steps the links meanwhile, and then finishes
// the request with the handler that began it.
#include "gateway/gateway.h"

namespace kestrel {

// Begins the request's one transaction for the meter (index into the
// model's meters); kNoAnswer, traced, when the meter has no link that works.
Handling BeginPendingExchange(Gateway& gateway, size_t meter, const MeterExchange& exchange,
                              const PendingRequest& pending);
// The same for a read of the meter as the plan says.
Handling BeginPendingRead(Gateway& gateway, size_t meter, const ReadPlan& plan, const PendingRequest& pending);
// The same for the meter's line, once the transaction under way there has ended.
Handling BeginPendingClaim(Gateway& gateway, size_t meter, const PendingRequest& pending);

// The pending request's work is done: its handler finishes it, or begins
// more work (kPending again).
Handling FinishPending(Gateway& gateway, Answer& answer);

// Traced when a request is for a meter whose link does not work.
void TraceMeterWithoutLink(const Meter& meter);

}  // namespace kestrel
