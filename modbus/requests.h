#pragma once
// The three Modbus requests the gateway makes: read (one per record on
// REQ_UD2), write (SND_UD) and initialise (SND_NKE, application reset,
// selection). All fields high byte first, CRC last.
#include <cstdint>

namespace kestrel {

constexpr int kReadRequestLength = 8;
constexpr int kInitRequestLength = 8;
constexpr int kMaxWriteRequestLength = 17;  // a four-register write
// The most registers one read (03h, 04h) may ask for: an answer carries at
// most 250 data bytes.
constexpr int kMaxReadRegisters = 125;

// (register number - base) modulo 65536.
uint16_t ModbusRegisterAddress(uint32_t registerNumber, uint32_t base);

// Slave, function code, start address and register count. Returns 8.
int BuildReadRequest(uint8_t slave, uint8_t function, uint16_t address, uint16_t count,
                     uint8_t out[kReadRequestLength]);

// Slave, function code, register and the field 0001h: one register to read
// (03h, 04h), or the value 1 to write (06h). Returns 8.
int BuildInitRequest(uint8_t slave, uint8_t function, uint16_t address,
                     uint8_t out[kInitRequestLength]);

// Write multiple registers (10h) from address: registerBytes (2 x n, at
// most 8) bytes of register data in wire order. Returns 9 + 2 x n, or -1
// for a register data length that is not 2 to 8 bytes in whole registers.
int BuildWriteRequest(uint8_t slave, uint16_t address, const uint8_t* registers, int registerBytes,
                      uint8_t out[kMaxWriteRequestLength]);

}  // namespace kestrel
