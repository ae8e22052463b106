#pragma once
// The DeviceFile as kestrel-check reports on it: the gateway's meter model
// with the texts as written, and the names of its elements in the findings:
// "Device #2 (DeviceId "heat2")", "Object #5 (DeviceId "heat2", ObjectId "1")",
// numbered in document order, and attributes as Name="value" or
// Name (missing).
#include <cstddef>
#include <string>
#include <vector>

#include "checks/report.h"
#include "modbus/framing.h"
#include "model/device_file.h"
#include "model/writes_key.h"
#include "ports/port_factory.h"

namespace kestrel {

// What the Modbus side's keys make of its line: how fast bytes go (0 baud on
// a socket port) and how requests are framed.
struct ModbusLineModel {
  LineSpeed speed;
  ModbusFraming framing = ModbusFraming::kRtu;
  int64_t frameGapUs = 0;  // frame_gap; 0: the pause after each read
  int timeoutMs = 0;       // each attempt's time limit, unless a meter has its own
};

// A Modbus link as kestrel-check sees it: [ModbusPort] (name empty) or
// [ModbusPort.NAME], its line, and whether its section builds a port.
struct LinkModel {
  std::string name;
  ModbusLineModel line;
  bool working = true;
};

struct CheckedFile {
  const std::string& path;
  const MeterModel& model;
  const WrittenDocument& written;
  Report& report;
  bool multiTelegram = false;  // [MBusPort] multi_telegram: records go into the telegrams they name
  std::vector<LinkModel> links;  // [ModbusPort] first, then those of MainConfig's link sections
  WritesKey writes = WritesKey::kAbsent;  // [MBusPort] writes: which Objects SND_UD may write
};

// The name of the meter's link as the gateway matches it (lower case):
// empty for [ModbusPort].
std::string LinkNameOf(const Meter& meter);
// The meter's link; nullptr when its ModbusPort names none.
const LinkModel* LinkOf(const CheckedFile& file, const Meter& meter);
// " on [ModbusPort.roof]" for a meter on a link of its own, else "".
std::string OnLinkText(const Meter& meter);

std::string DescribeDevice(const CheckedFile& file, size_t meter);
std::string DescribeObject(const CheckedFile& file, size_t record);
std::string DescribeAttribute(const WrittenElement& element, const char* name);

}  // namespace kestrel
