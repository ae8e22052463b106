#include "links/record_values.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "mbus/vif_exponent.h"

#include "links/meter_exchange.h"
#include "support/events.h"
#include "support/logs.h"

namespace kestrel {
namespace {

constexpr long double kTen = 10.0L;

long double AsReal(const ValueNumber& number) {
  if (number.isReal) return number.real;
  const auto magnitude = static_cast<long double>(number.magnitude);
  return number.negative ? -magnitude : magnitude;
}

// The VIF's exponent field as data sends it (0 for a VIB without one).
int ExponentOf(const DataRecord& data) {
  const ExponentField field = FindExponentField(data.vib, data.vibLength);
  if (field.at < 0) return 0;
  const uint8_t byte = data.vibByteAt == field.at ? data.vibByte : data.vib[field.at];
  return byte & field.mask;
}

// Compared as the master reads them: with their exponents, when a scale moved one.
bool IsLower(const DataRecord& data, const HeldCounter& held, ModbusType type) {
  const ValueNumber read = NumberOfValue(data.value, type);
  const ValueNumber kept = NumberOfValue(held.value, type);
  const int shift = ExponentOf(data) - held.exponent;
  if (shift == 0) return IsBelow(read, kept);
  return AsReal(read) * std::pow(kTen, shift) < AsReal(kept);
}

void Keep(HeldCounter& held, const DataRecord& data) {
  std::memcpy(held.value, data.value, static_cast<size_t>(data.valueLength));
  held.exponent = ExponentOf(data);
  held.vibByteAt = data.vibByteAt;
  held.vibByte = data.vibByte;
}

void Restore(DataRecord& data, const HeldCounter& held) {
  std::memcpy(data.value, held.value, static_cast<size_t>(data.valueLength));
  data.vibByteAt = held.vibByteAt;
  data.vibByte = held.vibByte;
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
  if (!held.read || !IsLower(data, held, record.modbusType)) {
    Keep(held, data);
    held.read = true;
    held.backwards = false;
    return ValueTaken::kAsRead;
  }
  if (!held.backwards) TellBackwards(meter, record, data.value, held);
  held.backwards = true;
  Restore(data, held);
  return ValueTaken::kHeld;
}

void TraceNoValue(const Record& record, int number, const char* why) {
  LogTrace("No value in record %d (ObjectId %u): %s: sent as no data\n", number, record.objectId, why);
}

// The scale into the VIF's exponent; false, traced, when it cannot go there.
bool ApplyScale(const Meter& meter, const Record& record, int number, const uint8_t* scale, DataRecord& data) {
  char why[96];
  if (scale == nullptr) {  // never: every read takes its records' scale registers
    TraceNoValue(record, number, "its scale register was not read");
    return false;
  }
  const NoValue noScale = SunSpecNoValue(ModbusType::kInt16);
  uint8_t value[kMaxValueBytes] = {};
  RegistersToMBus(value, scale, ModbusType::kInt16, meter.reqUd2Orders);
  const int power = static_cast<int16_t>(value[0] | value[1] << 8);
  const ExponentField field = FindExponentField(data.vib, data.vibLength);
  uint8_t scaled = 0;
  if (HoldsNoValue(noScale, scale, ModbusType::kInt16, meter.reqUd2Orders)) {
    std::snprintf(why, sizeof why, "scale register %u holds 8000, no scale", record.scaleRegister);
  } else if (field.at < 0) {
    std::snprintf(why, sizeof why, "its Vib has no exponent a scale can move");
  } else if (power < kLowestScale || power > kHighestScale || !ScaleExponent(data.vib[field.at], field.mask, power, scaled)) {
    std::snprintf(why, sizeof why, "scale %d takes the VIF's exponent out of its range", power);
  } else {
    data.vibByteAt = field.at;
    data.vibByte = scaled;
    return true;
  }
  TraceNoValue(record, number, why);
  return false;
}

}  // namespace

ValueTaken TakeValue(const Meter& meter, const Record& record, int number, const uint8_t* registers,
                     const uint8_t* scale, HeldCounter* held, DataRecord& data) {
  char why[96];
  if (HoldsNoValue(record.noValue, registers, record.modbusType, meter.reqUd2Orders)) {
    std::snprintf(why, sizeof why, "the registers hold %s, the device's \"no value\"", TextOf(record.noValue).text);
    TraceNoValue(record, number, why);
    MakeNoData(data);
    return ValueTaken::kNoValue;
  }
  if (record.scaled && !ApplyScale(meter, record, number, scale, data)) {
    MakeNoData(data);
    return ValueTaken::kNoValue;
  }
  if (!record.monotonic || held == nullptr) return ValueTaken::kAsRead;
  return Hold(meter, record, *held, data);
}

uint8_t StatusBitsOf(ValueTaken taken) { return taken == ValueTaken::kAsRead ? 0 : kStatusApplicationError; }

}  // namespace kestrel
