// kestrel: makes Modbus RTU devices answer an M-Bus master as M-Bus meters.
#include <csignal>
#include <cstdio>
#include <cstring>

#include "gateway/bringup.h"
#include "support/config_store.h"
#include "support/logs.h"
#include "support/paths.h"
#include "support/timer_slack.h"
#include "support/version.h"

namespace kestrel {
namespace {

void PrintUsage(const char* programPath) {
  std::printf("%s usage:\n", programPath);
  std::printf("\t-v Print version number\n");
  std::printf("\t-h Print this help message\n");
}

// Options only inform; unknown arguments are ignored.
void AnswerOptions(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "-v") == 0) {
      std::printf("%s\n", kVersionText);
    } else if (std::strcmp(argv[i], "-h") == 0) {
      PrintUsage(argv[0]);
    }
    std::fflush(stdout);
  }
}

}  // namespace
}  // namespace kestrel

int main(int argc, char** argv) {
  using namespace kestrel;
  // A pipe or socket whose reader has gone must never end the gateway: its
  // write fails instead.
  std::signal(SIGPIPE, SIG_IGN);
  const bool runGateway = argc == 1;
  if (runGateway) {
    UsePreciseSleeps();
    OpenStartupLog();
  }

  // The configuration is loaded before the arguments are looked at: with a
  // missing file even -v ends with status 1.
  ConfigStore store(RootedPath(kMainConfigPath), RootedPath(kHardwareConfigPath));
  if (store.Load() != 0) {
    LogStartup("Error: A config file is missing, exiting!\n");
    return 1;
  }

  if (!runGateway) {
    AnswerOptions(argc, argv);
    return 0;
  }
  return RunGateway(store);
}
