#include "support/paths.h"

#include <cstdlib>

namespace kestrel {

const char* const kMainConfigPath = "/config/kestrel.ini";
const char* const kHardwareConfigPath = "/config/corvid_hw.ini";
const char* const kDefaultConfigPath = "/config/kestrel_default.ini";
const char* const kDeviceFileFolder = "/config/";
const char* const kStartupLogPath = "/tmp/kestrel_startup.log";
const char* const kTraceLogPath = "/tmp/kestrel.log";
const char* const kTraceRotatedLogPath = "/tmp/kestrel_log.txt";
const char* const kTraceRotatedDumpPath = "/tmp/kestrel.txt";
const char* const kPidFilePath = "/tmp/kestrel.pid";
const char* const kSpiDevicePath = "/dev/spidev32765.3";

std::string RootedPath(const std::string& path) {
  const char* root = std::getenv("KESTREL_ROOT");
  if (root == nullptr) return path;
  return std::string(root) + path;
}

}  // namespace kestrel
