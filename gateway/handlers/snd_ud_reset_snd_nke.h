#pragma once
// The requests that change a meter rather than read it: SND_UD with CI 51h
// (write one value into an Object's registers), application reset (CI 50h)
// and SND_NKE (both send the meter's initialising request). Each is
// acknowledged with E5h or not answered, once its Modbus transaction has
// ended (the Finish functions).
#include "gateway/gateway.h"

namespace kestrel {

Handling HandleSndUd(Gateway& gateway, const FrameBuffer& frame, Answer& answer);
Handling HandleAppReset(Gateway& gateway, const FrameBuffer& frame, Answer& answer);
Handling HandleSndNke(Gateway& gateway, const FrameBuffer& frame, Answer& answer);

bool FinishSndUd(Gateway& gateway, const PendingRequest& pending, Answer& answer);
bool FinishAppReset(Gateway& gateway, const PendingRequest& pending, Answer& answer);
bool FinishSndNke(Gateway& gateway, const PendingRequest& pending, Answer& answer);

}  // namespace kestrel
