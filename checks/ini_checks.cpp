#include "checks/ini_checks.h"

#include <termios.h>

#include "checks/number_text.h"
#include "links/link_settings.h"
#include "ports/TSER.h"
#include "ports/allow_list.h"
#include "ports/port_factory.h"
#include "support/paths.h"

namespace kestrel {
namespace {

constexpr const char* kPortTypes[] = {"TCP", "UDP", "SER"};
constexpr const char* kSerialInterfaces[] = {"RS232", "RS485", "MBMASTER", "MBSLAVE1", "MBSLAVE2"};
constexpr const char* kSerialPortType = "SER";
constexpr const char* kTcpPortType = "TCP";
constexpr const char* kFramings[] = {"RTU", "MBAP"};
constexpr const char* kMbapFraming = "MBAP";
constexpr const char* kModbusOnlyKeys[] = {"framing", "reconnect", "frame_gap"};
constexpr const char* kRs485Modes[] = {"KERNEL", "RTS", "NO"};
constexpr const char* kRs485Keys[] = {"rs485", "rs485_delay_before", "rs485_delay_after"};
constexpr const char* kMBusOnlyKeys[] = {"collisions", "multi_telegram", "writes"};
constexpr const char* kAnyInterface = "ALL";

template <size_t N>
bool OneOf(const std::string& value, const char* const (&names)[N]) {
  for (const char* name : names) {
    if (value == name) return true;
  }
  return false;
}

// The file a key's value comes from: MainConfig, else DefaultConfig.
const std::string& SourceOf(const ConfigStore& store, const ConfigFiles& files,
                            const std::string& section, const std::string& key) {
  std::string ignored;
  return store.GetString(ignored, section, key, false, false) == 0 ? files.main : files.defaults;
}

std::string KeyPlace(const std::string& section, const std::string& key, const std::string& value,
                     bool present) {
  return "[" + section + "] " + key + (present ? "=\"" + value + "\"" : " (missing)");
}

// A yes/no key with another value: the gateway treats it as no.
void CheckSwitch(const ConfigStore& store, const ConfigFiles& files, const std::string& section,
                 const std::string& key, const std::string& what, Report& report) {
  std::string value;
  if (store.GetString(value, section, key, true, true) != 0 || value == kSwitchedOn || value == kSwitchedOff) {
    return;
  }
  AddWarning(report, SourceOf(store, files, section, key), KeyPlace(section, key, value, true),
             "only yes switches " + what + " on: this leaves it off");
}

struct PortSection {
  const ConfigStore& store;
  const std::string& section;
  const ConfigFiles& files;
  Report& report;
  bool& buildsPort;  // cleared by a finding that leaves the side without a port
};

// Keys read from MainConfig only; the others fall back to DefaultConfig.
constexpr const char* kKeysWithoutDefault[] = {"porttype", "sercomport", "serparity"};

void KeyFinding(const PortSection& port, const std::string& key, const std::string& message, Severity severity) {
  const bool fallsBack = !OneOf(key, kKeysWithoutDefault);
  std::string value;
  const bool present = port.store.GetString(value, port.section, key, fallsBack, false) == 0;
  const std::string& file =
      fallsBack ? SourceOf(port.store, port.files, port.section, key) : port.files.main;
  const std::string place = KeyPlace(port.section, key, value, present);
  if (severity == Severity::kError) {
    AddError(port.report, file, place, message);
  } else {
    AddWarning(port.report, file, place, message);
  }
}

void KeyError(const PortSection& port, const std::string& key, const std::string& message) {
  KeyFinding(port, key, message, Severity::kError);
}

void KeyWarning(const PortSection& port, const std::string& key, const std::string& message) {
  KeyFinding(port, key, message, Severity::kWarning);
}

// What the port factory refuses: the side gets no port at all.
void NoPortError(const PortSection& port, const std::string& key, const std::string& what) {
  KeyError(port, key, what + ": the gateway builds no port for this side");
  port.buildsPort = false;
}

bool HasKey(const PortSection& port, const std::string& key, std::string& value) {
  return port.store.GetString(value, port.section, key, true, true) == 0;
}

// frame_gap: rtu or a number of ms, and only on a serial line.
void CheckFrameGap(const PortSection& port, const std::string& type) {
  std::string value;
  if (!HasKey(port, "frame_gap", value) || value.empty() || !OneOf(type, kPortTypes)) return;
  if (type != kSerialPortType) {
    KeyError(port, "frame_gap", "a serial line's silence between frames: on TCP and UDP the gateway ignores it");
  } else if (ModbusTimingOf(port.store, port.section).frameGapRefused) {
    KeyError(port, "frame_gap", "not rtu or a number of ms (0 to 1000): the line keeps its usual pauses");
  }
}

// rs485 and its delays: how the line's driver is switched, on a serial
// line only.
void CheckRs485(const PortSection& port, const std::string& type) {
  std::string value;
  for (const char* key : kRs485Keys) {
    if (HasKey(port, key, value) && OneOf(type, kPortTypes) && type != kSerialPortType) {
      KeyError(port, key, "switches an RS-485 driver: on TCP and UDP the gateway ignores it");
      return;
    }
  }
  if (HasKey(port, "rs485", value) && !value.empty() && !OneOf(value, kRs485Modes)) {
    KeyError(port, "rs485", "not kernel, rts or no: the line's direction is not switched");
  }
  for (const char* key : {"rs485_delay_before", "rs485_delay_after"}) {
    if (HasKey(port, key, value) && !IsDecimalText(value)) {
      KeyError(port, key, "not a whole number of ms: the gateway takes 0");
    }
  }
}

// framing and reconnect: what the port factory builds for the Modbus side,
// and keys that mean nothing on the other.
void CheckModbusLink(const PortSection& port, const std::string& type) {
  std::string value;
  if (!IsModbusSection(port.section)) {
    for (const char* key : kModbusOnlyKeys) {
      if (HasKey(port, key, value)) KeyWarning(port, key, "only [ModbusPort] reads this key: it has no effect here");
    }
    return;
  }
  for (const char* key : kMBusOnlyKeys) {
    if (HasKey(port, key, value)) KeyWarning(port, key, "only [MBusPort] reads this key: it has no effect here");
  }
  if (HasKey(port, "framing", value) && !value.empty()) {
    if (!OneOf(value, kFramings)) {
      NoPortError(port, "framing", "not rtu or mbap");
    } else if (value == kMbapFraming && type == kSerialPortType) {
      NoPortError(port, "framing", "mbap needs porttype TCP or UDP");
    }
  }
  CheckFrameGap(port, type);
  if (!HasKey(port, "reconnect", value)) return;
  int seconds = 0;
  port.store.GetInt(seconds, port.section, "reconnect");
  int server = 0;
  port.store.GetInt(server, port.section, "server");
  if (!IsDecimalText(value)) {
    KeyError(port, "reconnect", "not a whole number of seconds: the gateway reads " + std::to_string(seconds) +
                                    (seconds > 0 ? "" : " and never connects again"));
  } else if (seconds > 0 && (type != kTcpPortType || server != 0)) {
    KeyWarning(port, "reconnect", "only a TCP client (porttype TCP, server 0) connects again: it has no effect here");
  }
}

// The serial port's own settings builder decides; one setting at a time
// against known-good others, so that a refusal names its key.
struct LineSettings {
  int baudRate = 9600;
  int dataBits = 8;
  char parity = 'N';
  int stopBits = 1;
};

void CheckLineSetting(const PortSection& port, const std::string& key, const LineSettings& line,
                      const std::string& accepted) {
  termios settings{};
  if (!BuildSerialSettings(line.baudRate, line.dataBits, line.parity, line.stopBits, settings)) {
    KeyError(port, key, accepted + ": the port cannot open");
  }
}

void CheckLineSettings(const PortSection& port) {
  LineSettings line;
  port.store.GetInt(line.baudRate, port.section, "serbaudrate");
  CheckLineSetting(port, "serbaudrate", line,
                   "the serial port takes 300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600 "
                   "or 115200");
  line = LineSettings();
  port.store.GetInt(line.dataBits, port.section, "serbits");
  CheckLineSetting(port, "serbits", line, "data bits are 5 to 8");
  line = LineSettings();
  std::string parity;
  port.store.GetString(parity, port.section, "serparity", false, true);
  line.parity = parity.empty() ? '\0' : parity[0];
  CheckLineSetting(port, "serparity", line, "parity is E, O, N, M or S, and has no default");
  line = LineSettings();
  port.store.GetInt(line.stopBits, port.section, "serstopbit");
  CheckLineSetting(port, "serstopbit", line, "stop bits are 1 or 2");
}

void CheckSerialPort(const PortSection& port) {
  std::string interface;
  port.store.GetString(interface, port.section, "sercomport", false, true);
  if (!OneOf(interface, kSerialInterfaces)) {
    NoPortError(port, "sercomport", "not RS232, RS485, MBMASTER, MBSLAVE1 or MBSLAVE2");
    return;
  }
  std::string device;
  if (port.store.GetHardwareString(device, "Main", interface) != 0 || device.empty()) {
    AddError(port.report, port.files.hardware, KeyPlace("Main", interface, device, !device.empty()),
             "no device path for sercomport " + interface + " of [" + port.section +
                 "]: the port cannot open");
  }
  CheckLineSettings(port);
}

void CheckAllowList(const PortSection& port) {
  std::string text;
  if (port.store.GetString(text, port.section, "allow", true, false) != 0) return;
  AllowList allow;
  std::string badEntry;
  if (!ParseAllowList(text, allow, badEntry)) {
    NoPortError(port, "allow",
                "\"" + badEntry + "\" is not an IPv4 address or CIDR range (at most " +
                    std::to_string(kMaxAllowEntries) + " entries)");
  }
}

void CheckSocketPort(const PortSection& port) {
  CheckAllowList(port);
  std::string local;
  port.store.GetString(local, port.section, "localip", true, true);
  std::string interface;
  if (!local.empty() && local != kAnyInterface &&
      port.store.GetHardwareString(interface, "Main", local) != 0) {
    AddWarning(port.report, port.files.hardware, KeyPlace("Main", local, "", false),
               "no network interface for localip " + local + " of [" + port.section +
                   "]: the port binds to any local address");
  }
  int server = 0;
  port.store.GetInt(server, port.section, "server");
  std::string remote;
  port.store.GetString(remote, port.section, "remoteip", true, false);
  if (server == 0 && remote.empty()) {
    KeyError(port, "remoteip", "a client port needs a remote host: the port cannot open");
  }
}

}  // namespace

// An [Main] path key that is set must be absolute (below KESTREL_ROOT).
void CheckAbsolutePath(const ConfigStore& store, const ConfigFiles& files, const char* key, const char* otherwise,
                       Report& report) {
  std::string path;
  if (store.GetString(path, "Main", key, true, false) == 0 && !path.empty() && path[0] != '/') {
    AddError(report, SourceOf(store, files, "Main", key), KeyPlace("Main", key, path, true),
             std::string("not an absolute path: ") + otherwise);
  }
}

void CheckMainSection(const ConfigStore& store, const ConfigFiles& files, Report& report) {
  std::string fileName;
  if (store.GetString(fileName, "Main", "FILENAME", false, false) != 0 || fileName.empty()) {
    AddError(report, files.main, KeyPlace("Main", "FILENAME", fileName, !fileName.empty()),
             "names no DeviceFile: the gateway ends with status 1");
  }
  CheckSwitch(store, files, "Main", "enable_leds", "the LED panel", report);
  CheckSwitch(store, files, "Main", "events", "the journal's events", report);
  CheckAbsolutePath(store, files, "metrics_file", "the gateway writes no metrics file", report);
  CheckAbsolutePath(store, files, "state_file", "the gateway keeps no snapshots across a restart", report);
  std::string interval;
  int seconds = 0;
  store.GetInt(seconds, "Main", "metrics_interval");
  if (store.GetString(interval, "Main", "metrics_interval", true, false) == 0 &&
      (!IsDecimalText(interval) || seconds < 1 || seconds > kLongestMetricsIntervalS)) {
    AddWarning(report, SourceOf(store, files, "Main", "metrics_interval"),
               KeyPlace("Main", "metrics_interval", interval, true),
               "not a whole number of seconds from 1 to 86400: the gateway writes the metrics file every " +
                   std::to_string(MetricsIntervalS(seconds)) + " s");
  }
}

void PrintStateFile(const ConfigStore& store, FILE* out) {
  std::string path;
  store.GetString(path, "Main", "state_file", true, false);
  if (path.empty() || path[0] != '/') {
    std::fprintf(out, "[Main] state_file none: snapshots start empty after a restart\n");
  } else {
    std::fprintf(out, "[Main] state_file %s: snapshots kept across a restart\n", RootedPath(path).c_str());
  }
}

void PrintMonitoring(const ConfigStore& store, FILE* out) {
  std::fprintf(out, "[Main] events %s\n",
               IsSwitchedOn(store, "Main", "events") ? "yes: each change of state is a line on standard error"
                                                      : "no: standard error stays silent");
  std::string path;
  store.GetString(path, "Main", "metrics_file", true, false);
  int seconds = 0;
  store.GetInt(seconds, "Main", "metrics_interval");
  if (path.empty() || path[0] != '/') {
    std::fprintf(out, "[Main] metrics_file none: no metrics file\n");
  } else {
    std::fprintf(out, "[Main] metrics_file %s, written every %d s\n", RootedPath(path).c_str(),
                 MetricsIntervalS(seconds));
  }
}

void CheckMBusFeatures(const ConfigStore& store, const ConfigFiles& files, Report& report) {
  CheckSwitch(store, files, "MBusPort", "collisions", "collisions", report);
  CheckSwitch(store, files, "MBusPort", "multi_telegram", "several telegrams", report);
}

void CheckWrites(const ConfigStore& store, const ConfigFiles& files, const CheckedFile* deviceFile,
                 Report& report) {
  const WritesKey writes = ReadWritesKey(store);
  std::string value;
  const bool present = store.GetString(value, "MBusPort", "writes", true, false) == 0;
  const std::string& file = present ? SourceOf(store, files, "MBusPort", "writes") : files.main;
  const std::string place = KeyPlace("MBusPort", "writes", value, present);
  if (writes == WritesKey::kUnknown) {
    AddError(report, file, place, "not yes, listed or no: the gateway refuses every write");
    return;
  }
  if ((writes != WritesKey::kAbsent && writes != WritesKey::kYes) || deviceFile == nullptr) return;
  const MeterModel& model = deviceFile->model;
  int open = 0;
  for (size_t record = 0; record < model.records.size(); ++record) {
    const bool written = deviceFile->written.objects[record].Has("RegisterWrite");
    if (written && StandingRefusal(deviceFile->writes, model, model.records[record]) == nullptr) ++open;
  }
  if (open == 0) return;
  AddWarning(report, file, place,
             std::to_string(open) + " Object(s) with a RegisterWrite take an SND_UD from any M-Bus master: "
             "writes = listed lets through only those with Writable=\"1\"");
}

bool CheckPortSection(const ConfigStore& store, const std::string& section,
                      const ConfigFiles& files, Report& report) {
  bool buildsPort = true;
  const PortSection port{store, section, files, report, buildsPort};
  std::string type;
  store.GetString(type, section, "porttype", false, true);
  CheckModbusLink(port, type);
  CheckRs485(port, type);
  if (!OneOf(type, kPortTypes)) {
    NoPortError(port, "porttype", "not SER, TCP or UDP");
  } else if (type == kSerialPortType) {
    CheckSerialPort(port);
  } else {
    CheckSocketPort(port);
  }
  return buildsPort;
}

ModbusLineModel ModbusLineOf(const ConfigStore& store, const std::string& section) {
  std::string framing;
  store.GetString(framing, section, "framing", true, true);
  int timeoutMs = 0;
  store.GetInt(timeoutMs, section, "timeout");
  return {LineSpeedOf(store, section), framing == kMbapFraming ? ModbusFraming::kMbap : ModbusFraming::kRtu,
          ModbusTimingOf(store, section).frameGapUs, timeoutMs};
}

namespace {

LinkModel CheckLink(const ConfigStore& store, const std::string& name, const ConfigFiles& files, Report& report) {
  const std::string section = LinkSectionOf(name);
  LinkModel link{name, ModbusLineOf(store, section)};
  link.working = CheckPortSection(store, section, files, report);
  return link;
}

void ReportRefusedLink(const LinkSection& found, const ConfigFiles& files, Report& report) {
  const std::string place = "[" + LinkSectionOf(found.name) + "]";
  if (found.refusal == LinkRefusal::kName) {
    AddError(report, files.main, place,
             "a link's name is 1 to " + std::to_string(kLongestLinkName) +
                 " letters, digits, _ or -: the gateway does not use this section");
  } else {
    AddError(report, files.main, place,
             "more than " + std::to_string(kMostNamedLinks) + " Modbus links: the gateway does not use this section");
  }
}

}  // namespace

std::vector<LinkModel> CheckModbusLinks(const ConfigStore& store, const ConfigFiles& files, Report& report) {
  std::vector<LinkModel> links{CheckLink(store, "", files, report)};
  for (const LinkSection& found : LinkSectionsOf(store)) {
    if (found.refusal == LinkRefusal::kNone) {
      links.push_back(CheckLink(store, found.name, files, report));
    } else {
      ReportRefusedLink(found, files, report);
    }
  }
  return links;
}

}  // namespace kestrel
