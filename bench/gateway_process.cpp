#include "bench/gateway_process.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testutil {

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
