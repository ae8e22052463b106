#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>


#include "support/clock.h"
#include "support/logs.h"
#include "support/paths.h"
#include "support/trace_watch.h"
#include "tests/test_util.h"

using namespace kestrel;

using testutil::ReadFile;
using testutil::TempDir;
using testutil::WriteFile;

namespace {

// 13:05:07 local time and 123 456 789 ns.
void FixedClock(timespec* now) {
  struct tm local = {7, 5, 13, 6, 11, 126, 0, 0, -1, 0, nullptr};  // tm_sec first, tm_isdst -1
  now->tv_sec = mktime(&local);
  now->tv_nsec = 123456789;
}

class TraceLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("KESTREL_ROOT", dir.path().c_str(), 1);
    SetTraceClock(FixedClock);
    SetTraceByteCounter(0);
    WriteFile(RootedPath(kTraceLogPath), "old content\n");
    OpenTraceLogIfPresent();
    ASSERT_TRUE(TraceLogIsOpen());
  }
  void TearDown() override {
    CloseTraceLog();
    SetTraceClock(nullptr);
    unsetenv("KESTREL_ROOT");
  }
  std::string Trace() { return ReadFile(RootedPath(kTraceLogPath)); }

  TempDir dir;
};

const std::string kIndent(14, ' ');

TEST_F(TraceLogTest, LinesCarryTheTimeStampAndDumpsBreakAfterSixteenBytes) {
  LogTrace("M-Bus in message\n");
  EXPECT_EQ(Trace(), "13:05:07.1234 M-Bus in message\n");  // opening emptied the old content
  EXPECT_EQ(TraceByteCounter(), 14 + 17);
  uint8_t bytes[20];
  for (int i = 0; i < 20; ++i) bytes[i] = static_cast<uint8_t>(0xA0 + i);
  const std::string sixteen = "a0 a1 a2 a3 a4 a5 a6 a7 a8 a9 aa ab ac ad ae af ";
  const struct {
    int count;
    std::string expected;
  } cases[] = {
      {0, ""},
      {-3, ""},
      {5, kIndent + "a0 a1 a2 a3 a4 \n\n"},
      {16, kIndent + sixteen + "\n\n"},
      {17, kIndent + sixteen + "\n" + kIndent + "b0 \n\n"},
      {20, kIndent + sixteen + "\n" + kIndent + "b0 b1 b2 b3 \n\n"},
  };
  for (const auto& c : cases) {
    CloseTraceLog();
    WriteFile(RootedPath(kTraceLogPath), "");
    OpenTraceLogIfPresent();
    SetTraceByteCounter(0);
    DumpTrace(bytes, c.count);
    EXPECT_EQ(Trace(), c.expected) << c.count << " bytes";
    EXPECT_EQ(TraceByteCounter(), static_cast<int32_t>(c.expected.size()));
  }
}

// Which target a full trace moves to, what stands there, and tracing
// starting again are the exchange reliability/trace_rotation; here: the line
// that would pass the limit is dropped and the count starts again.
TEST_F(TraceLogTest, TheLineThatWouldPassTheLimitIsDropped) {
  LogTrace("kept\n");
  SetTraceByteCounter(kTraceRotationBytes + 1);
  LogTrace("lost\n");
  EXPECT_FALSE(TraceLogIsOpen());
  EXPECT_EQ(ReadFile(RootedPath(kTraceRotatedLogPath)), "13:05:07.1234 kept\n");
  EXPECT_EQ(TraceByteCounter(), 0);
}

// Where the trace file's folder cannot be watched (here it is not there
// yet) the loop comes to look once a second; once the folder is there the
// watch takes over, and a trace file written into it ends the wait at once.
TEST(TraceWatchTest, UnwatchedTheLoopLooksOnceASecondWatchedAtOnce) {
  TempDir dir;
  setenv("KESTREL_ROOT", dir.path().c_str(), 1);
  const auto waitedMs = [](int64_t limitMs) {
    WaitSet wait;
    WatchTraceFile(wait);
    const int64_t start = NowMs();
    wait.DueAtUs((start + limitMs) * kUsPerMs);
    wait.Wait();
    return NowMs() - start;
  };
  SwitchTraceOnIfPresent(NowMs());
  const int64_t unwatched = waitedMs(5000);
  EXPECT_GE(unwatched, kUnwatchedTraceLookMs - 1);
  EXPECT_LT(unwatched, 5000);

  WriteFile(dir / "tmp/.keep", "");
  SwitchTraceOnIfPresent(NowMs());
  WriteFile(RootedPath(kTraceLogPath), "");
  EXPECT_LT(waitedMs(5000), 4000);
  SwitchTraceOnIfPresent(NowMs());
  EXPECT_TRUE(TraceLogIsOpen());
  CloseTraceLog();
  unsetenv("KESTREL_ROOT");
}

TEST(StartupLogTest, LinesAreWrittenOnlyWhileTheLogIsOpen) {
  TempDir dir;
  setenv("KESTREL_ROOT", dir.path().c_str(), 1);
  WriteFile(dir / "tmp/.keep", "");
  LogStartup("dropped before opening\n");
  OpenStartupLog();
  LogStartup("Opening %s\n", "Modbus Port");
  CloseStartupLog();
  LogStartup("dropped after closing\n");
  EXPECT_EQ(ReadFile(RootedPath(kStartupLogPath)), "Opening Modbus Port\n");
  unsetenv("KESTREL_ROOT");
}

}  // namespace
