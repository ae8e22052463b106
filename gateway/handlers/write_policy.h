#pragma once
// Which SND_UD writes reach the Modbus devices, and the record every write
// leaves. [MBusPort] writes says which Objects may be written at all (yes,
// or absent: every one; listed: those with Writable="1"; no: none), an
// Object's Writable="0" refuses its own, and WriteMin and WriteMax bound
// the value. A refused write sends no Modbus request and gets no answer.
// Once any of them is configured every write, done, refused or failed, is
// one trace line; without them the gateway traces what it always has.
#include <cstdint>

#include "modbus/transaction.h"
#include "model/meter_model.h"
#include "model/writes_key.h"
#include "support/counters.h"

namespace kestrel {

class ConfigStore;

struct WritePolicy {
  WritesKey writes = WritesKey::kAbsent;
  bool onRecord = false;  // writes, Writable, WriteMin or WriteMax configured: every write is traced
};

// Read once at start, after the DeviceFile. A writes value that is not yes,
// listed or no gets a StartupLog line, and then no write goes through.
WritePolicy ReadWritePolicy(const ConfigStore& store, const MeterModel& model);

// The record an SND_UD's object number names: the first of the meter's
// records (document order) with that ObjectId, or nullptr; number is its
// place among the meter's records, from 1.
const Record* RecordToWrite(const MeterModel& model, const Meter& meter, uint8_t objectId, int& number);

constexpr int kWriteReasonSize = 64;

// One write as it goes on record: who was written, what, where, and how it
// ended. Plain data, for whatever keeps account of writes (see RecordWrite).
struct WriteEntry {
  uint8_t meterAddress = 0;    // PrimaryAddress of the meter
  TraceText idNumber;          // its IdNumber as written
  int recordNumber = 0;        // the record's place among the meter's, from 1
  uint8_t objectId = 0;        // ObjectId
  ValueNumber value;           // as the master wrote it (NumberOfValue)
  uint8_t slaveAddress = 0;    // Modbus slave written
  uint16_t registerWrite = 0;  // RegisterWrite, before Base is subtracted
  WriteOutcome outcome = WriteOutcome::kDone;
  char reason[kWriteReasonSize] = {};  // why refused or failed; empty when done
};

// The entry of a write of value (the record's 2 x n bytes, least
// significant first), not yet ended.
WriteEntry WriteEntryOf(const Meter& meter, const Record& record, int recordNumber, const uint8_t* value);

// Whether policy refuses entry's write to the record; a refusal is ended
// and recorded (RecordWrite) here.
bool RefuseWrite(const WritePolicy& policy, const MeterModel& model, const Record& record, WriteEntry& entry);

// Ends entry with the result of its Modbus transaction and records it.
void EndWrite(const WritePolicy& policy, WriteEntry& entry, const TransactionResult& result);

// Every write ends here, once: with the policy on record, one trace line
// "Write to meter A record N done|refused (why)|failed (why): ...", and
// with events on, one event line.
void RecordWrite(const WritePolicy& policy, const WriteEntry& entry);

}  // namespace kestrel
