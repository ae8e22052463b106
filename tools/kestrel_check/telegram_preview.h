#pragma once
// Per meter, the RSP_UD the gateway would answer a REQ_UD2 with: the fixed
// header, then record by record the DIF/DIFE and VIF bytes, the Modbus read
// request behind the value, the value's length, and whether SND_UD writes it.
#include <cstddef>
#include <cstdio>

#include "checks/elements.h"

namespace kestrel {

// What the keys of [MBusPort] make of selections, telegrams and writes.
void PrintMBusFeatures(bool collisions, bool multiTelegram, WritesKey writes, FILE* out);

// With multi_telegram, one RSP_UD per telegram the meter answers in.
void PrintMeterTelegram(const CheckedFile& file, size_t meter, FILE* out);

}  // namespace kestrel
