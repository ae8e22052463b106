#include "slave_maps.h"

#include <algorithm>

#include "register_image.h"

namespace {

struct Span {
  int first = 0;
  int count = 0;
  void Cover(int address, int registers) {
    const int end = count == 0 ? address + registers : std::max(first + count, address + registers);
    first = count == 0 ? address : std::min(first, address);
    count = end - first;
  }
};

modbus_mapping_t* NewSlaveMap(const std::vector<SimValue>& values, int slave) {
  Span holding, input;
  for (const SimValue& v : values) {
    if (v.slave != slave) continue;
    Span& span = v.table == RegisterTable::kHolding ? holding : input;
    span.Cover(v.address, v.type->registers);
  }
  return modbus_mapping_new_start_address(0, 0, 0, 0, static_cast<unsigned>(holding.first), holding.count,
                                          static_cast<unsigned>(input.first), input.count);
}

bool IsMoving(const SimValue& v) { return v.step != 0 || v.stepReal != 0.0; }

}  // namespace

std::vector<SlaveMap> BuildSlaveMaps(const std::vector<SimValue>& values) {
  std::vector<SlaveMap> maps;
  for (const SimValue& v : values) {
    if (FindSlaveMap(maps, v.slave) != nullptr) continue;
    modbus_mapping_t* map = NewSlaveMap(values, v.slave);
    if (map == nullptr) {
      FreeSlaveMaps(maps);
      break;
    }
    maps.push_back({v.slave, map});
  }
  return maps;
}

void FreeSlaveMaps(std::vector<SlaveMap>& maps) {
  for (SlaveMap& entry : maps) modbus_mapping_free(entry.map);
  maps.clear();
}

modbus_mapping_t* FindSlaveMap(const std::vector<SlaveMap>& maps, int slave) {
  for (const SlaveMap& entry : maps) {
    if (entry.slave == slave) return entry.map;
  }
  return nullptr;
}

void StoreValues(const std::vector<SimValue>& values, const std::vector<SlaveMap>& maps,
                 int64_t seconds, bool movingOnly) {
  for (const SimValue& v : values) {
    if (movingOnly && !IsMoving(v)) continue;
    modbus_mapping_t* map = FindSlaveMap(maps, v.slave);
    const bool holding = v.table == RegisterTable::kHolding;
    uint16_t* table = holding ? map->tab_registers : map->tab_input_registers;
    const unsigned first = holding ? map->start_registers : map->start_input_registers;
    EncodeRegisters(v, seconds, table + (v.address - first));
  }
}
