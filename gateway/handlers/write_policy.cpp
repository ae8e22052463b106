#include "gateway/handlers/write_policy.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "modbus/transaction.h"
#include "support/config_store.h"
#include "support/events.h"
#include "support/logs.h"

namespace kestrel {
namespace {

bool HasWriteAttributes(const MeterModel& model) {
  if (!model.writeRanges.empty()) return true;
  for (const Record& record : model.records) {
    if (record.writable != Writability::kUnset) return true;
  }
  return false;
}

void End(WriteEntry& entry, WriteOutcome outcome, const char* format, ...) __attribute__((format(printf, 3, 4)));
void End(WriteEntry& entry, WriteOutcome outcome, const char* format, ...) {
  entry.outcome = outcome;
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(entry.reason, sizeof entry.reason, format, arguments);
  va_end(arguments);
}

// Whether the value lies outside the record's WriteMin and WriteMax; if so
// the entry is ended as refused.
bool RefusedByRange(const MeterModel& model, const Record& record, WriteEntry& entry) {
  const WriteRange* range = WriteRangeOf(model, record);
  if (range == nullptr) return false;
  const ValueNumber& value = entry.value;
  if (value.isReal && std::isnan(value.real)) {
    End(entry, WriteOutcome::kRefused, "not a number");
  } else if (range->min.state == WriteLimit::State::kNumber && IsBelow(value, range->min.number)) {
    End(entry, WriteOutcome::kRefused, "below WriteMin %s", TextOf(range->min.number).text);
  } else if (range->max.state == WriteLimit::State::kNumber && IsAbove(value, range->max.number)) {
    End(entry, WriteOutcome::kRefused, "above WriteMax %s", TextOf(range->max.number).text);
  } else {
    return false;
  }
  return true;
}

// A write is a change of state the integrator hears of: done as a notice,
// refused or failed as a warning, whatever the policy.
void TellWrite(const WriteEntry& entry, bool why) {
  LogEvent(entry.outcome == WriteOutcome::kDone ? EventPriority::kNotice : EventPriority::kWarning,
           "write to meter %u (IdNumber %.16s) object %u %s%s%s%s: value %s, slave %u, register %u",
           entry.meterAddress, entry.idNumber.text, entry.objectId, WriteOutcomeLabel(entry.outcome), why ? " (" : "",
           entry.reason, why ? ")" : "", TextOf(entry.value).text, entry.slaveAddress, entry.registerWrite);
}

}  // namespace

WritePolicy ReadWritePolicy(const ConfigStore& store, const MeterModel& model) {
  WritePolicy policy;
  policy.writes = ReadWritesKey(store);
  if (policy.writes == WritesKey::kUnknown) {
    std::string value;
    store.GetString(value, kWritesSection, kWritesKey, true, false);
    LogStartup("Error: [MBusPort] writes: \"%s\" is not yes, listed or no: every write is refused\n",
               value.c_str());
  }
  policy.onRecord = policy.writes != WritesKey::kAbsent || HasWriteAttributes(model);
  return policy;
}

const Record* RecordToWrite(const MeterModel& model, const Meter& meter, uint8_t objectId, int& number) {
  number = 0;
  for (const Record& record : RecordsOf(model, meter)) {
    ++number;
    if (record.objectId == objectId) return &record;
  }
  return nullptr;
}

WriteEntry WriteEntryOf(const Meter& meter, const Record& record, int recordNumber, const uint8_t* value) {
  WriteEntry entry;
  entry.meterAddress = meter.primaryAddress;
  entry.idNumber = meter.idNumberText;
  entry.recordNumber = recordNumber;
  entry.objectId = record.objectId;
  entry.value = NumberOfValue(value, record.modbusType);
  entry.slaveAddress = meter.slaveAddress;
  entry.registerWrite = record.registerWrite;
  return entry;
}

bool RefuseWrite(const WritePolicy& policy, const MeterModel& model, const Record& record, WriteEntry& entry) {
  const char* refusal = StandingRefusal(policy.writes, model, record);
  if (refusal != nullptr) {
    End(entry, WriteOutcome::kRefused, "%s", refusal);
  } else if (!RefusedByRange(model, record, entry)) {
    return false;
  }
  RecordWrite(policy, entry);
  return true;
}

void EndWrite(const WritePolicy& policy, WriteEntry& entry, const TransactionResult& result) {
  switch (result.outcome) {
    case TransactionOutcome::kAnswer:
      entry.outcome = WriteOutcome::kDone;
      entry.reason[0] = '\0';
      break;
    case TransactionOutcome::kException:
      End(entry, WriteOutcome::kFailed, "exception %d", result.exceptionCode);
      break;
    case TransactionOutcome::kNoValidAnswer:
      End(entry, WriteOutcome::kFailed, "no answer");
      break;
    case TransactionOutcome::kNotSent:
      End(entry, WriteOutcome::kFailed, "not sent");
      break;
  }
  RecordWrite(policy, entry);
}

void RecordWrite(const WritePolicy& policy, const WriteEntry& entry) {
  const bool why = entry.reason[0] != '\0';
  TellWrite(entry, why);
  if (!policy.onRecord) return;
  LogTrace("Write to meter %u record %d %s%s%s%s: IdNumber %.16s, ObjectId %u, value %s, slave %u, register %u\n",
           entry.meterAddress, entry.recordNumber, WriteOutcomeLabel(entry.outcome), why ? " (" : "", entry.reason,
           why ? ")" : "", entry.idNumber.text, entry.objectId, TextOf(entry.value).text, entry.slaveAddress,
           entry.registerWrite);
}

}  // namespace kestrel
