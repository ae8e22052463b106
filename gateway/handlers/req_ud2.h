#pragma once
// REQ_UD2: answer for the addressed meter with one RSP_UD telegram (CI 72h,
// long header), its records read afresh from the meter's Modbus slave, or,
// for a meter with MaxAge, from its snapshot; or not at all.
#include "gateway/gateway.h"

namespace kestrel {

Handling HandleReqUd2(Gateway& gateway, const FrameBuffer& frame, Answer& answer);
// Once the read the request waited for has ended.
Handling FinishReqUd2(Gateway& gateway, const PendingRequest& pending, Answer& answer);

}  // namespace kestrel
