#pragma once
// REQ_UD2: read every record of the addressed meter from its Modbus slave
// and answer with one RSP_UD telegram (CI 72h, long header), or not at all.
#include "gateway/gateway.h"

namespace kestrel {

bool HandleReqUd2(Gateway& gateway, const FrameBuffer& frame, Answer& answer);

}  // namespace kestrel
