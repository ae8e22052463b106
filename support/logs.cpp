#include "support/logs.h"

#include <sys/stat.h>

#include <cstdarg>
#include <cstdio>
#include <string>

#include "support/events.h"
#include "support/paths.h"
#include "support/tmp_files.h"

namespace kestrel {
namespace {

FILE* gStartupLog = nullptr;
FILE* gTraceLog = nullptr;
int32_t gTraceBytes = 0;
bool gTraceLeftAlone = false;  // told as an event; told again only after it changed

constexpr int kDumpBytesPerLine = 16;
constexpr const char* kDumpIndent = "              ";  // the width of the time stamp

void RealClock(timespec* now) { clock_gettime(CLOCK_REALTIME, now); }
RealTimeClock gClock = RealClock;

void AddWritten(int written) {
  if (written > 0) gTraceBytes += written;
}

// Every write lands at the file's current end, even if someone truncated it.
void SeekToEnd() {
  std::fseek(gTraceLog, 0, SEEK_SET);
  std::fseek(gTraceLog, 0, SEEK_END);
}

// A full trace is closed and moved aside; tracing resumes only when somebody
// creates the trace file again. Returns true when it rotated.
bool RotateIfFull(const char* target) {
  if (gTraceBytes <= kTraceRotationBytes) return false;
  gTraceBytes = 0;
  std::fclose(gTraceLog);
  gTraceLog = nullptr;
  // A target that is not a regular file is left alone; the full trace then
  // stays, to be emptied when tracing is switched on again by the next cycle.
  const std::string targetPath = RootedPath(target);
  if (MayReplaceTmpFile(targetPath)) {
    std::rename(RootedPath(kTraceLogPath).c_str(), targetPath.c_str());
  } else {
    LogEvent(EventPriority::kWarning, "full trace not moved: %s is not a regular file, left alone", targetPath.c_str());
  }
  return true;
}

}  // namespace

void OpenStartupLog() {
  if (gStartupLog != nullptr) return;
  gStartupLog = RewriteOwnTmpFile(RootedPath(kStartupLogPath), IfMissing::kCreate);
}

void ReopenStartupLog() {
  if (gStartupLog != nullptr) return;
  gStartupLog = AppendOwnTmpFile(RootedPath(kStartupLogPath));
}

void CloseStartupLog() {
  if (gStartupLog == nullptr) return;
  std::fclose(gStartupLog);
  gStartupLog = nullptr;
}

void OpenTraceLogIfPresent() {
  if (gTraceLog != nullptr) return;
  const std::string path = RootedPath(kTraceLogPath);
  gTraceLog = RewriteOwnTmpFile(path, IfMissing::kSkip);
  if (!EventsOn()) return;
  struct stat status;
  const bool leftAlone = gTraceLog == nullptr && lstat(path.c_str(), &status) == 0;
  if (leftAlone && !gTraceLeftAlone) {
    LogEvent(EventPriority::kWarning, "trace file %s left alone: not a regular file of the gateway's own",
             path.c_str());
  }
  gTraceLeftAlone = leftAlone;
}

bool TraceLogIsOpen() { return gTraceLog != nullptr; }

void CloseTraceLog() {
  if (gTraceLog == nullptr) return;
  std::fclose(gTraceLog);
  gTraceLog = nullptr;
}

void LogStartup(const char* format, ...) {
  if (gStartupLog == nullptr) return;
  va_list args;
  va_start(args, format);
  std::vfprintf(gStartupLog, format, args);
  va_end(args);
  std::fflush(gStartupLog);
}

void LogTrace(const char* format, ...) {
  if (gTraceLog == nullptr) return;
  SeekToEnd();
  if (RotateIfFull(kTraceRotatedLogPath)) return;

  timespec now{};
  gClock(&now);
  struct tm local {};
  localtime_r(&now.tv_sec, &local);
  AddWritten(std::fprintf(gTraceLog, "%02d:%02d:%02d.%04ld ", local.tm_hour, local.tm_min,
                          local.tm_sec, static_cast<long>(now.tv_nsec / 100000)));

  va_list args;
  va_start(args, format);
  AddWritten(std::vfprintf(gTraceLog, format, args));
  va_end(args);
  std::fflush(gTraceLog);
}

void DumpTrace(const uint8_t* bytes, int count) {
  if (count <= 0 || gTraceLog == nullptr) return;
  SeekToEnd();
  if (RotateIfFull(kTraceRotatedDumpPath)) return;

  AddWritten(std::fprintf(gTraceLog, "%s", kDumpIndent));
  for (int i = 0; i < count; ++i) {
    if (i > 0 && i % kDumpBytesPerLine == 0) AddWritten(std::fprintf(gTraceLog, "\n%s", kDumpIndent));
    AddWritten(std::fprintf(gTraceLog, "%02x ", bytes[i]));
  }
  AddWritten(std::fprintf(gTraceLog, "\n\n"));
  std::fflush(gTraceLog);
}

void SetTraceClock(RealTimeClock clock) { gClock = clock != nullptr ? clock : RealClock; }
void SetTraceByteCounter(int32_t count) { gTraceBytes = count; }
int32_t TraceByteCounter() { return gTraceBytes; }

}  // namespace kestrel
