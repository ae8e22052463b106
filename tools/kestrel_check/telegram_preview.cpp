#include "tools/kestrel_check/telegram_preview.h"

#include <cstdint>
#include <string>

#include "gateway/meter_requests.h"
#include "mbus/rsp_ud.h"
#include "tools/kestrel_check/number_text.h"
#include "tools/kestrel_check/record_layout.h"

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

void PrintRecord(const CheckedFile& file, const Meter& meter, uint32_t index, int number, FILE* out) {
  const Record& record = file.model.records[index];
  const WrittenElement& written = file.written.objects[index];
  const RecordLayout layout = LayOutRecord(record);
  std::fprintf(out, "  record %d, %s:", number, DescribeObject(file, index).c_str());
  if (!layout.complete) {
    std::fprintf(out, " cannot be encoded (see the findings)\n");
    return;
  }
  uint8_t request[kReadRequestLength];
  ReadRequestFor(meter, record, request);
  std::fprintf(out, "\n    DIF/DIFE %s  VIF %s  + %d value bytes (%d bytes)\n",
               HexBytes(layout.data.dif, layout.data.difLength).c_str(),
               HexBytes(layout.data.vib, layout.data.vibLength).c_str(), layout.data.valueLength,
               RecordLength(layout));
  std::fprintf(out, "    reads %d register(s) of %s from register %s: request %s\n", layout.registerCount,
               written.Text("ModbusDT").c_str(), written.Text("RegisterRead").c_str(),
               HexBytes(request, kReadRequestLength).c_str());
}

// A meter with BlockReads: the requests that read its records together.
void PrintReadBlocks(const CheckedFile& file, const Meter& meter, FILE* out) {
  if (!meter.blockReads) return;
  int first = 1;
  int blocks = 0;
  std::string lines;
  ForEachReadBlock(meter, RecordsOf(file.model, meter), [&](const ReadBlock& block) {
    uint8_t request[kReadRequestLength];
    ReadRequestFor(meter, block, request);
    lines += "    " + RecordsText(first, block.count) + ": " + std::to_string(block.registers) + " register(s) from register " +
             std::to_string(block.records[0]->registerRead) + ": request " + HexBytes(request, kReadRequestLength) +
             "\n";
    first += block.count;
    ++blocks;
    return true;
  });
  std::fprintf(out, "  BlockReads: %d request(s)\n%s", blocks, lines.c_str());
}

}  // namespace

void PrintMeterTelegram(const CheckedFile& file, size_t index, FILE* out) {
  const Meter& meter = file.model.meters[index];
  const WrittenElement& device = file.written.devices[index];
  int recordBytes = 0;
  for (const Record& record : RecordsOf(file.model, meter)) recordBytes += RecordLength(LayOutRecord(record));
  uint8_t init[kInitRequestLength];
  InitRequestFor(meter, init);
  std::fprintf(out, "%s: primary address %u, IdNumber %s, medium %s, Modbus slave %u\n",
               DescribeDevice(file, index).c_str(), meter.primaryAddress, device.Text("IdNumber").c_str(),
               device.Text("Medium").c_str(), meter.slaveAddress);
  std::fprintf(out, "  RSP_UD %d bytes, %d record(s) of %d bytes; header %s\n", RspUdLength(recordBytes),
               static_cast<int>(meter.records.size()), recordBytes, HeaderText(meter, recordBytes).c_str());
  int number = 0;
  for (uint32_t record : meter.records) PrintRecord(file, meter, record, ++number, out);
  PrintReadBlocks(file, meter, out);
  std::fprintf(out, "  initialising request (SND_NKE, reset, selection): %s\n",
               HexBytes(init, kInitRequestLength).c_str());
}

}  // namespace kestrel
