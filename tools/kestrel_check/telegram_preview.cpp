#include "tools/kestrel_check/telegram_preview.h"

#include <cstdint>
#include <string>

#include "core/frame.h"
#include "modbus/requests.h"
#include "tools/kestrel_check/elements.h"
#include "tools/kestrel_check/record_layout.h"

namespace {

// RSP_UD fixed header: 68 L L 68, C 08h, A, CI 72h, identification number,
// manufacturer ZQX (38h 6Ah), version 10h, medium, access number, status,
// signature 00 00. L counts from C to the last record byte.
constexpr int kHeaderLengthBeforeRecords = 19;
constexpr int kLengthFieldBase = 15;
constexpr uint8_t kManufacturerZqx[2] = {0x38, 0x6A};
constexpr uint8_t kVersionByte = 0x10;

std::string Hex(const uint8_t* bytes, int count) {
  std::string text;
  char byte[4];
  for (int i = 0; i < count; ++i) {
    std::snprintf(byte, sizeof byte, "%s%02X", i == 0 ? "" : " ", bytes[i]);
    text += byte;
  }
  return text;
}

std::string HeaderText(Element device, int recordBytes) {
  const uint32_t id = static_cast<uint32_t>(ReadAttribute64(device, "IdNumber", true));
  const uint8_t length = static_cast<uint8_t>(kLengthFieldBase + recordBytes);
  const uint8_t bytes[] = {kLongFrameStart,
                           length,
                           length,
                           kLongFrameStart,
                           kCRspUd,
                           ReadAttribute8(device, "PrimaryAddress", false),
                           kCiRspUdLongHeader,
                           static_cast<uint8_t>(id),
                           static_cast<uint8_t>(id >> 8),
                           static_cast<uint8_t>(id >> 16),
                           static_cast<uint8_t>(id >> 24),
                           kManufacturerZqx[0],
                           kManufacturerZqx[1],
                           kVersionByte,
                           ReadAttribute8(device, "Medium", true)};
  char tail[32];
  std::snprintf(tail, sizeof tail, " AN %02X 00 00", ReadAttribute8(device, "Status", true));
  return Hex(bytes, sizeof bytes) + tail;
}

void PrintRecord(const DeviceTree& tree, Element device, Element object, int number, FILE* out) {
  const RecordLayout record = LayOutRecord(object);
  std::fprintf(out, "  record %d, %s:", number, DescribeObject(tree, object).c_str());
  if (!record.complete) {
    std::fprintf(out, " cannot be encoded (see the findings)\n");
    return;
  }
  uint8_t request[kReadRequestLength];
  BuildReadRequest(device, ReadAttribute64(device, "Base", true), object, request);
  std::fprintf(out, "\n    DIF/DIFE %s  VIF %s  + %d value bytes (%d bytes)\n",
               Hex(record.header, record.headerLength).c_str(),
               Hex(record.vib, record.vibLength).c_str(), record.valueLength, RecordLength(record));
  std::fprintf(out, "    reads %d register(s) of %s from register %s: request %s\n",
               record.registerCount, AttributeText(object, "ModbusDT"),
               AttributeText(object, "RegisterRead"), Hex(request, kReadRequestLength).c_str());
}

}  // namespace

void PrintMeterTelegram(const DeviceTree& tree, Element device, FILE* out) {
  const char* deviceId = AttributeText(device, "DeviceId");
  int recordBytes = 0;
  int records = 0;
  for (Element object = FirstObject(tree, deviceId); object != nullptr;
       object = NextObject(tree, object, deviceId)) {
    recordBytes += RecordLength(LayOutRecord(object));
    ++records;
  }
  uint8_t init[kInitRequestLength];
  BuildInitRequest(device, init);
  std::fprintf(out, "%s: primary address %u, IdNumber %s, medium %s, Modbus slave %u\n",
               DescribeDevice(tree, device).c_str(), ReadAttribute8(device, "PrimaryAddress", false),
               AttributeText(device, "IdNumber"), AttributeText(device, "Medium"),
               ReadAttribute8(device, "SlaveAddress", false));
  std::fprintf(out, "  RSP_UD %d bytes, %d record(s) of %d bytes; header %s\n",
               kHeaderLengthBeforeRecords + recordBytes + 2, records, recordBytes,
               HeaderText(device, recordBytes).c_str());
  int number = 0;
  for (Element object = FirstObject(tree, deviceId); object != nullptr;
       object = NextObject(tree, object, deviceId)) {
    PrintRecord(tree, device, object, ++number, out);
  }
  std::fprintf(out, "  initialising request (SND_NKE, reset, selection): %s\n",
               Hex(init, kInitRequestLength).c_str());
}
