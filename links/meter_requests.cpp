#include "links/meter_requests.h"

#include "mbus/record_header.h"
#include "modbus/value_conversion.h"

namespace kestrel {
namespace {

constexpr int kRegisterAddresses = 65536;  // a read may not run past the last wire address

}  // namespace

int ReadRequestFor(const Meter& meter, const Record& record, uint8_t out[kReadRequestLength]) {
  return BuildReadRequest(meter.slaveAddress, record.modbusFunction,
                          ModbusRegisterAddress(record.registerRead, meter.base),
                          static_cast<uint16_t>(RegisterCount(record.modbusType)), out);
}

bool JoinsBlock(const Meter& meter, const ReadBlock& block, const Record& record) {
  const Record& first = *block.records[0];
  const Record& last = *block.records[block.count - 1];
  const int registers = RegisterCount(record.modbusType);
  const int lastRegisters = RegisterCount(last.modbusType);
  // Register numbers are compared without wrapping: 65535 has no successor.
  const bool follows = int{record.registerRead} == int{last.registerRead} + lastRegisters;
  const int wireEnd = int{ModbusRegisterAddress(first.registerRead, meter.base)} + block.registers + registers;
  return meter.blockReads && registers > 0 && lastRegisters > 0 && record.modbusFunction == first.modbusFunction &&
         follows && block.registers + registers <= kMaxReadRegisters && wireEnd <= kRegisterAddresses;
}

bool AddToBlock(ReadBlock& block, const Record& record) {
  if (block.count >= kMaxReadRegisters) return false;
  if (block.count == 0) block.firstRegister = record.registerRead;
  block.records[block.count++] = &record;
  block.registers += RegisterCount(record.modbusType);
  return true;
}

int RegisterOffset(const ReadBlock& block, int index) {
  return block.records[index]->registerRead - block.firstRegister;
}

int ScaleOffset(const ReadBlock& block, const Record& record) {
  const int offset = int{record.scaleRegister} - int{block.firstRegister};
  return record.scaled && offset >= 0 && offset < block.registers ? offset : -1;
}

int ScalesApart(const ReadBlock& block, const Record* apart[kMaxReadRegisters]) {
  int count = 0;
  for (int i = 0; i < block.count && count < kMaxReadRegisters; ++i) {
    const Record& record = *block.records[i];
    if (!record.scaled || ScaleOffset(block, record) >= 0) continue;
    bool known = false;
    for (int j = 0; j < count; ++j) {
      known = known || (apart[j]->modbusFunction == record.modbusFunction && apart[j]->scaleRegister == record.scaleRegister);
    }
    if (!known) apart[count++] = &record;
  }
  return count;
}

int ScaleRequestFor(const Meter& meter, const Record& record, uint8_t out[kReadRequestLength]) {
  return BuildReadRequest(meter.slaveAddress, record.modbusFunction,
                          ModbusRegisterAddress(record.scaleRegister, meter.base), 1, out);
}

int ReadRequestFor(const Meter& meter, const ReadBlock& block, uint8_t out[kReadRequestLength]) {
  const Record& first = *block.records[0];
  return BuildReadRequest(meter.slaveAddress, first.modbusFunction, ModbusRegisterAddress(block.firstRegister, meter.base),
                          static_cast<uint16_t>(block.registers), out);
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

RecordSelection RecordsOfTelegram(const Meter& meter, int telegram, int count) {
  if (count <= 1 || telegram < 0 || static_cast<size_t>(telegram) >= meter.telegramNrs.size()) return {};
  return {meter.telegramNrs[static_cast<size_t>(telegram)]};
}

RecordsOf RecordsOfTelegram(const MeterModel& model, const Meter& meter, int telegram, int count) {
  return RecordsOf(model, meter, RecordsOfTelegram(meter, telegram, count).telegramNr);
}

namespace {

// The record's ScaleRegister becomes the block's first or next register,
// when it stands right there and the read stays within its limits.
bool TakeScaleRegister(const Meter& meter, ReadBlock& block, const Record& record) {
  if (!record.scaled || ScaleOffset(block, record) >= 0 || block.registers >= kMaxReadRegisters) return false;
  const int wireFirst = ModbusRegisterAddress(block.firstRegister, meter.base);
  if (int{record.scaleRegister} + 1 == int{block.firstRegister} && wireFirst > 0) {
    --block.firstRegister;
    ++block.registers;
    return true;
  }
  const bool after = int{record.scaleRegister} == int{block.firstRegister} + block.registers;
  if (!after || wireFirst + block.registers + 1 > kRegisterAddresses) return false;
  ++block.registers;
  return true;
}

void TakeScaleRegisters(const Meter& meter, ReadBlock& block) {
  bool grown = true;
  while (grown) {
    grown = false;
    for (int i = 0; i < block.count; ++i) grown = TakeScaleRegister(meter, block, *block.records[i]) || grown;
  }
}

}  // namespace

ReadBlock LoneBlock(const Meter& meter, const Record& record) {
  ReadBlock block;
  AddToBlock(block, record);
  TakeScaleRegisters(meter, block);
  return block;
}

bool NextReadBlock(const MeterModel& model, const Meter& meter, RecordSelection which, size_t& position,
                   ReadBlock& block) {
  block.count = 0;
  block.registers = 0;
  for (; position < meter.records.size(); ++position) {
    const Record& record = model.records[meter.records[position]];
    if (which.telegramNr != kEveryTelegram && record.telegramNr != which.telegramNr) continue;
    if (block.count > 0 && !JoinsBlock(meter, block, record)) break;
    AddToBlock(block, record);
  }
  TakeScaleRegisters(meter, block);
  return block.count > 0;
}

}  // namespace kestrel
