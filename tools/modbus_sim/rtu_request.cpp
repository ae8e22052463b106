#include "rtu_request.h"

namespace {

constexpr int kFixedRequestLength = 8;  // address, function, 2 x 16 bits, CRC
constexpr int kWriteMultipleHeader = 7;  // address, function, start, quantity, byte count
constexpr uint8_t kReadCoils = 0x01;
constexpr uint8_t kWriteSingleRegister = 0x06;
constexpr uint8_t kWriteMultipleCoils = 0x0F;
constexpr uint8_t kWriteMultipleRegisters = 0x10;
constexpr uint16_t kCrcPolynomial = 0xA001;  // 8005h reflected

uint16_t Crc16(const uint8_t* bytes, int length) {
  uint16_t crc = 0xFFFF;
  for (int i = 0; i < length; ++i) {
    crc ^= bytes[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ kCrcPolynomial : crc >> 1;
  }
  return crc;
}

}  // namespace

int ExpectedRequestLength(const uint8_t* bytes, int length) {
  if (length < 2) return 0;
  const uint8_t function = bytes[1];
  if (function >= kReadCoils && function <= kWriteSingleRegister) return kFixedRequestLength;
  if (function == kWriteMultipleCoils || function == kWriteMultipleRegisters) {
    if (length < kWriteMultipleHeader) return 0;
    return kWriteMultipleHeader + bytes[kWriteMultipleHeader - 1] + 2;
  }
  return -1;
}

bool RequestCrcValid(const uint8_t* bytes, int length) {
  if (length < 4) return false;
  const uint16_t crc = Crc16(bytes, length - 2);
  return bytes[length - 2] == (crc & 0xFF) && bytes[length - 1] == (crc >> 8);
}
