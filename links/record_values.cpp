#include "links/record_values.h"

#include <cstring>

#include "links/meter_exchange.h"
#include "support/events.h"
#include "support/logs.h"

namespace kestrel {
namespace {

bool IsLower(const uint8_t* value, const uint8_t* than, ModbusType type) {
  return IsBelow(NumberOfValue(value, type), NumberOfValue(than, type));
}

// Once per episode: the first reading lower than the one held.
void TellBackwards(const Meter& meter, const Record& record, const uint8_t* read, const HeldCounter& held) {
  const ValueText readText = TextOf(NumberOfValue(read, record.modbusType));
  const ValueText heldText = TextOf(NumberOfValue(held.value, record.modbusType));
  const MeterName name = NameOf(meter);
  LogTrace("%s object %u went backwards: %s read, %s held\n", name.text, record.objectId, readText.text,
           heldText.text);
  LogEvent(EventPriority::kWarning, "%s object %u went backwards: %s read, %s held", name.text, record.objectId,
           readText.text, heldText.text);
}

ValueTaken Hold(const Meter& meter, const Record& record, HeldCounter& held, DataRecord& data) {
  const size_t length = static_cast<size_t>(data.valueLength);
  if (!held.read || !IsLower(data.value, held.value, record.modbusType)) {
    std::memcpy(held.value, data.value, length);
    held.read = true;
    held.backwards = false;
    return ValueTaken::kAsRead;
  }
  if (!held.backwards) TellBackwards(meter, record, data.value, held);
  held.backwards = true;
  std::memcpy(data.value, held.value, length);
  return ValueTaken::kHeld;
}

}  // namespace

ValueTaken TakeValue(const Meter& meter, const Record& record, int number, const uint8_t* registers,
                     HeldCounter* held, DataRecord& data) {
  if (HoldsNoValue(record.noValue, registers, record.modbusType, meter.reqUd2Orders)) {
    LogTrace("No value in record %d (ObjectId %u): the registers hold %s, the device's \"no value\": sent as no data\n",
             number, record.objectId, TextOf(record.noValue).text);
    MakeNoData(data);
    return ValueTaken::kNoValue;
  }
  if (!record.monotonic || held == nullptr) return ValueTaken::kAsRead;
  return Hold(meter, record, *held, data);
}

uint8_t StatusBitsOf(ValueTaken taken) { return taken == ValueTaken::kAsRead ? 0 : kStatusApplicationError; }

}  // namespace kestrel
