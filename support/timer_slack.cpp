#include "support/timer_slack.h"

#include <sys/prctl.h>

namespace kestrel {
namespace {
constexpr unsigned long kTimerSlackNs = 1;
}

bool UsePreciseSleeps() { return prctl(PR_SET_TIMERSLACK, kTimerSlackNs, 0, 0, 0) == 0; }

}  // namespace kestrel
