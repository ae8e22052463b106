#include "modbus/requests.h"

#include "modbus/crc.h"
#include "modbus/value_conversion.h"

namespace {

constexpr uint8_t kWriteMultipleRegisters = 0x10;
constexpr uint16_t kInitRequestField = 0x0001;  // one register to read, or the value 1 for 06h
constexpr int kSixByteHeader = 6;               // address, function, two 16-bit fields
constexpr int kWriteHeaderLength = 7;           // ... and the byte count

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

uint8_t SlaveAddress(Element device) { return ReadAttribute8(device, "SlaveAddress", false); }
uint64_t DeviceBase(Element device) { return ReadAttribute64(device, "Base", true); }
const char* DataTypeName(Element object) { return AttributeText(object, "ModbusDT"); }

// Written values take their order selectors in decimal; only the low 32 bits count.
uint32_t WriteSelector(Element device, const char* name) {
  return static_cast<uint32_t>(ReadAttribute64(device, name, false));
}

}  // namespace

uint16_t ModbusRegisterAddress(uint32_t registerNumber, uint64_t base) {
  return static_cast<uint16_t>(registerNumber - static_cast<uint32_t>(base));
}

int BuildReadRequest(Element device, uint64_t base, Element object, uint8_t out[kReadRequestLength]) {
  const uint16_t address = ModbusRegisterAddress(ReadAttribute16(object, "RegisterRead", false), base);
  const uint16_t quantity = static_cast<uint16_t>(RegisterCount(DataTypeName(object)));
  PutRequestHead(out, SlaveAddress(device), ReadAttribute8(object, "ModbusFunction", false), address,
                 quantity);
  AppendModbusCrc(out, kSixByteHeader);
  return kReadRequestLength;
}

int BuildWriteRequest(Element device, Element object, const uint8_t* value,
                      uint8_t out[kMaxWriteRequestLength]) {
  const char* dataType = DataTypeName(object);
  const int registers = RegisterCount(dataType);
  const int bytes = MBusToRegisters(value, out + kWriteHeaderLength, dataType,
                                    WriteSelector(device, "FloatMode"), WriteSelector(device, "IntReverse"));
  if (bytes < 0) return -1;
  const uint16_t address =
      ModbusRegisterAddress(ReadAttribute16(object, "RegisterWrite", false), DeviceBase(device));
  PutRequestHead(out, SlaveAddress(device), kWriteMultipleRegisters, address,
                 static_cast<uint16_t>(registers));
  out[kSixByteHeader] = static_cast<uint8_t>(bytes);
  AppendModbusCrc(out, static_cast<uint32_t>(kWriteHeaderLength + bytes));
  return kWriteHeaderLength + bytes + 2;
}

int BuildInitRequest(Element device, uint8_t out[kInitRequestLength]) {
  const uint16_t address =
      ModbusRegisterAddress(ReadAttribute16(device, "InitRegister", false), DeviceBase(device));
  PutRequestHead(out, SlaveAddress(device), ReadAttribute8(device, "InitFunction", true), address,
                 kInitRequestField);
  AppendModbusCrc(out, kSixByteHeader);
  return kInitRequestLength;
}

char DeviceParity(Element device) { return AttributeText(device, "ComSettings")[0]; }
