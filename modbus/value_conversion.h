#pragma once
// Register contents <-> M-Bus values. An M-Bus value is a signed 64-bit
// number held as 8 bytes, least significant first; a record carries its low
// 2 x n bytes, n being the register count of the Modbus data type.
#include <cstdint>

#include "modbus/value_number.h"

namespace kestrel {

// The Modbus data types a ModbusDT names.
enum class ModbusType : uint8_t {
  kUnknown,
  kInt16, kUint16,
  kInt32, kUint32, kMod32, kFloat,
  kInt48, kUint48, kMod48,
  kInt64, kUint64, kMod64,
};

// "INT16" ... "MOD64", case-sensitive; kUnknown for anything else.
ModbusType ModbusTypeNamed(const char* name);

// 1 to 4; 0 for kUnknown.
int RegisterCount(ModbusType type);

// Whether the type's values are reals (FLOAT) rather than integers.
bool HoldsReal(ModbusType type);

// The number M-Bus value bytes (2 x n, least significant first) carry for
// the type, as the master wrote it: INT signed, UINT unsigned, MOD signed
// (as the conversion below reads it), FLOAT the 32-bit real. An unknown
// type reads as 0.
ValueNumber NumberOfValue(const uint8_t* value, ModbusType type);

// Register and byte order of a meter's values: FloatMode for FLOAT,
// IntReverse for every other type. 0 all big-endian, 1 all little-endian,
// 2 register 1 least significant with each register high byte first, 3
// register 1 most significant with each register low byte first.
struct OrderSelectors {
  uint32_t floatMode = 0;
  uint32_t intReverse = 0;
};

// Register data (2 x n bytes as on the wire) to the 8-byte M-Bus value.
// Returns 2 x n, or -1 (nothing written) for an unknown type. A selector
// above 3 places no bytes: the value is 0.
int RegistersToMBus(uint8_t destination[8], const uint8_t* registers, ModbusType type,
                    const OrderSelectors& orders);

// M-Bus value bytes (2 x n of them, least significant first) to register
// data in wire order. Returns 2 x n, or -1 (nothing written) for an unknown
// type or a selector above 3.
int MBusToRegisters(const uint8_t* value, uint8_t* destination, ModbusType type,
                    const OrderSelectors& orders);

}  // namespace kestrel
