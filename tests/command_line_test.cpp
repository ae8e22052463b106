#include <gtest/gtest.h>

#include "support/paths.h"
#include "tests/test_util.h"

using testutil::FileExists;
using testutil::ReadFile;
using testutil::RunKestrel;
using testutil::TempDir;
using testutil::WriteFile;

namespace {

const std::string kUsage = std::string(KESTREL_BINARY) +
                           " usage:\n\t-v Print version number\n\t-h Print this help message\n";

class CommandLineTest : public ::testing::Test {
 protected:
  void WriteConfig(bool main = true, bool hardware = true, bool defaults = true) {
    if (main) WriteFile(root / "config/kestrel.ini", "[Main]\nFILENAME = meters.xml\n");
    if (hardware) WriteFile(root / "config/corvid_hw.ini", "[Main]\nRS232 = /dev/null\n");
    if (defaults) WriteFile(root / "config/kestrel_default.ini", "[Main]\nenable_leds = no\n");
  }
  std::string StartupLog() { return ReadFile(root / "tmp/kestrel_startup.log"); }

  TempDir root;
};

TEST_F(CommandLineTest, OptionsAreAnsweredInOrderAndNothingElseRuns) {
  WriteConfig();
  struct Case {
    std::vector<std::string> args;
    std::string out;
  } cases[] = {
      {{"-v"}, "1.01.04\n"},
      {{"-h"}, kUsage},
      {{"-v", "-h"}, "1.01.04\n" + kUsage},
      {{"-h", "-x", "-v"}, kUsage + "1.01.04\n"},
      {{"-x"}, ""},
      {{"-vh"}, ""},  // compared as whole strings
  };
  for (const Case& c : cases) {
    const testutil::RunResult result = RunKestrel(root.path(), c.args);
    EXPECT_EQ(result.status, 0) << c.args[0];
    EXPECT_EQ(result.out, c.out) << c.args[0];
  }
  // With arguments no StartupLog is written at all.
  EXPECT_FALSE(FileExists(root / "tmp/kestrel_startup.log"));
}

TEST_F(CommandLineTest, AMissingConfigFileEndsWithStatusOneBeforeOptionsAreAnswered) {
  WriteConfig(true, false, true);
  const testutil::RunResult result = RunKestrel(root.path(), {"-h"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_FALSE(FileExists(root / "tmp/kestrel_startup.log"));
}

TEST_F(CommandLineTest, WithoutArgumentsAMissingConfigFileIsReportedInTheStartupLog) {
  const struct {
    bool main, hardware, defaults;
  } cases[] = {{false, true, true}, {true, false, true}, {true, true, false}};
  for (const auto& c : cases) {
    TempDir fresh;
    WriteFile(fresh / "tmp/.keep", "");
    if (c.main) WriteFile(fresh / "config/kestrel.ini", "[Main]\n");
    if (c.hardware) WriteFile(fresh / "config/corvid_hw.ini", "[Main]\n");
    if (c.defaults) WriteFile(fresh / "config/kestrel_default.ini", "[Main]\n");
    const testutil::RunResult result = RunKestrel(fresh.path(), {});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(ReadFile(fresh / "tmp/kestrel_startup.log"), "Error: A config file is missing, exiting!\n");
  }
}

}  // namespace
