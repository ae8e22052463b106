#pragma once
// The metrics file ([Main] metrics_file): every counter in the Prometheus
// text exposition format, for node_exporter's textfile collector, written
// from the main loop every metrics_interval and replaced in one step.
#include <cstdint>
#include <string>

#include "gateway/gateway.h"

namespace kestrel {

// The file's text as it stands now.
std::string MetricsText(const Gateway& gateway);

// Writes the file when due; a write that fails is traced (and, the first
// time, told as an event) and tried again at the next interval.
void WriteMetricsIfDue(Gateway& gateway);
// Written now, whenever it was due (at a clean stop).
void WriteMetricsNow(Gateway& gateway);
void WatchMetricsFile(const Gateway& gateway, WaitSet& wait);

}  // namespace kestrel
