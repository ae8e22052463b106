#pragma once
// The whole check of a configuration: the three INI files, then the
// DeviceFile they name, read with the gateway's own code. kestrel-check
// reports it; the gateway makes the same check before it takes a changed
// configuration on SIGHUP, and refuses one with an error.
#include <string>
#include <vector>

#include "checks/elements.h"
#include "checks/ini_checks.h"
#include "checks/report.h"
#include "support/config_store.h"

namespace kestrel {

struct CheckedConfiguration {
  explicit CheckedConfiguration(const ConfigFiles& files) : store(files.main, files.hardware) {}

  ConfigStore store;
  bool configLoaded = false;      // all three INI files parsed
  bool deviceFileLoaded = false;  // and the DeviceFile they name
  std::string deviceFile;         // its path
  MeterModel model;
  WrittenDocument written;
  Report report;
  CheckedFile file{deviceFile, model, written, report, false, {}, WritesKey::kAbsent};
};

// deviceFile: the DeviceFile to check; empty for the one [Main] FILENAME names.
void CheckConfiguration(const ConfigFiles& files, const std::string& deviceFile, CheckedConfiguration& checked);

// The path of the DeviceFile [Main] FILENAME names, below KESTREL_ROOT;
// the folder itself without FILENAME.
std::string NamedDeviceFile(const ConfigStore& store);

}  // namespace kestrel
