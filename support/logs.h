#pragma once
// StartupLog records the start-up; TraceLog, switched on by creating the trace
// file, records the traffic with time stamps and hex dumps. Neither reports
// errors: a log that is not open, or a write that fails, is skipped silently.
#include <cstdint>
#include <ctime>

namespace kestrel {

void OpenStartupLog();   // mode "w"; a failure leaves the log closed
void ReopenStartupLog();  // mode "a": a reload's lines after those of the start
void CloseStartupLog();  // later start-up lines are dropped

// Opens TraceLog (mode "w", truncating it) when it is not open and the trace
// file exists. Called once per main-loop cycle.
void OpenTraceLogIfPresent();
bool TraceLogIsOpen();

void LogStartup(const char* format, ...) __attribute__((format(printf, 1, 2)));
void LogTrace(const char* format, ...) __attribute__((format(printf, 1, 2)));
void DumpTrace(const uint8_t* bytes, int count);

// Rotation happens at the first write after the counter passed this.
constexpr int32_t kTraceRotationBytes = 99999;

// Seams for tests: the real-time clock behind the time stamps, and the byte
// counter (so a rotation can be provoked without writing 100 kB).
using RealTimeClock = void (*)(timespec* now);
void SetTraceClock(RealTimeClock clock);  // nullptr restores clock_gettime
void SetTraceByteCounter(int32_t count);
int32_t TraceByteCounter();
void CloseTraceLog();

}  // namespace kestrel
