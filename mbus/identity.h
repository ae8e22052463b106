#pragma once
#include <cstdint>

namespace kestrel {

// Every emulated meter reports the manufacturer code ZQX (6A38h, LSB first)
// and version 10h, whatever its DeviceFile says.
constexpr uint8_t kManufacturerZqx[2] = {0x38, 0x6A};
constexpr uint8_t kVersionByte = 0x10;

}  // namespace kestrel
