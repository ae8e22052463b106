#pragma once
// Builds the port an INI section describes: porttype TCP, UDP or SER (then
// sercomport RS232, RS485, MBMASTER, MBSLAVE1 or MBSLAVE2). Device paths and
// interface names come from section Main of HardwareConfig.
#include <memory>
#include <string>

#include "ports/TPort.h"
#include "ports/TSER.h"

namespace kestrel {

class ConfigStore;

// The section of the Modbus side's first link; it and the sections of the
// others, ModbusPort.NAME, read the keys framing and reconnect.
constexpr const char* kModbusSection = "ModbusPort";
bool IsModbusSection(const std::string& section);

// nullptr for a porttype or sercomport that names no known port, for a
// socket port whose allow list does not parse, and for a Modbus side whose
// framing is unknown or mbap on a serial port. Serial
// ports come back opened (or not: the caller opens again); socket ports come
// back initialised, and the caller opens them.
std::unique_ptr<TPort> CreatePort(const ConfigStore& store, const std::string& section);

// How fast the section's line carries bytes: its baud rate and the bits of a
// character; both 0 for a socket port, whose bytes take no time worth counting.
struct LineSpeed {
  int baudRate = 0;
  int characterBits = 0;
  int dataBits = 0;  // serbits and serstopbit, for the character of another parity
  int stopBits = 0;
};
LineSpeed LineSpeedOf(const ConfigStore& store, const std::string& section);

// How the section's serial line switches its RS-485 driver: rs485 kernel or
// rts, with its delays; absent, no or anything else: not at all.
Rs485Settings Rs485Of(const ConfigStore& store, const std::string& section);

}  // namespace kestrel
