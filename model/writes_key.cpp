#include "model/writes_key.h"

#include <string>

#include "support/config_store.h"

namespace kestrel {
namespace {

constexpr const char* kWritesListed = "LISTED";  // as read, in capitals

}  // namespace

WritesKey ReadWritesKey(const ConfigStore& store) {
  std::string value;
  if (store.GetString(value, kWritesSection, kWritesKey, true, true) != 0) return WritesKey::kAbsent;
  if (value == kSwitchedOn) return WritesKey::kYes;
  if (value == kWritesListed) return WritesKey::kListed;
  if (value == kSwitchedOff) return WritesKey::kNo;
  return WritesKey::kUnknown;
}

const char* StandingRefusal(WritesKey writes, const MeterModel& model, const Record& record) {
  switch (writes) {
    case WritesKey::kNo: return "writes = no";
    case WritesKey::kUnknown: return "writes is not yes, listed or no";
    case WritesKey::kListed:
      if (record.writable != Writability::kWritable) return "writes = listed, Writable is not 1";
      break;
    case WritesKey::kAbsent:
    case WritesKey::kYes: break;
  }
  if (record.writable == Writability::kNotWritable) return "Writable is not 1";
  // The master's value is counted in the scaled unit, the register's in the device's own.
  if (record.scaled) return "its value has a ScaleRegister";
  // A limit nobody could read would let through values nobody checked.
  const WriteRange* range = WriteRangeOf(model, record);
  if (range != nullptr && range->min.state == WriteLimit::State::kUnreadable) return "WriteMin is not a number";
  if (range != nullptr && range->max.state == WriteLimit::State::kUnreadable) return "WriteMax is not a number";
  return nullptr;
}

}  // namespace kestrel
