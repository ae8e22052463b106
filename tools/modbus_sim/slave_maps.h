#pragma once
// One libmodbus register mapping per simulated slave, covering the span of
// registers its values use in each table; a request outside that span gets
// the exception "illegal data address" from libmodbus.
#include <modbus/modbus.h>

#include <cstdint>
#include <vector>

#include "register_file.h"

struct SlaveMap {
  int slave;
  modbus_mapping_t* map;
};

// nullptr entries are never returned: on allocation failure the list is empty.
std::vector<SlaveMap> BuildSlaveMaps(const std::vector<SimValue>& values);
void FreeSlaveMaps(std::vector<SlaveMap>& maps);
modbus_mapping_t* FindSlaveMap(const std::vector<SlaveMap>& maps, int slave);

// Writes the values as they stand after the given seconds of run time; with
// movingOnly just those with an increment, so that writes from the master to
// fixed values stay.
void StoreValues(const std::vector<SimValue>& values, const std::vector<SlaveMap>& maps,
                 int64_t seconds, bool movingOnly);
