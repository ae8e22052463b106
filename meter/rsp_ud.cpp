#include "meter/rsp_ud.h"

#include <unistd.h>

#include <cstring>

#include "meter/identity.h"
#include "meter/modbus_exchange.h"
#include "meter/record_header.h"
#include "modbus/transaction.h"
#include "modbus/value_conversion.h"
#include "support/clock.h"
#include "support/logs.h"

namespace {

// RSP_UD fixed header, offsets from the first start byte.
constexpr int kIdNumber = 7;
constexpr int kManufacturer = 11;
constexpr int kVersion = 13;
constexpr int kMedium = 14;
constexpr int kAccessNumber = 15;
constexpr int kStatus = 16;
constexpr int kSignature = 17;
constexpr int kFirstRecord = 19;
constexpr int kRecordLimit = kFirstRecord + kMaxRecordBytes;
constexpr int kLFixedPart = 15;  // C, A, CI and the 12-byte header


constexpr int kModbusDataOffset = 3;  // after slave address, function, byte count
constexpr useconds_t kPauseAfterRecordUs = 2000;

// The meter a REQ_UD2 addresses, or nullptr after tracing why there is none.
Element ChooseMeter(const Gateway& gateway, uint8_t a) {
  if (a == kAddressTest) {
    LogTrace("M-Bus error, meter not found\n");
    return nullptr;
  }
  if (gateway.selection.selected) return gateway.selection.meter;
  Element device = FindDeviceByPrimaryAddress(gateway.tree, a);
  if (device == nullptr) {
    LogTrace("M-Bus error, Meter not found\n");
    LogTrace("M-Bus error, meter not found\n");
  }
  return device;
}

// Header fields from the Device; the access number advances at once, before
// any Modbus traffic, so it moves on even when the answer is dropped.
void WriteFixedHeader(Element device, uint8_t* t) {
  t[0] = kLongFrameStart;
  t[kLongSecondStart] = kLongFrameStart;
  t[kLongC] = kCRspUd;
  t[kLongA] = ReadAttribute8(device, "PrimaryAddress", false);
  t[kLongCi] = kCiRspUdLongHeader;
  const uint32_t id = static_cast<uint32_t>(ReadAttribute64(device, "IdNumber", true));
  for (int i = 0; i < 4; ++i) t[kIdNumber + i] = static_cast<uint8_t>(id >> (8 * i));
  t[kManufacturer] = kManufacturerZqx[0];
  t[kManufacturer + 1] = kManufacturerZqx[1];
  t[kVersion] = kVersionByte;
  t[kMedium] = ReadAttribute8(device, "Medium", true);
  const uint8_t access = ReadAttribute8(device, "AccessNumber", true);
  t[kAccessNumber] = access;
  WriteAttribute(device, "AccessNumber", access + 1u, 2, true);
  t[kStatus] = ReadAttribute8(device, "Status", true);
  t[kSignature] = 0;
  t[kSignature + 1] = 0;
}

struct Telegram {
  uint8_t* bytes;
  int index;  // next record byte
};

// Appends one record (DIF/DIFEs, VIB, value) from the answer in response.
// false, after tracing why, when the Object has no well-formed record.
bool AppendRecord(Telegram& telegram, Element device, Element object, const uint8_t* response,
                  int result) {
  const MeterName meter = NameOf(device);
  const char* type = AttributeText(object, "ModbusDT");
  const int valueBytes = 2 * RegisterCount(type);
  if (valueBytes == 0) {
    LogTrace("M-Bus error, %s: unknown ModbusDT \"%.16s\"\n", meter.text, type);
    return false;
  }
  if (result < kModbusDataOffset + valueBytes + 2) {
    LogTrace("Modbus error, %s: answer of %d bytes holds no %d value bytes\n", meter.text, result,
             valueBytes);
    return false;
  }
  uint8_t header[kMaxRecordHeaderLength];
  const unsigned function = ReadAttribute8(object, "Function", false);
  const int headerLength =
      EncodeRecordHeader(header, function, ReadAttribute8(object, "MBusDT", false),
                         ReadAttribute64(object, "Storage", true),
                         static_cast<uint32_t>(ReadAttribute64(object, "Tariff", true)),
                         static_cast<uint32_t>(ReadAttribute64(object, "SubUnit", true)));
  if (headerLength < 0) {
    LogTrace("M-Bus error, %s: Function %u is above 3\n", meter.text, function);
    return false;
  }
  uint8_t value[8];
  RegistersToMBus(value, response + kModbusDataOffset, type,
                  static_cast<uint32_t>(ReadAttribute64(device, "FloatMode", true)),
                  static_cast<uint32_t>(ReadAttribute64(device, "IntReverse", true)));

  uint8_t* out = telegram.bytes + telegram.index;
  const int room = kRecordLimit - telegram.index;
  const int vibLength = headerLength <= room
                            ? VibToBytes(AttributeText(object, "Vib"), out + headerLength, room - headerLength)
                            : -1;
  if (vibLength < 0 || headerLength + vibLength + valueBytes > room) {
    LogTrace("M-Bus error, %s: records exceed %d bytes\n", meter.text, kMaxRecordBytes);
    return false;
  }
  std::memcpy(out, header, static_cast<size_t>(headerLength));
  std::memcpy(out + headerLength + vibLength, value, static_cast<size_t>(valueBytes));
  telegram.index += headerLength + vibLength + valueBytes;
  return true;
}

// Checksum over C .. last record byte, stop byte, and both length bytes.
int CloseTelegram(Telegram& telegram) {
  uint8_t* t = telegram.bytes;
  const int end = telegram.index;
  t[end] = MBusChecksum(t + kLongC, end - kLongC);
  t[end + 1] = kStopByte;
  t[kLongL] = static_cast<uint8_t>(end - kLongC);
  t[kLongLRepeated] = t[kLongL];
  return end + 2;
}

}  // namespace

bool HandleReqUd2(Gateway& gateway, const FrameBuffer& frame, Answer& answer) {
  Element device = ChooseMeter(gateway, frame.bytes[kShortA]);
  if (device == nullptr) return false;

  WriteFixedHeader(device, answer.bytes);
  const uint64_t base = ReadAttribute64(device, "Base", true);
  const char* deviceId = AttributeText(device, "DeviceId");

  Telegram telegram{answer.bytes, kFirstRecord};
  static_assert(kRecordLimit + 2 <= kFrameBufferSize, "telegram fits its buffer");
  bool failed = false;
  for (Element object = FirstObject(gateway.tree, deviceId); object != nullptr;
       object = NextObject(gateway.tree, object, deviceId)) {
    uint8_t* request = gateway.modbusRequest;
    const int length = BuildReadRequest(device, base, object, request);
    const int result =
        ExchangeWithMeter(gateway, device, "Request to Modbus Meter\n", request, length, kReadAttempts);
    TraceTransactionReport(result, gateway.modbusResponse);
    if (result < 0) {
      LogTrace("Modbus error, errno = %d, not responding\n", result);
      failed = true;
      break;
    }
    if (!AppendRecord(telegram, device, object, gateway.modbusResponse, result)) {
      failed = true;
      break;
    }
    usleep(kPauseAfterRecordUs);
    if (FrameTimedOut(frame.frameStart, NowMs(), gateway.mbusTimeout)) {
      LogTrace("M-Bus Timeout\n");
      failed = true;
    }
  }
  answer.length = CloseTelegram(telegram);
  return !failed;
}
