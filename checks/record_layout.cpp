#include "checks/record_layout.h"

#include "links/meter_requests.h"

namespace kestrel {

RecordLayout LayOutRecord(const Record& record) {
  RecordLayout layout;
  layout.data = DataRecordOf(record);
  layout.registerCount = RegisterCount(record.modbusType);
  layout.complete = layout.data.difLength > 0 && layout.data.vibLength <= kVibCapacity && layout.registerCount > 0;
  return layout;
}

int RecordLength(const RecordLayout& record) { return record.complete ? DataRecordLength(record.data) : 0; }

int TelegramRecordBytes(const MeterModel& model, const Meter& meter, int telegram, int count) {
  int bytes = telegram < count - 1 ? DataRecordLength(MoreRecordsFollow()) : 0;
  for (const Record& record : RecordsOfTelegram(model, meter, telegram, count)) {
    bytes += RecordLength(LayOutRecord(record));
  }
  return bytes;
}

std::string RecordsText(int first, int count) {
  if (count == 1) return "record " + std::to_string(first);
  return "records " + std::to_string(first) + " to " + std::to_string(first + count - 1);
}

}  // namespace kestrel
