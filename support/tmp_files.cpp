#include "support/tmp_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace kestrel {
namespace {

constexpr mode_t kNewFileMode = 0666;  // as fopen creates them; the umask applies

// A second name (a hard link) would make the file somebody else's too.
bool IsOwnRegularFile(const struct stat& status) {
  return S_ISREG(status.st_mode) && status.st_nlink == 1;
}

}  // namespace

int OpenOwnTmpFile(const std::string& path, IfMissing missing) {
  struct stat status;
  // Looked at before opening, so that a FIFO is never opened at all (its
  // reader would see the end of its input).
  if (lstat(path.c_str(), &status) == 0) {
    if (!IsOwnRegularFile(status)) return -1;
  } else if (errno == ENOENT && missing == IfMissing::kSkip) {
    return -1;
  }
  const int create = missing == IfMissing::kCreate ? O_CREAT : 0;
  const int fd = open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | create, kNewFileMode);
  if (fd < 0) return -1;
  // What was opened counts: the path may have been replaced since lstat.
  if (fstat(fd, &status) != 0 || !IsOwnRegularFile(status)) {
    close(fd);
    return -1;
  }
  return fd;
}

FILE* RewriteOwnTmpFile(const std::string& path, IfMissing missing) {
  const int fd = OpenOwnTmpFile(path, missing);
  if (fd < 0) return nullptr;
  // Emptied only now that it is known to be a regular file of ours.
  if (ftruncate(fd, 0) != 0) {
    close(fd);
    return nullptr;
  }
  FILE* stream = fdopen(fd, "w");
  if (stream == nullptr) close(fd);
  return stream;
}

FILE* AppendOwnTmpFile(const std::string& path) {
  const int fd = OpenOwnTmpFile(path, IfMissing::kCreate);
  if (fd < 0) return nullptr;
  FILE* stream = fdopen(fd, "a");
  if (stream == nullptr) close(fd);
  return stream;
}

bool ReadOwnFile(const std::string& path, size_t limit, std::string& text) {
  struct stat status;
  if (lstat(path.c_str(), &status) != 0 || !IsOwnRegularFile(status)) return false;
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  const bool own = fstat(fd, &status) == 0 && IsOwnRegularFile(status) && static_cast<size_t>(status.st_size) <= limit;
  text.clear();
  char chunk[4096];
  ssize_t n = 0;
  while (own && text.size() <= limit && (n = read(fd, chunk, sizeof chunk)) > 0) text.append(chunk, static_cast<size_t>(n));
  close(fd);
  return own && n == 0 && text.size() <= limit;
}

const char* ReplaceOwnFile(const std::string& path, const std::string& text) {
  const std::string temporary = path + ".tmp";
  errno = 0;
  const int fd = OpenOwnTmpFile(temporary, IfMissing::kCreate);
  if (fd < 0) return errno != 0 ? std::strerror(errno) : "its .tmp file is not a regular file of the gateway's own";
  int error = ftruncate(fd, 0) == 0 ? 0 : errno;
  for (size_t done = 0; error == 0 && done < text.size();) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n <= 0) error = n < 0 ? errno : EIO;
    if (n > 0) done += static_cast<size_t>(n);
  }
  if (close(fd) != 0 && error == 0) error = errno;
  const char* why = error != 0 ? std::strerror(error) : nullptr;
  if (why == nullptr && !MayReplaceTmpFile(path)) why = "a link, a FIFO or a folder stands in its place";
  if (why == nullptr && std::rename(temporary.c_str(), path.c_str()) != 0) why = std::strerror(errno);
  if (why != nullptr) unlink(temporary.c_str());
  return why;
}

bool MayReplaceTmpFile(const std::string& path) {
  struct stat status;
  if (lstat(path.c_str(), &status) != 0) return errno == ENOENT;
  return S_ISREG(status.st_mode);
}

}  // namespace kestrel
