#pragma once
// One record as the gateway would send it: DIF and DIFEs, the Vib bytes,
// and 2 bytes per register of its ModbusDT.
#include <string>

#include "mbus/rsp_ud.h"
#include "model/meter_model.h"

namespace kestrel {

// A VIF with its ten VIFEs is 11 bytes; room for far more, so that an
// over-long Vib is measured rather than cut.
constexpr int kVibCapacity = 256;

struct RecordLayout {
  bool complete = false;  // false: Function above 3, ModbusDT unknown, or Vib beyond its capacity
  DataRecord data;        // value bytes left 0
  int registerCount = 0;
};

RecordLayout LayOutRecord(const Record& record);
int RecordLength(const RecordLayout& record);  // 0 when not complete

// The record bytes of telegram (from 0) of the meter's count, with the DIF
// 1Fh that closes every telegram but the last.
int TelegramRecordBytes(const MeterModel& model, const Meter& meter, int telegram, int count);

// "record 5" or "records 1 to 4": count records from the first.
std::string RecordsText(int first, int count);

}  // namespace kestrel
