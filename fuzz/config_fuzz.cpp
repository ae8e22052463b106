// The configuration store and the port factory on arbitrary INI text: the
// input is MainConfig and DefaultConfig (split at the first NUL byte), read
// with a fixed HardwareConfig whose device paths are harmless (/dev/null and
// a path that does not exist) and whose interfaces are all the loopback one.
// Socket ports are only built, never opened, and host names never resolve.
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz/fuzz_support.h"
#include "ports/port_factory.h"
#include "support/config_store.h"
#include "support/paths.h"

using namespace kestrel;

namespace {

const char kHardware[] =
    "[Main]\nRS232 = /dev/null\nRS485 = /nonexistent/kestrel-fuzz-tty\nMBMASTER = /dev/null\n"
    "MBSLAVE1 = /dev/null\nMBSLAVE2 = /nonexistent/kestrel-fuzz-tty\nALL = lo\nLAN = lo\nWAN = lo\nLO = lo\n";

const char* const kSections[] = {"ModbusPort", "MBusPort", "Main"};
const char* const kKeys[] = {"FILENAME", "enable_leds", "timeout", "porttype", "serparity", "localport"};

void WriteSplit(const uint8_t* data, size_t size, const std::string& mainPath, const std::string& defaultPath) {
  const void* nul = std::memchr(data, 0, size);
  const size_t mainSize = nul != nullptr ? static_cast<size_t>(static_cast<const uint8_t*>(nul) - data) : size;
  fuzzsupport::WriteText(mainPath, data, mainSize);
  const size_t rest = mainSize < size ? mainSize + 1 : size;
  fuzzsupport::WriteText(defaultPath, data + rest, size - rest);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& root = fuzzsupport::FuzzRoot();
  const std::string mainPath = root + "/config/main.ini";
  const std::string hardwarePath = root + "/config/hardware.ini";
  WriteSplit(data, size, mainPath, RootedPath(kDefaultConfigPath));
  fuzzsupport::WriteText(hardwarePath, reinterpret_cast<const uint8_t*>(kHardware), sizeof kHardware - 1);

  ConfigStore store(mainPath, hardwarePath);
  if (store.Load() != 0) return 0;
  for (const char* section : kSections) {
    for (const char* key : kKeys) {
      std::string value;
      int number = 0;
      store.GetString(value, section, key, true, true);
      store.GetString(value, section, key, false, false);
      store.GetInt(number, section, key);
      store.GetHardwareString(value, section, key);
    }
    std::unique_ptr<TPort> port = CreatePort(store, section);
    if (port != nullptr) {
      uint8_t buffer[16];
      int count = 0;
      // A serial port may have opened /dev/null; reading it is harmless.
      if (IsSerialMode(port->GetMode())) port->Read(buffer, sizeof buffer, count);
      port->Close();
    }
  }
  return 0;
}
