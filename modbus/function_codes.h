#pragma once
// The Modbus function codes the gateway sends or recognises in answers.
#include <cstdint>

namespace kestrel {

constexpr uint8_t kReadHoldingRegisters = 0x03;
constexpr uint8_t kReadInputRegisters = 0x04;
constexpr uint8_t kWriteSingleRegister = 0x06;  // an InitFunction whose echo is never accepted
constexpr uint8_t kWriteMultipleRegisters = 0x10;
constexpr uint8_t kExceptionFlag = 0x80;  // set in the function code of an exception answer

}  // namespace kestrel
