#include "gateway/meter_requests.h"

#include "mbus/record_header.h"
#include "modbus/value_conversion.h"

namespace kestrel {

int ReadRequestFor(const Meter& meter, const Record& record, uint8_t out[kReadRequestLength]) {
  return BuildReadRequest(meter.slaveAddress, record.modbusFunction,
                          ModbusRegisterAddress(record.registerRead, meter.base),
                          static_cast<uint16_t>(RegisterCount(record.modbusType)), out);
}

int InitRequestFor(const Meter& meter, uint8_t out[kInitRequestLength]) {
  return BuildInitRequest(meter.slaveAddress, meter.initFunction,
                          ModbusRegisterAddress(meter.initRegister, meter.base), out);
}

int WriteRequestFor(const Meter& meter, const Record& record, const uint8_t* value,
                    uint8_t out[kMaxWriteRequestLength]) {
  uint8_t registers[kMaxValueBytes];
  const int bytes = MBusToRegisters(value, registers, record.modbusType, meter.sndUdOrders);
  if (bytes < 0) return -1;
  return BuildWriteRequest(meter.slaveAddress, ModbusRegisterAddress(record.registerWrite, meter.base),
                           registers, bytes, out);
}

DataRecord DataRecordOf(const Record& record) {
  DataRecord data;
  data.difLength = EncodeRecordHeader(data.dif, record.function, record.dataField, record.storage,
                                      record.tariff, record.subunit);
  data.vib = record.vib.data();
  data.vibLength = static_cast<int>(record.vib.size());
  data.valueLength = 2 * RegisterCount(record.modbusType);
  return data;
}

RspUdHeader RspUdHeaderOf(const Meter& meter) {
  RspUdHeader header;
  header.address = meter.primaryAddress;
  header.idNumber = meter.idNumber;
  header.medium = meter.medium;
  header.accessNumber = meter.accessNumber;
  header.status = meter.status;
  return header;
}

int TelegramCount(const Meter& meter, bool multiTelegram) {
  const int named = static_cast<int>(meter.telegramNrs.size());
  return multiTelegram && named > 1 ? named : 1;
}

RecordsOf RecordsOfTelegram(const MeterModel& model, const Meter& meter, int telegram, int count) {
  if (count <= 1 || telegram < 0 || static_cast<size_t>(telegram) >= meter.telegramNrs.size()) {
    return RecordsOf(model, meter);
  }
  return RecordsOf(model, meter, meter.telegramNrs[static_cast<size_t>(telegram)]);
}

}  // namespace kestrel
