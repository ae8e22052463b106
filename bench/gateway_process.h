#pragma once
// The kestrel binary as the benchmarks run it: in the background, below a
// sandbox root.
#include <sys/types.h>

#include <string>
#include <vector>

namespace testutil {

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
