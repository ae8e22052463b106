// kestrel-check: reads the gateway's INI files and DeviceFile with the
// gateway's own code and reports everything the gateway would act on
// silently, then shows per meter the telegram it would answer with.
// Exit status: 0 clean, 1 errors, 2 warnings only.
#include <getopt.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "checks/configuration.h"
#include "checks/elements.h"
#include "checks/ini_checks.h"
#include "checks/line_budget.h"
#include "checks/number_text.h"
#include "checks/report.h"
#include "support/config_store.h"
#include "support/paths.h"
#include "tools/kestrel_check/live_read.h"
#include "tools/kestrel_check/loop_hold.h"
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
  CheckedConfiguration checked(options.files);
  CheckConfiguration(options.files, options.deviceFile, checked);
  const ConfigStore& store = checked.store;
  const CheckedFile& file = checked.file;
  const bool configLoaded = checked.configLoaded;
  const bool collisions = configLoaded && IsSwitchedOn(store, "MBusPort", "collisions");
  if (options.read) {
    if (checked.deviceFileLoaded) {
      return ReadMetersLive(store, std::move(checked.model), options.addresses, options.force, stdout);
    }
    // Nothing to read: the findings say why.
    PrintFindings(checked.report, stdout);
    return kExitErrors;
  }
  PrintFindings(checked.report, stdout);
  if (options.telegrams && configLoaded) {
    std::printf("\n");
    PrintMBusFeatures(collisions, file.multiTelegram, file.writes, stdout);
    PrintMonitoring(store, stdout);
    PrintStateFile(store, stdout);
  }
  if (options.telegrams) {
    PrintTelegrams(file);
    PrintBackgroundShare(file, stdout);
    if (configLoaded) PrintLoopHold(store, file.links, stdout);
  }
  std::printf("\n");
  PrintSummary(checked.report, stdout);
  return ExitStatus(checked.report);
}

