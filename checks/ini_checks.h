#pragma once
// Checks of the INI files: what the port factory would not build, what the
// serial port's Open would refuse, names missing from HardwareConfig, and
// yes/no switches that are neither.
#include <cstdio>
#include <string>
#include <vector>

#include "checks/elements.h"
#include "checks/report.h"
#include "support/config_store.h"

namespace kestrel {

struct ConfigFiles {
  std::string main;
  std::string hardware;
  std::string defaults;
};

// FILENAME, enable_leds, events, metrics_file and metrics_interval.
void CheckMainSection(const ConfigStore& store, const ConfigFiles& files, Report& report);
// What events and metrics_file do.
void PrintMonitoring(const ConfigStore& store, FILE* out);
// [Main] state_file, as the gateway takes it.
void PrintStateFile(const ConfigStore& store, FILE* out);
// collisions and multi_telegram: yes or no.
void CheckMBusFeatures(const ConfigStore& store, const ConfigFiles& files, Report& report);
// writes: yes, listed or no; and not yes or absent while Objects with a
// RegisterWrite take any write (deviceFile: the loaded DeviceFile, or nullptr).
void CheckWrites(const ConfigStore& store, const ConfigFiles& files, const CheckedFile* deviceFile,
                 Report& report);
// false when the section builds no port (the gateway runs that side as a
// port that never opens).
bool CheckPortSection(const ConfigStore& store, const std::string& section,
                      const ConfigFiles& files, Report& report);

// A Modbus link's line as the keys of its section describe it.
ModbusLineModel ModbusLineOf(const ConfigStore& store, const std::string& section);

// [ModbusPort] and each [ModbusPort.NAME], checked as ports; a section the
// gateway takes for no link (its NAME, or beyond the 32nd) is an error.
// Returns the links the gateway makes of them, [ModbusPort] first.
std::vector<LinkModel> CheckModbusLinks(const ConfigStore& store, const ConfigFiles& files, Report& report);

}  // namespace kestrel
