#pragma once

namespace kestrel {

class ConfigStore;

// Builds and opens both ports, loads the DeviceFile and runs the main loop.
// Returns only to end the process with status 1 (the DeviceFile could not
// be loaded).
int RunGateway(const ConfigStore& store);

}  // namespace kestrel
