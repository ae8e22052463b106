#pragma once
// Every absolute file the gateway itself touches is named here, and here only.
// With KESTREL_ROOT set in the environment each of them is looked for below
// that folder instead of "/", so the daemon can run in a sandbox.
#include <string>

namespace kestrel {

extern const char* const kMainConfigPath;      // MainConfig
extern const char* const kHardwareConfigPath;  // HardwareConfig
extern const char* const kDefaultConfigPath;   // DefaultConfig
extern const char* const kDeviceFileFolder;    // DeviceFile = folder + Main:FILENAME
extern const char* const kStartupLogPath;
extern const char* const kTraceLogPath;
extern const char* const kTraceRotatedLogPath;   // where LogTrace moves a full trace
extern const char* const kTraceRotatedDumpPath;  // where DumpTrace moves a full trace
extern const char* const kPidFilePath;
extern const char* const kSpiDevicePath;

// The path as the gateway opens it: KESTREL_ROOT (when set) followed by path.
std::string RootedPath(const std::string& path);

}  // namespace kestrel
