#pragma once
// Per meter, the RSP_UD the gateway would answer a REQ_UD2 with: the fixed
// header, then record by record the DIF/DIFE and VIF bytes, the Modbus read
// request behind the value and the value's length.
#include <cstddef>
#include <cstdio>

#include "tools/kestrel_check/elements.h"

namespace kestrel {

// What the two switches of [MBusPort] make of selections and telegrams.
void PrintMBusFeatures(bool collisions, bool multiTelegram, FILE* out);

// With multi_telegram, one RSP_UD per telegram the meter answers in.
void PrintMeterTelegram(const CheckedFile& file, size_t meter, FILE* out);

}  // namespace kestrel
