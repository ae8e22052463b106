#pragma once
// Checks across the DeviceFile: elements the gateway never finds, meters
// that shadow each other, Objects that belong to no meter, and telegrams
// too long for one RSP_UD.
#include <string>

#include "meter/device_file.h"
#include "tools/kestrel_check/report.h"

void CheckTreeShape(const DeviceTree& tree, const std::string& file, Report& report);
void CheckDuplicateMeters(const DeviceTree& tree, const std::string& file, Report& report);
void CheckObjectOwners(const DeviceTree& tree, const std::string& file, Report& report);
void CheckTelegramLength(const DeviceTree& tree, Element device, const std::string& file,
                         Report& report);
