#include "ports/port_factory.h"

#include <strings.h>

#include <algorithm>

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
  int mode;
};

constexpr SerialInterface kSerialInterfaces[] = {
    {"RS232", kModeRs232},       {"RS485", kModeRs485},         {"MBMASTER", kModeMBusMaster},
    {"MBSLAVE1", kModeMBusSlave}, {"MBSLAVE2", kModeMBusSlave},
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
struct ModbusLink {
  ModbusFraming framing = ModbusFraming::kRtu;
  int reconnectSeconds = 0;
};

bool IsModbusSection(const std::string& section) { return strcasecmp(section.c_str(), kModbusSection) == 0; }

// false (with a StartupLog line) for a framing that is neither rtu nor mbap.
bool ReadModbusLink(const ConfigStore& store, const std::string& section, ModbusLink& link) {
  const std::string framing = UpperString(store, section, "framing", true);
  if (framing == "MBAP") {
    link.framing = ModbusFraming::kMbap;
  } else if (!framing.empty() && framing != "RTU") {
    LogStartup("Error: [%s] framing: \"%s\" is not rtu or mbap\n", section.c_str(), framing.c_str());
    return false;
  }
  const int reconnect = Integer(store, section, "reconnect");
  link.reconnectSeconds = reconnect > 0 ? reconnect : 0;
  return true;
}

std::unique_ptr<TPort> NewSocketPort(bool tcp, const AllowList& allow, const ModbusLink& link) {
  std::unique_ptr<TPort> port;
  if (tcp) {
    auto tcpPort = std::make_unique<TTCP>();
    tcpPort->SetAllowList(allow);
    tcpPort->SetReconnect(link.reconnectSeconds);
    port = std::move(tcpPort);
  } else {
    auto udpPort = std::make_unique<TUDP>();
    udpPort->SetAllowList(allow);
    port = std::move(udpPort);
  }
  port->SetFraming(link.framing);
  return port;
}

std::unique_ptr<TPort> CreateSocketPort(const ConfigStore& store, const std::string& section, bool tcp,
                                        const ModbusLink& link) {
  AllowList allow;
  if (!ReadAllowList(store, section, allow)) return nullptr;
  const std::string localKey = UpperString(store, section, "localip", true);
  std::string interfaceName;
  store.GetHardwareString(interfaceName, "Main", localKey);
  const int localPort = Integer(store, section, "localport");
  const std::string remoteHost = UpperString(store, section, "remoteip", true);
  const int remotePort = Integer(store, section, "remoteport");
  const int server = Integer(store, section, "server");

  std::unique_ptr<TPort> port = NewSocketPort(tcp, allow, link);
  port->SetMode(tcp ? kModeTcp : kModeUdp);
  LogStartup(tcp ? "Opening TCP port\n" : "Opening UDP port\n");
  // A port whose addresses were refused is still returned; its Open fails.
  port->InitSocket(interfaceName, static_cast<uint16_t>(localPort), remoteHost,
                   static_cast<uint16_t>(remotePort), server != 0);
  return port;
}

// rs485 kernel or rts, with its delays; absent, no or anything else: nothing.
Rs485Settings Rs485Of(const ConfigStore& store, const std::string& section) {
  const std::string mode = UpperString(store, section, "rs485", true);
  Rs485Settings settings;
  if (mode == "KERNEL") settings.mode = Rs485Mode::kKernel;
  if (mode == "RTS") settings.mode = Rs485Mode::kRts;
  settings.delayBeforeMs = std::max(0, Integer(store, section, "rs485_delay_before"));
  settings.delayAfterMs = std::max(0, Integer(store, section, "rs485_delay_after"));
  return settings;
}

std::unique_ptr<TPort> CreateSerialPort(const ConfigStore& store, const std::string& section, int mode) {
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

LineSpeed LineSpeedOf(const ConfigStore& store, const std::string& section) {
  if (UpperString(store, section, "porttype", false) != "SER") return {};
  const std::string parity = UpperString(store, section, "serparity", false);
  return {Integer(store, section, "serbaudrate"),
          CharacterBits(Integer(store, section, "serbits"), parity.empty() ? 'N' : parity[0],
                        Integer(store, section, "serstopbit"))};
}

std::unique_ptr<TPort> CreatePort(const ConfigStore& store, const std::string& section) {
  const std::string type = UpperString(store, section, "porttype", false);
  ModbusLink link;
  if (IsModbusSection(section) && !ReadModbusLink(store, section, link)) return nullptr;
  if (type == "TCP") return CreateSocketPort(store, section, true, link);
  if (type == "UDP") return CreateSocketPort(store, section, false, link);
  if (type != "SER") return nullptr;
  if (link.framing == ModbusFraming::kMbap) {
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
