#include "tests/port_test_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <pty.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <stdexcept>

#include "support/logs.h"
#include "support/paths.h"

using namespace kestrel;

namespace porttest {

Pty::Pty() {
  char name[64];
  if (openpty(&master, &slave, name, nullptr, nullptr) != 0) throw std::runtime_error("openpty failed");
  slavePath = name;
  fcntl(master, F_SETFL, O_NONBLOCK);
}

Pty::~Pty() {
  close(slave);
  close(master);
}

int Pty::PendingInput() const {
  int pending = -1;
  ioctl(slave, FIONREAD, &pending);
  return pending;
}

void Pty::Send(const std::string& bytes) const {
  if (write(master, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
    throw std::runtime_error("write to the pty master failed");
  }
}

std::string Pty::Receive(size_t count) const {
  std::string received;
  testutil::WaitFor([&] {
    char chunk[256];
    const ssize_t n = read(master, chunk, sizeof chunk);
    if (n > 0) received.append(chunk, static_cast<size_t>(n));
    return received.size() >= count;
  });
  return received;
}

StartupLog::StartupLog() {
  setenv("KESTREL_ROOT", dir.path().c_str(), 1);
  testutil::WriteFile(dir / "tmp/.keep", "");
  OpenStartupLog();
}

StartupLog::~StartupLog() {
  CloseStartupLog();
  unsetenv("KESTREL_ROOT");
}

void StartupLog::Restart() const {
  CloseStartupLog();
  OpenStartupLog();
}

std::string StartupLog::Text() const { return testutil::ReadFile(RootedPath(kStartupLogPath)); }

int OpenDescriptorCount(const std::string& process) {
  DIR* folder = opendir(("/proc/" + process + "/fd").c_str());
  if (folder == nullptr) return -1;
  int count = 0;
  while (readdir(folder) != nullptr) ++count;
  closedir(folder);
  return count;
}

}  // namespace porttest
