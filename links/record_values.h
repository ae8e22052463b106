#pragma once
// What a record's registers may be passed on as: the device's "no value"
// (NoValue) becomes a record without a value, and a counter with Monotonic
// read lower than the highest yet is passed on as that highest. The highest
// values live with their owner (the gateway, per record of its model) and
// are lent to each read.
#include <cstdint>
#include <vector>

#include "mbus/rsp_ud.h"
#include "model/meter_model.h"

namespace kestrel {

// The highest value read of one record with Monotonic.
struct HeldCounter {
  uint8_t value[kMaxValueBytes] = {};
  int exponent = 0;      // its VIF's exponent field: a ScaleRegister may have moved it
  int vibByteAt = -1;    // and the VIB byte that says so, as DataRecord holds it
  uint8_t vibByte = 0;
  bool read = false;       // a value has been read since start
  bool backwards = false;  // reads lower than value since the last that reached it
};

// One per record of the model (indices as MeterModel::records).
struct HeldCounters {
  std::vector<HeldCounter> records;
};

// What became of a record's value.
enum class ValueTaken : uint8_t { kAsRead, kNoValue, kHeld };

// Takes the record's value (data.value converted already) from its
// registers (wire order): "no value" makes data a record without value,
// traced with the record's number in its telegram; so does a scale that
// cannot go into the VIF. scale is the record's ScaleRegister as read (wire
// order; nullptr, for a record with one, sends it without value); its power of ten moves the VIF's
// exponent. A Monotonic record's lower reading is replaced by held's value.
// held is nullptr when nobody keeps the record's highest value: then it
// passes as read.
ValueTaken TakeValue(const Meter& meter, const Record& record, int number, const uint8_t* registers,
                     const uint8_t* scale, HeldCounter* held, DataRecord& data);

// The smallest and largest power of ten a ScaleRegister may give.
constexpr int kLowestScale = -10;
constexpr int kHighestScale = 10;

// The status bits an answer whose records were taken so carries on top of Status.
uint8_t StatusBitsOf(ValueTaken taken);

}  // namespace kestrel
