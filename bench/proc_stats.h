#pragma once
// What /proc tells about a running process.
#include <sys/types.h>

struct ProcSample {
  double cpuSecondsStat = 0;   // utime + stime of /proc/<pid>/stat (clock ticks)
  double cpuSecondsSched = 0;  // first field of /proc/<pid>/schedstat (ns)
  double runQueueSeconds = 0;  // second field: runnable but waiting for a CPU
  long voluntarySwitches = 0;  // voluntary_ctxt_switches: the process went to sleep
  long involuntarySwitches = 0;  // nonvoluntary_ctxt_switches: taken off a CPU while it ran
};

ProcSample SampleProcess(pid_t pid);

// A "Name:  123 kB" line of /proc/<pid>/status, in kB; -1 when missing.
long ReadStatusKb(pid_t pid, const char* name);
