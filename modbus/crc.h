#pragma once
#include <cstdint>

namespace kestrel {

// Modbus CRC-16 (reflected 0xA001, start 0xFFFF) by the two classic lookup
// tables. The high byte of the result is the CRC byte that goes first on the
// wire: 01 03 00 00 00 01 gives 0x840A, and the frame ends 84 0A.
uint16_t ModbusCrc(const uint8_t* data, uint32_t length);

// Appends the CRC of data[0..length) at data[length] and data[length + 1].
void AppendModbusCrc(uint8_t* data, uint32_t length);

}  // namespace kestrel
