#pragma once
// kestrel-check --read: reads meters from the configured Modbus side, exactly
// as the gateway reads them for a REQ_UD2 (the same requests, blocks,
// transaction, attempts and pauses), and prints per meter what an M-Bus
// master would get: the header fields and every record's value in the unit
// its VIF names, with the Modbus exchanges behind them, or which record
// failed and why.
#include <cstdio>
#include <vector>

#include "model/meter_model.h"
#include "support/config_store.h"

namespace kestrel {

// Exit statuses of --read besides 0 (every meter read) and 1 (not).
constexpr int kExitGatewayRunning = 3;

// Reads the meters at addresses (every meter of the model, in document
// order, when empty). Unless force, it does nothing when the PidFile says
// that a gateway runs (and would fight it for the line).
int ReadMetersLive(const ConfigStore& store, MeterModel model, const std::vector<int>& addresses, bool force,
                   FILE* out);

}  // namespace kestrel
