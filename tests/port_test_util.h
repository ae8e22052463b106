#pragma once
// Helpers for the port tests: a pseudo-terminal pair standing in for a
// serial line, the start-up log captured in a temporary root, and how many
// descriptors a process holds.
#include <string>

#include "tests/test_util.h"

namespace porttest {

// openpty: TSER opens slavePath; the test talks through master (non-blocking)
// and looks at the line settings and the input queue through slave.
class Pty {
 public:
  Pty();
  ~Pty();
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;
  int master = -1;
  int slave = -1;
  std::string slavePath;
  int PendingInput() const;  // bytes waiting to be read on the slave side
  void Send(const std::string& bytes) const;
  // Waits until count bytes arrived at the master end and returns them.
  std::string Receive(size_t count) const;
};

// KESTREL_ROOT pointing at a fresh folder with the start-up log open in it.
class StartupLog {
 public:
  StartupLog();
  ~StartupLog();
  std::string Text() const;
  void Restart() const;  // empties the log
  testutil::TempDir dir;
};

// Entries of /proc/<process>/fd (the process id, or "self"); -1 when missing.
int OpenDescriptorCount(const std::string& process = "self");

}  // namespace porttest
