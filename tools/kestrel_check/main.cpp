// kestrel-check: reads the gateway's INI files and DeviceFile with the
// gateway's own code and reports everything the gateway would act on
// silently, then shows per meter the telegram it would answer with.
// Exit status: 0 clean, 1 errors, 2 warnings only.
#include <getopt.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "support/config_store.h"
#include "support/paths.h"
#include "tools/kestrel_check/attribute_checks.h"
#include "tools/kestrel_check/document_checks.h"
#include "tools/kestrel_check/elements.h"
#include "tools/kestrel_check/ini_checks.h"
#include "tools/kestrel_check/line_budget.h"
#include "tools/kestrel_check/live_read.h"
#include "tools/kestrel_check/loop_hold.h"
#include "tools/kestrel_check/number_text.h"
#include "tools/kestrel_check/report.h"
#include "tools/kestrel_check/status.h"
#include "tools/kestrel_check/telegram_preview.h"

namespace kestrel {
namespace {

struct Options {
  ConfigFiles files;
  std::string deviceFile;  // empty: /config/ + Main:FILENAME
  bool telegrams = true;
  bool help = false;
  bool read = false;   // --read: read the meters live instead of checking
  bool force = false;  // --force: read even while a gateway seems to run
  bool status = false;  // --status: the counters of a metrics file
  std::string metricsFile;  // --status: that file; empty: the configured one
  std::vector<int> addresses;  // --read: the primary addresses to read; empty: all
};

constexpr int kLargestPrimaryAddress = 255;

void PrintUsage(const char* program) {
  std::printf(
      "usage: %s [-c MAINCONFIG] [-w HARDWARECONFIG] [-d DEVICEFILE] [-q]\n"
      "       %s --read [--force] [-c MAINCONFIG] [-w HARDWARECONFIG] [-d DEVICEFILE] [PRIMARY_ADDRESS...]\n"
      "       %s --status [-c MAINCONFIG] [METRICS_FILE]\n"
      "  Checks the gateway's configuration; files default to the gateway's own\n"
      "  (below KESTREL_ROOT when set). DefaultConfig is always %s.\n"
      "  -q       findings only, no telegrams\n"
      "  --read   reads every meter (or those named) from the Modbus side as a REQ_UD2\n"
      "           would, and prints its values; not while the gateway runs\n"
      "  --force  reads even when the PidFile says that the gateway runs\n"
      "  --status prints the counters of the metrics file (default: [Main] metrics_file)\n"
      "           per meter\n"
      "  -h, --help  this text\n"
      "Exit status: 0 clean, 1 errors, 2 warnings only; --read: 0 every meter read,\n"
      "1 not, 3 the gateway seems to be running; --status: 0 every meter answers,\n"
      "1 a meter asked but not answering for 4 metrics intervals, or no current file.\n",
      program, program, program, RootedPath(kDefaultConfigPath).c_str());
}

// false on a usage error (already reported).
bool ParseOptions(int argc, char** argv, Options& options) {
  options.files = {RootedPath(kMainConfigPath), RootedPath(kHardwareConfigPath),
                   RootedPath(kDefaultConfigPath)};
  enum LongOption { kRead = 256, kForce, kStatus };
  const option longOptions[] = {{"read", no_argument, nullptr, kRead},
                                {"force", no_argument, nullptr, kForce},
                                {"status", no_argument, nullptr, kStatus},
                                {"help", no_argument, nullptr, 'h'},
                                {nullptr, 0, nullptr, 0}};
  int option;
  while ((option = getopt_long(argc, argv, "c:w:d:qh", longOptions, nullptr)) != -1) {
    switch (option) {
      case 'c': options.files.main = optarg; break;
      case 'w': options.files.hardware = optarg; break;
      case 'd': options.deviceFile = optarg; break;
      case 'q': options.telegrams = false; break;
      case 'h': options.help = true; break;
      case kRead: options.read = true; break;
      case kForce: options.force = true; break;
      case kStatus: options.status = true; break;
      default: return false;
    }
  }
  if (options.status) {
    if (optind < argc) options.metricsFile = argv[optind++];
    return optind == argc && !options.read;
  }
  for (; optind < argc; ++optind) {
    const std::string address = argv[optind];
    const unsigned long number = std::strtoul(address.c_str(), nullptr, 10);
    if (!options.read || !IsDecimalText(address) || number > kLargestPrimaryAddress) return false;
    options.addresses.push_back(static_cast<int>(number));
  }
  return options.force ? options.read : true;
}

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

std::string DeviceFilePath(const ConfigStore& store, const Options& options) {
  if (!options.deviceFile.empty()) return options.deviceFile;
  std::string fileName;
  store.GetString(fileName, "Main", "FILENAME", false, false);
  return RootedPath(std::string(kDeviceFileFolder) + fileName);
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
bool CheckDeviceFile(const CheckedFile& file, MeterModel& model, WrittenDocument& written) {
  if (file.path == RootedPath(kDeviceFileFolder)) return false;
  if (!LoadDeviceFile(file.path, model, &written)) {
    AddError(file.report, file.path, "file", "missing, unreadable or empty: the gateway ends with status 1");
    return false;
  }
  CheckDevices(file);
  return true;
}

// The configured metrics file, unless one was named.
int StatusOf(const Options& options) {
  std::string path = options.metricsFile;
  ConfigStore store(options.files.main, options.files.hardware);
  if (path.empty() && store.Load() == 0) store.GetString(path, "Main", "metrics_file", true, false);
  if (path.empty()) {
    std::printf("no metrics file: name one, or set [Main] metrics_file\n");
    return kExitErrors;
  }
  return PrintStatus(options.metricsFile.empty() ? RootedPath(path) : path, stdout);
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

void PrintTelegrams(const CheckedFile& file) {
  for (size_t meter = 0; meter < file.model.meters.size(); ++meter) {
    std::printf("\n");
    PrintMeterTelegram(file, meter, stdout);
  }
}

}  // namespace
}  // namespace kestrel

int main(int argc, char** argv) {
  using namespace kestrel;
  Options options;
  if (!ParseOptions(argc, argv, options) || options.help) {
    PrintUsage(argv[0]);
    return options.help ? kExitClean : kExitErrors;
  }
  if (options.status) return StatusOf(options);
  Report report;
  ConfigStore store(options.files.main, options.files.hardware);
  MeterModel model;
  WrittenDocument written;
  const bool configLoaded = LoadConfig(store, options.files, report);
  const std::string deviceFile = configLoaded ? DeviceFilePath(store, options) : "";
  const bool collisions = configLoaded && IsSwitchedOn(store, "MBusPort", "collisions");
  const bool multiTelegram = configLoaded && IsSwitchedOn(store, "MBusPort", "multi_telegram");
  const WritePolicy writes{configLoaded ? ReadWritesKey(store) : WritesKey::kAbsent, false};
  std::vector<LinkModel> links;
  if (configLoaded) links = CheckIniFiles(store, options.files, report);
  const CheckedFile file{deviceFile, model, written, report, multiTelegram, std::move(links), writes};
  bool deviceFileLoaded = false;
  if (configLoaded) {
    deviceFileLoaded = CheckDeviceFile(file, model, written);
    CheckWrites(store, options.files, deviceFileLoaded ? &file : nullptr, report);
  }
  if (options.read) {
    if (deviceFileLoaded) return ReadMetersLive(store, std::move(model), options.addresses, options.force, stdout);
    // Nothing to read: the findings say why.
    PrintFindings(report, stdout);
    return kExitErrors;
  }
  PrintFindings(report, stdout);
  if (options.telegrams && configLoaded) {
    std::printf("\n");
    PrintMBusFeatures(collisions, multiTelegram, writes.writes, stdout);
    PrintMonitoring(store, stdout);
    PrintStateFile(store, stdout);
  }
  if (options.telegrams) {
    PrintTelegrams(file);
    PrintBackgroundShare(file, stdout);
    if (configLoaded) PrintLoopHold(store, file.links, stdout);
  }
  std::printf("\n");
  PrintSummary(report, stdout);
  return ExitStatus(report);
}

