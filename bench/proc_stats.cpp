#include "bench/proc_stats.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

std::string ProcPath(pid_t pid, const char* file) {
  return "/proc/" + std::to_string(pid) + "/" + file;
}

// utime and stime are fields 14 and 15; the command name (field 2) may hold
// spaces, so counting starts after its closing parenthesis.
double StatCpuSeconds(pid_t pid) {
  FILE* file = std::fopen(ProcPath(pid, "stat").c_str(), "r");
  if (file == nullptr) return 0;
  char line[1024] = "";
  if (std::fgets(line, sizeof line, file) == nullptr) line[0] = '\0';
  std::fclose(file);
  const char* rest = std::strrchr(line, ')');
  unsigned long utime = 0, stime = 0;
  if (rest == nullptr ||
      std::sscanf(rest + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime) != 2) {
    return 0;
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Time on a CPU and time waiting in a run queue, in seconds.
void ReadSchedstat(pid_t pid, ProcSample& sample) {
  FILE* file = std::fopen(ProcPath(pid, "schedstat").c_str(), "r");
  if (file == nullptr) return;
  unsigned long long running = 0, waiting = 0;
  if (std::fscanf(file, "%llu %llu", &running, &waiting) == 2) {
    sample.cpuSecondsSched = static_cast<double>(running) / 1e9;
    sample.runQueueSeconds = static_cast<double>(waiting) / 1e9;
  }
  std::fclose(file);
}

}  // namespace

long ReadStatusKb(pid_t pid, const char* name) {
  FILE* file = std::fopen(ProcPath(pid, "status").c_str(), "r");
  if (file == nullptr) return -1;
  char line[256];
  long value = -1;
  const size_t length = std::strlen(name);
  while (std::fgets(line, sizeof line, file) != nullptr) {
    if (std::strncmp(line, name, length) == 0) {
      value = std::strtol(line + length, nullptr, 10);
      break;
    }
  }
  std::fclose(file);
  return value;
}

ProcSample SampleProcess(pid_t pid) {
  ProcSample sample;
  sample.cpuSecondsStat = StatCpuSeconds(pid);
  ReadSchedstat(pid, sample);
  sample.voluntarySwitches = ReadStatusKb(pid, "voluntary_ctxt_switches:");
  sample.involuntarySwitches = ReadStatusKb(pid, "nonvoluntary_ctxt_switches:");
  return sample;
}
