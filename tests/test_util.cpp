#include "tests/test_util.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace testutil {

TempDir::TempDir() {
  char pattern[] = "/tmp/kestrel-test-XXXXXX";
  const char* made = mkdtemp(pattern);
  if (made == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = made;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void WriteFile(const std::string& path, const std::string& content) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << content;
}

std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream content;
  content << file.rdbuf();
  return content.str();
}

bool FileExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds deadline) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  while (std::chrono::steady_clock::now() < end) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return condition();
}

namespace {

pid_t Spawn(const char* binary, const std::string& root, const std::vector<std::string>& args, int stdoutFd) {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  setenv("KESTREL_ROOT", root.c_str(), 1);
  dup2(stdoutFd, STDOUT_FILENO);
  const int devNull = open("/dev/null", O_RDWR);
  dup2(devNull, STDERR_FILENO);
  dup2(devNull, STDIN_FILENO);
  // Nothing of the test's own may live on in the child: an inherited pty end
  // or socket would keep a line up that the test means to take down.
  close_range(3, ~0U, 0);
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(binary));
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  execv(binary, argv.data());
  _exit(127);
}

int ExitStatus(int waitStatus) { return WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : -1; }

}  // namespace

Gateway::Gateway(const std::string& root, const std::vector<std::string>& launcher) {
  const int devNull = open("/dev/null", O_WRONLY);
  if (launcher.empty()) {
    pid_ = Spawn(KESTREL_BINARY, root, {}, devNull);
  } else {
    std::vector<std::string> args(launcher.begin() + 1, launcher.end());
    args.push_back(KESTREL_BINARY);
    pid_ = Spawn(launcher[0].c_str(), root, args, devNull);
  }
  close(devNull);
}

Gateway::~Gateway() {
  if (Running()) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

bool Gateway::Running() {
  if (ended_ || pid_ <= 0) return false;
  int waitStatus = 0;
  if (waitpid(pid_, &waitStatus, WNOHANG) != pid_) return true;
  status_ = ExitStatus(waitStatus);
  ended_ = true;
  return false;
}

}  // namespace testutil
