#include "model/meter_model.h"

#include "support/digest.h"

namespace kestrel {

uint64_t DefinitionOf(const MeterModel& model, const Meter& meter) {
  uint64_t digest = Digest(&meter.definition, sizeof meter.definition);
  for (uint32_t index : meter.records) {
    if (index < model.records.size()) digest = Digest(&model.records[index].definition, sizeof(uint64_t), digest);
  }
  return digest;
}

const Meter* MeterAtAddress(const MeterModel& model, uint8_t address) {
  const int32_t index = model.firstAtAddress[address];
  return index >= 0 && static_cast<size_t>(index) < model.meters.size() ? &model.meters[index] : nullptr;
}

const WriteRange* WriteRangeOf(const MeterModel& model, const Record& record) {
  return record.writeRange < model.writeRanges.size() ? &model.writeRanges[record.writeRange] : nullptr;
}

Meter* MeterAtAddress(MeterModel& model, uint8_t address) {
  return const_cast<Meter*>(MeterAtAddress(static_cast<const MeterModel&>(model), address));
}

}  // namespace kestrel
