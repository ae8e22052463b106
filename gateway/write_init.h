#pragma once
// The requests that change a meter rather than read it: SND_UD with CI 51h
// (write one value into an Object's registers), application reset (CI 50h)
// and SND_NKE (both send the meter's initialising request). Each is
// acknowledged with E5h or not answered.
#include "gateway/gateway.h"

namespace kestrel {

bool HandleSndUd(Gateway& gateway, const FrameBuffer& frame, Answer& answer);
bool HandleAppReset(Gateway& gateway, const FrameBuffer& frame, Answer& answer);
bool HandleSndNke(Gateway& gateway, const FrameBuffer& frame, Answer& answer);

}  // namespace kestrel
