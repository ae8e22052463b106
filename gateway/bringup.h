#pragma once

namespace kestrel {

class ConfigStore;
class TPort;
struct Gateway;

// Builds and opens both ports, loads the DeviceFile and runs the main loop.
// Returns 1 when the DeviceFile could not be loaded, and 0 after a clean
// stop (SIGTERM or SIGINT).
int RunGateway(const ConfigStore& store);

// For harnesses that lend the gateway a port double: once its model is
// loaded, every meter goes over one link on port, with this time limit,
// and the background reads start.
void StartOnModbusPort(Gateway& gateway, TPort& port, int timeoutMs);

}  // namespace kestrel
