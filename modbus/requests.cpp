#include "modbus/requests.h"

#include <cstring>

#include "modbus/crc.h"
#include "modbus/function_codes.h"

namespace kestrel {
namespace {

constexpr uint16_t kInitRequestField = 0x0001;  // one register to read, or the value 1 for 06h
constexpr int kSixByteHeader = 6;               // address, function, two 16-bit fields
constexpr int kWriteHeaderLength = 7;           // ... and the byte count
constexpr int kMaxRegisterBytes = kMaxWriteRequestLength - kWriteHeaderLength - 2;

void PutHighFirst(uint8_t* out, uint16_t value) {
  out[0] = static_cast<uint8_t>(value >> 8);
  out[1] = static_cast<uint8_t>(value & 0xFF);
}

// Slave address, function code, register address and one more 16-bit field:
// the common head of every request.
void PutRequestHead(uint8_t* out, uint8_t slave, uint8_t function, uint16_t address, uint16_t field) {
  out[0] = slave;
  out[1] = function;
  PutHighFirst(out + 2, address);
  PutHighFirst(out + 4, field);
}

}  // namespace

uint16_t ModbusRegisterAddress(uint32_t registerNumber, uint32_t base) {
  return static_cast<uint16_t>(registerNumber - base);
}

int BuildReadRequest(uint8_t slave, uint8_t function, uint16_t address, uint16_t count,
                     uint8_t out[kReadRequestLength]) {
  PutRequestHead(out, slave, function, address, count);
  AppendModbusCrc(out, kSixByteHeader);
  return kReadRequestLength;
}

int BuildInitRequest(uint8_t slave, uint8_t function, uint16_t address,
                     uint8_t out[kInitRequestLength]) {
  return BuildReadRequest(slave, function, address, kInitRequestField, out);
}

int BuildWriteRequest(uint8_t slave, uint16_t address, const uint8_t* registers, int registerBytes,
                      uint8_t out[kMaxWriteRequestLength]) {
  if (registerBytes < 2 || registerBytes > kMaxRegisterBytes || registerBytes % 2 != 0) return -1;
  PutRequestHead(out, slave, kWriteMultipleRegisters, address, static_cast<uint16_t>(registerBytes / 2));
  out[kSixByteHeader] = static_cast<uint8_t>(registerBytes);
  std::memcpy(out + kWriteHeaderLength, registers, static_cast<size_t>(registerBytes));
  AppendModbusCrc(out, static_cast<uint32_t>(kWriteHeaderLength + registerBytes));
  return kWriteHeaderLength + registerBytes + 2;
}

}  // namespace kestrel
