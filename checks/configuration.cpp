#include "checks/configuration.h"

#include <unistd.h>

#include "checks/attribute_checks.h"
#include "checks/document_checks.h"
#include "checks/line_budget.h"
#include "support/paths.h"

namespace kestrel {
namespace {

bool LoadConfig(ConfigStore& store, const ConfigFiles& files, Report& report) {
  bool readable = true;
  for (const std::string& file : {files.hardware, files.main, files.defaults}) {
    if (access(file.c_str(), R_OK) == 0) continue;
    AddError(report, file, "file", "missing or unreadable: the gateway ends with status 1");
    readable = false;
  }
  if (!readable) return false;
  if (store.Load() == 0) return true;
  AddError(report, files.main, "INI files",
           "a line does not parse (iniparser names it above): the gateway ends with status 1");
  return false;
}

// The INI files' findings, in the order of their sections; the Modbus links
// they make.
std::vector<LinkModel> CheckIniFiles(const ConfigStore& store, const ConfigFiles& files, Report& report) {
  CheckMainSection(store, files, report);
  std::vector<LinkModel> links = CheckModbusLinks(store, files, report);
  CheckPortSection(store, "MBusPort", files, report);
  CheckMBusFeatures(store, files, report);
  return links;
}

void CheckDevices(const CheckedFile& file) {
  CheckDocumentShape(file);
  for (size_t meter = 0; meter < file.model.meters.size(); ++meter) CheckDeviceAttributes(file, meter);
  for (size_t record = 0; record < file.model.records.size(); ++record) CheckObjectAttributes(file, record);
  CheckDuplicateMeters(file);
  CheckBackgroundShare(file);
  CheckObjectOwners(file);
  for (size_t meter = 0; meter < file.model.meters.size(); ++meter) {
    CheckTelegramLength(file, meter);
    CheckTelegramNumbers(file, meter);
  }
}

// Without FILENAME the path is the folder itself: reported by the INI checks.
// false when there is no DeviceFile to check.
bool CheckDeviceFile(CheckedConfiguration& checked) {
  const CheckedFile& file = checked.file;
  if (file.path == RootedPath(kDeviceFileFolder)) return false;
  if (!LoadDeviceFile(file.path, checked.model, &checked.written)) {
    AddError(file.report, file.path, "file", "missing, unreadable or empty: the gateway ends with status 1");
    return false;
  }
  CheckDevices(file);
  return true;
}

}  // namespace

std::string NamedDeviceFile(const ConfigStore& store) {
  std::string fileName;
  store.GetString(fileName, "Main", "FILENAME", false, false);
  return RootedPath(std::string(kDeviceFileFolder) + fileName);
}

void CheckConfiguration(const ConfigFiles& files, const std::string& deviceFile, CheckedConfiguration& checked) {
  checked.configLoaded = LoadConfig(checked.store, files, checked.report);
  if (!checked.configLoaded) return;
  checked.deviceFile = deviceFile.empty() ? NamedDeviceFile(checked.store) : deviceFile;
  checked.file.multiTelegram = IsSwitchedOn(checked.store, "MBusPort", "multi_telegram");
  checked.file.writes = ReadWritesKey(checked.store);
  checked.file.links = CheckIniFiles(checked.store, files, checked.report);
  checked.deviceFileLoaded = CheckDeviceFile(checked);
  CheckWrites(checked.store, files, checked.deviceFileLoaded ? &checked.file : nullptr, checked.report);
}

}  // namespace kestrel
