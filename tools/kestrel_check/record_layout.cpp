#include "tools/kestrel_check/record_layout.h"

#include "modbus/value_conversion.h"

// Attributes read with the widths and bases the telegram assembly uses.
RecordLayout LayOutRecord(Element object) {
  RecordLayout record;
  const unsigned function = ReadAttribute8(object, "Function", false);
  const uint8_t dataField = ReadAttribute8(object, "MBusDT", false);
  const uint64_t storage = ReadAttribute64(object, "Storage", true);
  const auto tariff = static_cast<uint32_t>(ReadAttribute64(object, "Tariff", true));
  const auto subunit = static_cast<uint32_t>(ReadAttribute64(object, "SubUnit", true));
  record.headerLength =
      EncodeRecordHeader(record.header, function, dataField, storage, tariff, subunit);
  record.vibLength = VibToBytes(AttributeText(object, "Vib"), record.vib, kVibCapacity);
  record.registerCount = RegisterCount(AttributeText(object, "ModbusDT"));
  record.valueLength = 2 * record.registerCount;
  record.complete = record.headerLength > 0 && record.vibLength >= 0 && record.registerCount > 0;
  return record;
}

int RecordLength(const RecordLayout& record) {
  if (!record.complete) return 0;
  return record.headerLength + record.vibLength + record.valueLength;
}
