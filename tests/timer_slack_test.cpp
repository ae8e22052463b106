// The running gateway sleeps with 1 ns of timer slack, not the default 50 us.
#include <gtest/gtest.h>
#include <sys/prctl.h>

#include "support/timer_slack.h"
#include "tests/test_util.h"

TEST(TimerSlackTest, PreciseSleepsLeaveOneNanosecondOfSlack) {
  ASSERT_GT(prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0), 1);  // the default is larger
  ASSERT_TRUE(UsePreciseSleeps());
  EXPECT_EQ(prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0), 1);
}

TEST(TimerSlackTest, TheRunningGatewayUsesPreciseSleeps) {
  testutil::TempDir root;
  testutil::WriteFile(root / "config/meters.xml", "<?xml version=\"1.0\"?><Meters/>");
  testutil::WriteFile(root / "config/corvid_hw.ini", "[Main]\nLO = lo\n");
  testutil::WriteFile(root / "config/kestrel_default.ini", "[Main]\n");
  testutil::WriteFile(root / "config/kestrel.ini",
                      "[Main]\nFILENAME = meters.xml\n"
                      "[ModbusPort]\nporttype = UDP\nlocalip = LO\nlocalport = 0\ntimeout = 5\n"
                      "[MBusPort]\nporttype = UDP\nlocalip = LO\nlocalport = 0\ntimeout = 0\n");
  testutil::WriteFile(root / "tmp/.keep", "");
  testutil::Gateway gateway(root.path());
  const std::string slackFile = "/proc/" + std::to_string(gateway.pid()) + "/timerslack_ns";
  // The slack is set before anything else, so once the loop's PidFile exists it is in place.
  ASSERT_TRUE(testutil::WaitFor([&] { return testutil::FileExists(root / "tmp/kestrel.pid"); }));
  ASSERT_TRUE(gateway.Running());
  EXPECT_EQ(testutil::ReadFile(slackFile), "1\n");
}
