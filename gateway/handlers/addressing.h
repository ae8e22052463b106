#pragma once
// Which emulated meter a request is meant for: by primary address (the A
// field), as FDh for the meter chosen by secondary addressing, or chosen by
// a selection frame (CI 52h) that carries a secondary address with wildcards.
#include <cstdint>

#include "gateway/gateway.h"

namespace kestrel {

// The meter for SND_UD and application reset: the selected one for FDh while
// a meter is selected, otherwise the one at primary address a (FEh included).
Meter* MeterForWrite(Gateway& gateway, uint8_t a);

// Selection frame (CI 52h): selects the first matching meter once its
// initialising request got a Modbus response, and answers E5h.
Handling HandleSelection(Gateway& gateway, const FrameBuffer& frame, Answer& answer);
// Once the selected meter's initialising request has ended.
bool FinishSelection(Gateway& gateway, const PendingRequest& pending, Answer& answer);

}  // namespace kestrel
