#pragma once
// Checks of single Device and Object elements: every attribute the gateway
// converts is present, reads as written, fits the field it goes into, and
// does not quietly disable what it is meant for.
#include <string>

#include "meter/device_file.h"
#include "tools/kestrel_check/report.h"

void CheckDeviceAttributes(const DeviceTree& tree, Element device, const std::string& file,
                           Report& report);
void CheckObjectAttributes(const DeviceTree& tree, Element object, const std::string& file,
                           Report& report);
