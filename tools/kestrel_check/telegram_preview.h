#pragma once
// Per meter, the RSP_UD the gateway would answer a REQ_UD2 with: the fixed
// header, then record by record the DIF/DIFE and VIF bytes, the Modbus read
// request behind the value and the value's length.
#include <cstdio>

#include "meter/device_file.h"

void PrintMeterTelegram(const DeviceTree& tree, Element device, FILE* out);
