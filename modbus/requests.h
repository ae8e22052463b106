#pragma once
// The three Modbus requests the gateway makes, built from the DeviceFile:
// read (one per Object on REQ_UD2), write (SND_UD) and initialise (SND_NKE,
// application reset, selection). All fields high byte first, CRC last.
#include <cstdint>

#include "meter/device_file.h"

constexpr int kReadRequestLength = 8;
constexpr int kInitRequestLength = 8;
constexpr int kMaxWriteRequestLength = 17;  // a four-register write

// (register number - Base) modulo 65536.
uint16_t ModbusRegisterAddress(uint32_t registerNumber, uint64_t base);

// base: the Device's Base, already read by the caller. Returns 8.
int BuildReadRequest(Element device, uint64_t base, Element object, uint8_t out[kReadRequestLength]);

// value: the SND_UD value bytes, 2 x n of them. Returns the frame length
// 9 + 2 x n, or -1 (nothing usable in out) when the Object's type is unknown
// or the Device's selector is above 3.
int BuildWriteRequest(Element device, Element object, const uint8_t* value,
                      uint8_t out[kMaxWriteRequestLength]);

// Returns 8.
int BuildInitRequest(Element device, uint8_t out[kInitRequestLength]);

// The parity letter the Device's ComSettings asks for, or '\0' for none.
char DeviceParity(Element device);
