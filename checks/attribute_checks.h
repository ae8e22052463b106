#pragma once
// Checks of single Device and Object elements: every attribute the gateway
// converts is present, reads as written, fits the field it goes into, and
// does not quietly disable what it is meant for.
#include <cstddef>

#include "checks/elements.h"

namespace kestrel {

void CheckDeviceAttributes(const CheckedFile& file, size_t meter);
void CheckObjectAttributes(const CheckedFile& file, size_t record);

}  // namespace kestrel
