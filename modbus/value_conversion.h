#pragma once
// Register contents <-> M-Bus values. An M-Bus value is a signed 64-bit
// number held as 8 bytes, least significant first; a record carries its low
// 2 x n bytes, n being the register count of the Modbus data type.
#include <cstdint>

// "INT16" ... "MOD64", case-sensitive; 0 for anything else.
int RegisterCount(const char* modbusDT);

// Register data (2 x n bytes as on the wire) to the 8-byte M-Bus value.
// Returns 2 x n, or -1 (nothing written) for an unknown type. A selector
// above 3 places no bytes: the value is 0.
int RegistersToMBus(uint8_t destination[8], const uint8_t* registers, const char* modbusDT,
                    uint32_t floatSelector, uint32_t intSelector);

// M-Bus value bytes (2 x n of them, least significant first) to register
// data in wire order. Returns 2 x n, or -1 (nothing written) for an unknown
// type or a selector above 3.
int MBusToRegisters(const uint8_t* value, uint8_t* destination, const char* modbusDT,
                    uint32_t floatSelector, uint32_t intSelector);

// Two hexadecimal characters (either case) to one byte, or -1.
int HexPair(char high, char low);
