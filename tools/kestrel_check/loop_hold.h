#pragma once
// The longest the gateway's main loop can be kept from going round, and so
// from feeding systemd's watchdog. A request read afresh does not hold it:
// while the request waits for its reads the loop goes round, driving the
// Modbus links. What still holds it is what it does without waiting on
// anything else: the answer gap of a serial M-Bus line, and on a serial
// line with rs485 = rts each write, which lasts until its last bit has left
// the line (with the delays around it): the M-Bus answer once a round, and
// on each Modbus link one request each time the round steps the links.
// Writing the trace and the metrics file takes what the file system takes,
// and is not counted.
#include <cstdint>
#include <cstdio>
#include <vector>

#include "checks/elements.h"
#include "support/config_store.h"

namespace kestrel {

int64_t LongestLoopHoldUs(const ConfigStore& store, const std::vector<LinkModel>& links);
void PrintLoopHold(const ConfigStore& store, const std::vector<LinkModel>& links, FILE* out);

}  // namespace kestrel
