#pragma once

#include <string>
#include <vector>

namespace kestrel {

class ConfigStore;
class TPort;
struct Gateway;

// Builds and opens both ports, loads the DeviceFile and runs the main loop.
// Returns 1 when the DeviceFile could not be loaded, and 0 after a clean
// stop (SIGTERM or SIGINT).
int RunGateway(const ConfigStore& store);

// Pieces of the bring-up a reload does again. The M-Bus port as [MBusPort]
// builds it (StartupLog lines; one that never opens when it builds none).
void OpenMBusSide(const ConfigStore& store, Gateway& gateway);
// [MBusPort] timeout, the answer gap of its line, collisions and
// multi_telegram; a reload takes them, and writes, without building the
// port again.
extern const std::vector<std::string> kMBusKeysTakenAnew;
void ReadMBusSettings(const ConfigStore& store, Gateway& gateway);
// Each meter's link; a StartupLog line for a meter without one that works.
void AssignLinks(Gateway& gateway);

// For harnesses that lend the gateway a port double: once its model is
// loaded, every meter goes over one link on port, with this time limit,
// and the background reads start.
void StartOnModbusPort(Gateway& gateway, TPort& port, int timeoutMs);

}  // namespace kestrel
