#pragma once
// Shared helpers for tests: temporary folders, files, the real binary run as
// a child process, and waiting for a condition with a deadline.
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace testutil {

// A fresh folder under /tmp, removed with everything in it on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

 private:
  std::string path_;
};

void WriteFile(const std::string& path, const std::string& content);
std::string ReadFile(const std::string& path);  // "" when missing
bool FileExists(const std::string& path);

// Polls condition every few milliseconds until it holds or the deadline passes.
bool WaitFor(const std::function<bool()>& condition,
             std::chrono::milliseconds deadline = std::chrono::seconds(10));

// The kestrel binary started in the background with KESTREL_ROOT=root,
// through launcher when one is given (launcher[0] runs with the rest of
// launcher and then the binary's path as its arguments); killed (SIGKILL) and
// reaped on destruction. Output goes to /dev/null.
class Gateway {
 public:
  explicit Gateway(const std::string& root, const std::vector<std::string>& launcher = {});
  ~Gateway();
  Gateway(const Gateway&) = delete;
  Gateway& operator=(const Gateway&) = delete;
  pid_t pid() const { return pid_; }
  // true while the process runs; after it ended, status() holds its exit status.
  bool Running();
  int status() const { return status_; }

 private:
  pid_t pid_ = -1;
  bool ended_ = false;
  int status_ = -1;
};

}  // namespace testutil
