#pragma once
// kestrel-check --status: the counters of a metrics file the gateway wrote
// ([Main] metrics_file), one line per meter, and which meters fail; then
// per Modbus link whether it is up, and its transactions per slave.
#include <cstdio>
#include <string>

namespace kestrel {

// 0 when no meter has been asked without an answer for more than four
// metrics intervals (kestrel_meter_unanswered_seconds, the gateway's
// monotonic clock); 1 when one has, or when the file is missing, not the
// gateway's, or older than four intervals (the gateway writes no more).
int PrintStatus(const std::string& metricsFile, FILE* out);

}  // namespace kestrel
