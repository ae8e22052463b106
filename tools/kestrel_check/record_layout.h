#pragma once
// One Object's data record as the gateway would send it: DIF and DIFEs,
// the Vib bytes, and 2 bytes per register of its ModbusDT.
#include <cstdint>

#include "meter/device_file.h"
#include "meter/record_header.h"

// A VIF with its ten VIFEs is 11 bytes; room for far more, so that an
// over-long Vib is measured rather than cut.
constexpr int kVibCapacity = 256;

struct RecordLayout {
  bool complete = false;  // false: Function above 3 or ModbusDT unknown
  uint8_t header[kMaxRecordHeaderLength] = {};
  int headerLength = 0;
  uint8_t vib[kVibCapacity] = {};
  int vibLength = 0;
  int registerCount = 0;
  int valueLength = 0;
};

RecordLayout LayOutRecord(Element object);
int RecordLength(const RecordLayout& record);
