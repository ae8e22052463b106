#include "gateway/bringup.h"

#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>

#include "gateway/background_reads.h"
#include "gateway/main_loop.h"
#include "gateway/modbus_timing.h"
#include "gateway/service_notify.h"
#include "model/device_file.h"
#include "ports/TSER.h"
#include "ports/port_factory.h"
#include "support/config_store.h"
#include "support/events.h"
#include "support/leds.h"
#include "support/logs.h"
#include "support/paths.h"
#include "support/version.h"

namespace kestrel {
namespace {

// A section the factory cannot build a port from is run as a port that
// never opens: that side of the gateway stays silent.
std::unique_ptr<TPort> PortOrClosed(std::unique_ptr<TPort> port) {
  if (port != nullptr) return port;
  return std::make_unique<TSER>();
}

std::unique_ptr<TPort> OpenModbusSide(const ConfigStore& store, Gateway& gateway) {
  LogStartup("Opening Modbus Port\n");
  std::unique_ptr<TPort> port = CreatePort(store, kModbusSection);
  store.GetInt(gateway.mbusTimeout, "MBusPort", "timeout");
  store.GetInt(gateway.modbus.timeoutMs, "ModbusPort", "timeout");
  const bool open = port != nullptr && port->Open();
  LogStartup(open ? "Modbus Port is open.\n" : "Could not open Modbus Port.\n");
  return PortOrClosed(std::move(port));
}

std::unique_ptr<TPort> OpenMBusSide(const ConfigStore& store) {
  LogStartup("\n\nOpening M-Bus Port\n");
  std::unique_ptr<TPort> port = CreatePort(store, "MBusPort");
  const bool open = port != nullptr && port->Open();
  LogStartup(open ? "M-Bus port is open.\n" : "Could not open M-Bus Port.\n");
  LogStartup("\n\n");
  return PortOrClosed(std::move(port));
}

// A serial Modbus line: how long a character takes, and with frame_gap the
// silence before every request.
void ReadModbusTiming(const ConfigStore& store, Gateway& gateway) {
  const ModbusTiming timing = ModbusTimingOf(store);
  gateway.modbus.byteTimeUs = timing.byteTimeUs;
  gateway.modbus.frameGapUs = timing.frameGapUs;
  if (timing.frameGapRefused) {
    LogStartup("Error: [%s] frame_gap: \"%s\" is not rtu or a number of ms: the line keeps its usual pauses\n",
               kModbusSection, timing.frameGapText.c_str());
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

// What the M-Bus side does beyond answering each request on its own; both
// off unless switched on (see the README for why).
void ReadMBusFeatures(const ConfigStore& store, Gateway& gateway) {
  gateway.collisions = IsSwitchedOn(store, "MBusPort", "collisions");
  gateway.multiTelegram = IsSwitchedOn(store, "MBusPort", "multi_telegram");
}

// Every meter starts at a random access number, drawn in document order.
void SeedAccessNumbers(MeterModel& model) {
  std::srand(static_cast<unsigned>(std::time(nullptr)));
  for (Meter& meter : model.meters) meter.accessNumber = static_cast<uint8_t>(std::rand() & 0xFF);
}

}  // namespace

int RunGateway(const ConfigStore& store) {
  std::string fileName;
  store.GetString(fileName, "Main", "FILENAME", false, false);
  const std::string deviceFilePath = RootedPath(std::string(kDeviceFileFolder) + fileName);

  Gateway gateway;
  const std::unique_ptr<TPort> modbusPort = OpenModbusSide(store, gateway);
  const std::unique_ptr<TPort> mbusPort = OpenMBusSide(store);
  gateway.modbus.port = modbusPort.get();
  ReadModbusTiming(store, gateway);
  gateway.mbusPort = mbusPort.get();
  gateway.mbusAnswerGapUs = MBusAnswerGapUs(store, *mbusPort);
  EnableLedsIfConfigured(store);
  ReadMBusFeatures(store, gateway);

  // Without FILENAME the path is the folder itself, never a device description.
  if (fileName.empty() || !LoadDeviceFile(deviceFilePath, gateway.model)) {
    LogStartup("Error: Config file %s not found, exiting!\n", deviceFilePath.c_str());
    return 1;
  }
  gateway.writes = ReadWritePolicy(store, gateway.model);
  StartMonitoring(store, gateway);
  CloseStartupLog();
  SeedAccessNumbers(gateway.model);
  StartBackgroundReads(gateway);
  NotifyReady(gateway);
  LogEvent(EventPriority::kInfo, "kestrel %s running: %zu meters", kVersionText, gateway.model.meters.size());

  // Large buffers: the loop state lives on the heap, for the life of the process.
  const std::unique_ptr<LoopState> loop = std::make_unique<LoopState>();
  RunMainLoop(gateway, *loop);
}

}  // namespace kestrel
