// The running gateway sleeps with 1 ns of timer slack, not the default 50 us.
#include <gtest/gtest.h>
#include <sys/prctl.h>

#include "support/timer_slack.h"

using namespace kestrel;

TEST(TimerSlackTest, PreciseSleepsLeaveOneNanosecondOfSlack) {
  ASSERT_GT(prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0), 1);  // the default is larger
  ASSERT_TRUE(UsePreciseSleeps());
  EXPECT_EQ(prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0), 1);
}
