#pragma once
// kestrel-check --status: the counters of a metrics file the gateway wrote
// ([Main] metrics_file), one line per meter, and which meters fail; then
// per Modbus link whether it is up, and its transactions per slave.
#include <cstdio>
#include <string>

namespace kestrel {

// 0 when every meter asked since its last answer answered within four
// metrics intervals; 1 when one did not, or when the file is missing, not
// the gateway's, or older than four intervals (the gateway writes no more).
int PrintStatus(const std::string& metricsFile, FILE* out);

}  // namespace kestrel
