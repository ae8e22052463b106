#include "tools/kestrel_check/telegram_preview.h"

#include <cstdint>
#include <string>

#include "checks/line_budget.h"
#include "checks/number_text.h"
#include "checks/record_layout.h"
#include "gateway/handlers/write_policy.h"
#include "links/meter_requests.h"
#include "mbus/rsp_ud.h"
#include "tools/kestrel_check/record_reading.h"

namespace kestrel {
namespace {

// The header up to the medium; the access number changes with every answer
// and is shown as AN.
constexpr int kBytesBeforeAccessNumber = 15;
constexpr int kBytesAfterAccessNumber = 3;  // status, signature

std::string HeaderText(const Meter& meter, int recordBytes) {
  uint8_t header[kRspUdHeaderLength];
  EncodeRspUdHeader(RspUdHeaderOf(meter), recordBytes, header);
  return HexBytes(header, kBytesBeforeAccessNumber) + " AN " +
         HexBytes(header + kBytesBeforeAccessNumber + 1, kBytesAfterAccessNumber);
}

// ", values -10 to 100": the range a write must lie in, as written.
std::string RangeText(const WrittenElement& written) {
  const bool min = written.Has("WriteMin");
  const bool max = written.Has("WriteMax");
  if (min && max) return ", values " + written.Text("WriteMin") + " to " + written.Text("WriteMax");
  if (min) return ", values from " + written.Text("WriteMin");
  if (max) return ", values up to " + written.Text("WriteMax");
  return "";
}

// Whether an SND_UD writes the record, and where.
void PrintWrite(const CheckedFile& file, const Meter& meter, const Record& record, const WrittenElement& written,
                FILE* out) {
  std::fprintf(out, "    SND_UD to object %u: ", record.objectId);
  int number = 0;
  const Record* reached = RecordToWrite(file.model, meter, record.objectId, number);
  if (reached != &record) {
    const size_t index = static_cast<size_t>(reached - file.model.records.data());
    std::fprintf(out, "writes %s, never this one\n", DescribeObject(file, index).c_str());
  } else if (const char* refusal = StandingRefusal(file.writes, file.model, record)) {
    std::fprintf(out, "refused (%s)\n", refusal);
  } else {
    std::fprintf(out, "writes register %s%s\n", written.Text("RegisterWrite").c_str(), RangeText(written).c_str());
  }
}

// The requests that read the block's scale registers apart, before it.
std::string ScaleRequestsText(const Meter& meter, const ReadBlock& block) {
  std::string lines;
  const Record* apart[kMaxReadRegisters];
  const int count = ScalesApart(block, apart);
  for (int i = 0; i < count; ++i) {
    const Record& record = *apart[i];
    uint8_t request[kReadRequestLength];
    ScaleRequestFor(meter, record, request);
    lines += "    scale register " + std::to_string(record.scaleRegister) + " of ObjectId " +
             std::to_string(record.objectId) + " apart: request " + HexBytes(request, kReadRequestLength) + "\n";
  }
  return lines;
}

void PrintRecord(const CheckedFile& file, const Meter& meter, const Record& record, int number, FILE* out) {
  const size_t index = static_cast<size_t>(&record - file.model.records.data());
  const WrittenElement& written = file.written.objects[index];
  const RecordLayout layout = LayOutRecord(record);
  std::fprintf(out, "  record %d, %s:", number, DescribeObject(file, index).c_str());
  if (!layout.complete) {
    std::fprintf(out, " cannot be encoded (see the findings)\n");
    return;
  }
  uint8_t request[kReadRequestLength];
  const ReadBlock alone = LoneBlock(meter, record);
  ReadRequestFor(meter, alone, request);
  std::fprintf(out, "\n    DIF/DIFE %s  VIF %s%s  + %d value bytes (%d bytes)\n",
               HexBytes(layout.data.dif, layout.data.difLength).c_str(),
               HexBytes(layout.data.vib, layout.data.vibLength).c_str(), VifMeaning(layout.data).c_str(),
               layout.data.valueLength, RecordLength(layout));
  std::fprintf(out, "%s", ScaleRequestsText(meter, alone).c_str());
  std::fprintf(out, "    reads %d register(s) of %s from register %s: request %s\n", layout.registerCount,
               written.Text("ModbusDT").c_str(), written.Text("RegisterRead").c_str(),
               HexBytes(request, kReadRequestLength).c_str());
  if (alone.registers > layout.registerCount) {
    std::fprintf(out, "    and its scale register %u with it, %d register(s) from register %u\n", record.scaleRegister,
                 alone.registers, alone.firstRegister);
  }
  PrintWrite(file, meter, record, written, out);
}

// A meter with BlockReads: the requests that read the records (numbered
// from first) together.
void PrintReadBlocks(const MeterModel& model, const Meter& meter, RecordSelection records, int first, FILE* out) {
  if (!meter.blockReads) return;
  int blocks = 0;
  std::string lines;
  ForEachReadBlock(model, meter, records, [&](const ReadBlock& block) {
    uint8_t request[kReadRequestLength];
    ReadRequestFor(meter, block, request);
    lines += ScaleRequestsText(meter, block) + "    " + RecordsText(first, block.count) + ": " +
             std::to_string(block.registers) + " register(s) from register " + std::to_string(block.firstRegister) +
             ": request " + HexBytes(request, kReadRequestLength) + "\n";
    first += block.count;
    const Record* apart[kMaxReadRegisters];
    blocks += 1 + ScalesApart(block, apart);
    return true;
  });
  std::fprintf(out, "  BlockReads: %d request(s)\n%s", blocks, lines.c_str());
}

// One telegram of the meter's count, and its records numbered on from number.
void PrintTelegram(const CheckedFile& file, const Meter& meter, int telegram, int count, int& number, FILE* out) {
  const RecordsOf records = RecordsOfTelegram(file.model, meter, telegram, count);
  int recordCount = 0;
  for (auto it = records.begin(); it != records.end(); ++it) ++recordCount;
  const bool closed = telegram < count - 1;
  if (count > 1) {
    std::fprintf(out, "  telegram %d of %d (TelegramNr %u)%s:\n", telegram + 1, count,
                 meter.telegramNrs[static_cast<size_t>(telegram)], closed ? ", more records follow" : "");
  }
  const int recordBytes = TelegramRecordBytes(file.model, meter, telegram, count);
  std::fprintf(out, "  RSP_UD %d bytes, %d record(s)%s of %d bytes; header %s\n", RspUdLength(recordBytes),
               recordCount, closed ? " and DIF 1F" : "", recordBytes, HeaderText(meter, recordBytes).c_str());
  const int first = number + 1;
  for (const Record& record : records) PrintRecord(file, meter, record, ++number, out);
  PrintReadBlocks(file.model, meter, RecordsOfTelegram(meter, telegram, count), first, out);
}

}  // namespace

void PrintMBusFeatures(bool collisions, bool multiTelegram, WritesKey writes, FILE* out) {
  std::fprintf(out, "[MBusPort] collisions %s\n",
               collisions ? "yes: a selection that matches several meters is answered as a collision"
                          : "no: a selection selects the first meter it matches");
  std::fprintf(out, "[MBusPort] multi_telegram %s\n",
               multiTelegram ? "yes: each record goes into the telegram its TelegramNr names"
                             : "no: all records of a meter go into one telegram");
  switch (writes) {
    case WritesKey::kAbsent:
    case WritesKey::kYes:
      std::fprintf(out, "[MBusPort] writes yes: SND_UD writes every Object but those with Writable other than 1\n");
      break;
    case WritesKey::kListed:
      std::fprintf(out, "[MBusPort] writes listed: SND_UD writes only the Objects with Writable=\"1\"\n");
      break;
    case WritesKey::kNo:
    case WritesKey::kUnknown: std::fprintf(out, "[MBusPort] writes no: SND_UD writes nothing\n"); break;
  }
}

void PrintMeterTelegram(const CheckedFile& file, size_t index, FILE* out) {
  const Meter& meter = file.model.meters[index];
  const WrittenElement& device = file.written.devices[index];
  uint8_t init[kInitRequestLength];
  InitRequestFor(meter, init);
  std::fprintf(out, "%s: primary address %u, IdNumber %s, medium %s, Modbus slave %u%s\n",
               DescribeDevice(file, index).c_str(), meter.primaryAddress, device.Text("IdNumber").c_str(),
               device.Text("Medium").c_str(), meter.slaveAddress, OnLinkText(meter).c_str());
  const int count = TelegramCount(meter, file.multiTelegram);
  int number = 0;
  for (int telegram = 0; telegram < count; ++telegram) PrintTelegram(file, meter, telegram, count, number, out);
  PrintMeterBudget(file, meter, out);
  std::fprintf(out, "  initialising request (SND_NKE, reset, selection): %s\n",
               HexBytes(init, kInitRequestLength).c_str());
}

}  // namespace kestrel
