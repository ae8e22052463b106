#include "ports/port_factory.h"

#include <strings.h>

#include <algorithm>
#include <cstring>

#include "ports/TSER.h"
#include "ports/TTCP.h"
#include "ports/TUDP.h"
#include "ports/allow_list.h"
#include "support/config_store.h"
#include "support/logs.h"

namespace kestrel {
namespace {

struct SerialInterface {
  const char* name;
  PortMode mode;
};

constexpr SerialInterface kSerialInterfaces[] = {
    {"RS232", PortMode::kRs232},          {"RS485", PortMode::kRs485},
    {"MBMASTER", PortMode::kMBusMaster},  {"MBSLAVE1", PortMode::kMBusSlave},
    {"MBSLAVE2", PortMode::kMBusSlave},
};

std::string UpperString(const ConfigStore& store, const std::string& section, const char* key, bool useDefault) {
  std::string value;
  store.GetString(value, section, key, useDefault, true);
  return value;
}

int Integer(const ConfigStore& store, const std::string& section, const char* key) {
  int value = 0;
  store.GetInt(value, section, key);
  return value;
}

// Key allow, when present; false (with a StartupLog line) for a list that
// does not parse: the side then gets no port rather than one open to all.
bool ReadAllowList(const ConfigStore& store, const std::string& section, AllowList& allow) {
  std::string text;
  if (store.GetString(text, section, "allow", true, false) != 0) return true;
  std::string badEntry;
  if (ParseAllowList(text, allow, badEntry)) return true;
  LogStartup("Error: [%s] allow: \"%s\" is not an IPv4 address or CIDR range\n", section.c_str(),
             badEntry.c_str());
  return false;
}

// What only the Modbus side reads: how requests are framed (framing) and
// how often a TCP client may connect again (reconnect). Both absent: RTU
// frames, one connect at Open.
struct ModbusKeys {
  ModbusFraming framing = ModbusFraming::kRtu;
  int reconnectSeconds = 0;
};


// false (with a StartupLog line) for a framing that is neither rtu nor mbap.
bool ReadModbusKeys(const ConfigStore& store, const std::string& section, ModbusKeys& keys) {
  const std::string framing = UpperString(store, section, "framing", true);
  if (framing == "MBAP") {
    keys.framing = ModbusFraming::kMbap;
  } else if (!framing.empty() && framing != "RTU") {
    LogStartup("Error: [%s] framing: \"%s\" is not rtu or mbap\n", section.c_str(), framing.c_str());
    return false;
  }
  const int reconnect = Integer(store, section, "reconnect");
  keys.reconnectSeconds = reconnect > 0 ? reconnect : 0;
  return true;
}

// Where a socket port's keys say it listens and what it reaches.
struct SocketEndKeys {
  std::string interfaceName;
  int localPort = 0;
  std::string remoteHost;
  int remotePort = 0;
  bool server = false;
};

// A port whose addresses were refused is still returned; its Open fails.
template <typename Port>
std::unique_ptr<TPort> InitSocketPort(std::unique_ptr<Port> port, const SocketEndKeys& ends, const AllowList& allow,
                                      ModbusFraming framing) {
  port->SetAllowList(allow);
  port->SetFraming(framing);
  port->InitSocket(ends.interfaceName, static_cast<uint16_t>(ends.localPort), ends.remoteHost,
                   static_cast<uint16_t>(ends.remotePort), ends.server);
  return port;
}

std::unique_ptr<TPort> CreateSocketPort(const ConfigStore& store, const std::string& section, bool tcp,
                                        const ModbusKeys& keys) {
  AllowList allow;
  if (!ReadAllowList(store, section, allow)) return nullptr;
  SocketEndKeys ends;
  store.GetHardwareString(ends.interfaceName, "Main", UpperString(store, section, "localip", true));
  ends.localPort = Integer(store, section, "localport");
  ends.remoteHost = UpperString(store, section, "remoteip", true);
  ends.remotePort = Integer(store, section, "remoteport");
  ends.server = Integer(store, section, "server") != 0;

  LogStartup(tcp ? "Opening TCP port\n" : "Opening UDP port\n");
  if (!tcp) return InitSocketPort(std::make_unique<TUDP>(), ends, allow, keys.framing);
  auto port = std::make_unique<TTCP>();
  port->SetReconnect(keys.reconnectSeconds);
  return InitSocketPort(std::move(port), ends, allow, keys.framing);
}

std::unique_ptr<TPort> CreateSerialPort(const ConfigStore& store, const std::string& section, PortMode mode) {
  const int baudRate = Integer(store, section, "serbaudrate");
  const int dataBits = Integer(store, section, "serbits");
  const std::string parity = UpperString(store, section, "serparity", false);
  const int stopBits = Integer(store, section, "serstopbit");
  const std::string interfaceKey = UpperString(store, section, "sercomport", false);
  std::string device;
  store.GetHardwareString(device, "Main", interfaceKey);

  auto port = std::make_unique<TSER>();
  port->InitSerial(device, baudRate, dataBits, parity.empty() ? '\0' : parity[0], stopBits, mode);
  port->SetRs485(Rs485Of(store, section));
  port->Open();
  return port;
}

}  // namespace

bool IsModbusSection(const std::string& section) {
  const size_t length = std::strlen(kModbusSection);
  return strncasecmp(section.c_str(), kModbusSection, length) == 0 &&
         (section.size() == length || section[length] == '.');
}

LineSpeed LineSpeedOf(const ConfigStore& store, const std::string& section) {
  if (UpperString(store, section, "porttype", false) != "SER") return {};
  const std::string parity = UpperString(store, section, "serparity", false);
  const int dataBits = Integer(store, section, "serbits");
  const int stopBits = Integer(store, section, "serstopbit");
  return {Integer(store, section, "serbaudrate"), CharacterBits(dataBits, parity.empty() ? 'N' : parity[0], stopBits),
          dataBits, stopBits};
}

Rs485Settings Rs485Of(const ConfigStore& store, const std::string& section) {
  const std::string mode = UpperString(store, section, "rs485", true);
  Rs485Settings settings;
  if (mode == "KERNEL") settings.mode = Rs485Mode::kKernel;
  if (mode == "RTS") settings.mode = Rs485Mode::kRts;
  settings.delayBeforeMs = std::max(0, Integer(store, section, "rs485_delay_before"));
  settings.delayAfterMs = std::max(0, Integer(store, section, "rs485_delay_after"));
  return settings;
}

std::unique_ptr<TPort> CreatePort(const ConfigStore& store, const std::string& section) {
  const std::string type = UpperString(store, section, "porttype", false);
  ModbusKeys keys;
  if (IsModbusSection(section) && !ReadModbusKeys(store, section, keys)) return nullptr;
  if (type == "TCP") return CreateSocketPort(store, section, true, keys);
  if (type == "UDP") return CreateSocketPort(store, section, false, keys);
  if (type != "SER") return nullptr;
  if (keys.framing == ModbusFraming::kMbap) {
    // An MBAP header has no place on a serial line: no device there reads it.
    LogStartup("Error: [%s] framing = mbap needs porttype TCP or UDP\n", section.c_str());
    return nullptr;
  }
  const std::string interfaceKey = UpperString(store, section, "sercomport", false);
  for (const SerialInterface& serial : kSerialInterfaces) {
    if (interfaceKey == serial.name) return CreateSerialPort(store, section, serial.mode);
  }
  return nullptr;
}

}  // namespace kestrel
