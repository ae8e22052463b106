#include "gateway/bringup.h"

#include <strings.h>

#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>

#include "gateway/reads/background_reads.h"
#include "gateway/reads/state_file.h"
#include "gateway/main_loop.h"
#include "links/link_settings.h"
#include "gateway/monitoring/metrics_file.h"
#include "gateway/monitoring/service_notify.h"
#include "model/device_file.h"
#include "ports/TSER.h"
#include "ports/port_factory.h"
#include "support/config_store.h"
#include "support/events.h"
#include "support/leds.h"
#include "support/logs.h"
#include "support/paths.h"
#include "support/loop_signals.h"
#include "support/version.h"

namespace kestrel {
namespace {

// A section the factory cannot build a port from is run as a port that
// never opens: that side of the gateway stays silent.
std::unique_ptr<TPort> PortOrClosed(std::unique_ptr<TPort> port) {
  if (port != nullptr) return port;
  return std::make_unique<TSER>();
}

// [ModbusPort] first, then the links of their own.
void OpenModbusSide(const ConfigStore& store, Gateway& gateway) {
  std::vector<std::string> names = LinkNames(store);
  names.insert(names.begin(), std::string());
  for (const std::string& name : names) {
    gateway.links.push_back(std::make_unique<Link>());
    gateway.links.back()->name = name;
    OpenLink(store, *gateway.links.back());
  }
}

// The answer gap is counted in bit times of a serial M-Bus line.
int64_t MBusAnswerGapUs(const ConfigStore& store, TPort& mbusPort) {
  if (!IsSerialMode(mbusPort.GetMode())) return 0;
  int baudRate = 0;
  store.GetInt(baudRate, "MBusPort", "serbaudrate");
  return AnswerGapUs(baudRate);
}

void EnableLedsIfConfigured(const ConfigStore& store) {
  if (IsSwitchedOn(store, "Main", "enable_leds")) EnableLeds();
}

}  // namespace

// Each meter's link: [ModbusPort]'s, or the one its ModbusPort names, when
// that exists and works; a StartupLog line for a meter without one, which
// is then not answered.
void AssignLinks(Gateway& gateway) {
  gateway.meterLinks.assign(gateway.model.meters.size(), 0);
  for (size_t m = 0; m < gateway.model.meters.size(); ++m) {
    const Meter& meter = gateway.model.meters[m];
    if (meter.modbusPort.empty()) continue;
    int& link = gateway.meterLinks[m];
    link = kNoLink;
    for (size_t l = 1; l < gateway.links.size(); ++l) {
      if (strcasecmp(gateway.links[l]->name.c_str(), meter.modbusPort.c_str()) == 0) link = static_cast<int>(l);
    }
    if (link == kNoLink) {
      LogStartup("Error: meter %u (IdNumber %.16s): ModbusPort \"%s\": no section [%s.%s], the meter is not answered\n",
                 meter.primaryAddress, meter.idNumberText.text, meter.modbusPort.c_str(), kModbusSection,
                 meter.modbusPort.c_str());
    } else if (!gateway.links[static_cast<size_t>(link)]->working) {
      LogStartup("Error: meter %u (IdNumber %.16s): [%s.%s] has no working port, the meter is not answered\n",
                 meter.primaryAddress, meter.idNumberText.text, kModbusSection, meter.modbusPort.c_str());
      link = kNoLink;
    }
  }
}

void OpenMBusSide(const ConfigStore& store, Gateway& gateway) {
  LogStartup("\n\nOpening M-Bus Port\n");
  std::unique_ptr<TPort> port = CreatePort(store, "MBusPort");
  const bool open = port != nullptr && port->Open();
  LogStartup(open ? "M-Bus port is open.\n" : "Could not open M-Bus Port.\n");
  LogStartup("\n\n");
  gateway.mbusOwned = PortOrClosed(std::move(port));
  gateway.mbusPort = gateway.mbusOwned.get();
  gateway.mbusSettings = store.PortSettingsOf("MBusPort", kMBusKeysTakenAnew);
}

const std::vector<std::string> kMBusKeysTakenAnew = {"timeout", "collisions", "multi_telegram", "writes"};

void ReadMBusSettings(const ConfigStore& store, Gateway& gateway) {
  store.GetInt(gateway.mbusTimeout, "MBusPort", "timeout");
  gateway.mbusAnswerGapUs = MBusAnswerGapUs(store, *gateway.mbusPort);
  gateway.collisions = IsSwitchedOn(store, "MBusPort", "collisions");
  gateway.multiTelegram = IsSwitchedOn(store, "MBusPort", "multi_telegram");
}

namespace {

// Every meter starts at a random access number, drawn in document order.
void SeedAccessNumbers(MeterModel& model) {
  std::srand(static_cast<unsigned>(std::time(nullptr)));
  for (Meter& meter : model.meters) meter.accessNumber = static_cast<uint8_t>(std::rand() & 0xFF);
}

// After the request in progress: the metrics file one last time, the ports
// closed, and the journal told.
void StopCleanly(Gateway& gateway) {
  LogTrace("Stop requested: the ports are closed\n");
  WriteMetricsNow(gateway);
  WriteStateFileNow(gateway);
  NotifyStopping(gateway);
  for (const std::unique_ptr<Link>& link : gateway.links) link->port->Close();
  gateway.mbusPort->Close();
  LogEvent(EventPriority::kInfo, "kestrel %s stopped", kVersionText);
}

}  // namespace

void StartOnModbusPort(Gateway& gateway, TPort& port, int timeoutMs) {
  gateway.links.clear();
  gateway.links.push_back(std::make_unique<Link>());
  UsePort(*gateway.links.back(), port, timeoutMs);
  gateway.meterLinks.assign(gateway.model.meters.size(), 0);
  StartBackgroundReads(gateway);
}

int RunGateway(const ConfigStore& store) {
  std::string fileName;
  store.GetString(fileName, "Main", "FILENAME", false, false);
  const std::string deviceFilePath = RootedPath(std::string(kDeviceFileFolder) + fileName);

  Gateway gateway;
  OpenModbusSide(store, gateway);
  OpenMBusSide(store, gateway);
  ReadMBusSettings(store, gateway);
  EnableLedsIfConfigured(store);

  // Without FILENAME the path is the folder itself, never a device description.
  if (fileName.empty() || !LoadDeviceFile(deviceFilePath, gateway.model)) {
    LogStartup("Error: Config file %s not found, exiting!\n", deviceFilePath.c_str());
    return 1;
  }
  AssignLinks(gateway);
  gateway.writes = ReadWritePolicy(store, gateway.model);
  StartMonitoring(store, gateway);
  StartBackgroundReads(gateway);
  StartStateFile(store, gateway);
  CloseStartupLog();
  SeedAccessNumbers(gateway.model);
  NotifyReady(gateway);
  LogEvent(EventPriority::kInfo, "kestrel %s running: %zu meters", kVersionText, gateway.model.meters.size());

  // Large buffers: the loop state lives on the heap, for the life of the process.
  const std::unique_ptr<LoopState> loop = std::make_unique<LoopState>();
  CatchLoopSignals();
  RunMainLoop(gateway, *loop);
  StopCleanly(gateway);
  return 0;
}

}  // namespace kestrel
