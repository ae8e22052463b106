#include "meter/write_init.h"

#include "core/addressing.h"
#include "meter/modbus_exchange.h"
#include "modbus/transaction.h"
#include "modbus/value_conversion.h"
#include "support/logs.h"

namespace {

// SND_UD data: object number at offset 9, value (LSB first) from offset 10.
constexpr int kObjectNumber = 9;
constexpr int kValue = 10;

Element FindObjectToWrite(const Gateway& gateway, Element device, uint8_t objectNumber) {
  const char* deviceId = AttributeText(device, "DeviceId");
  for (Element object = FirstObject(gateway.tree, deviceId); object != nullptr;
       object = NextObject(gateway.tree, object, deviceId)) {
    if (ReadAttribute8(object, "ObjectId", false) == objectNumber) return object;
  }
  return nullptr;
}

// Offset of the frame's last data byte: data runs from offset 7 for L - 3 bytes.
int LastDataOffset(const FrameBuffer& frame) { return kLongData + frame.bytes[kLongL] - kMinLongFrameL - 1; }

int SendInitRequest(Gateway& gateway, Element device, const char* line) {
  uint8_t* request = gateway.modbusRequest;
  const int length = BuildInitRequest(device, request);
  const int result = ExchangeWithMeter(gateway, device, line, request, length, kOtherAttempts);
  TraceTransactionReport(result, gateway.modbusResponse);
  return result;
}

}  // namespace

bool HandleSndUd(Gateway& gateway, const FrameBuffer& frame, Answer& answer) {
  Element device = MeterForWrite(gateway, frame.bytes[kLongA]);
  if (device == nullptr) return false;
  const MeterName meter = NameOf(device);
  const int lastData = LastDataOffset(frame);
  if (lastData < kObjectNumber) {
    LogTrace("M-Bus error, %s: SND_UD carries no object number\n", meter.text);
    return false;
  }
  const uint8_t objectNumber = frame.bytes[kObjectNumber];
  Element object = FindObjectToWrite(gateway, device, objectNumber);
  if (object == nullptr) {
    LogTrace("M-Bus error, object for writing found\n");
    return false;
  }
  const char* type = AttributeText(object, "ModbusDT");
  const int valueBytes = 2 * RegisterCount(type);
  if (valueBytes == 0) {
    LogTrace("M-Bus error, %s: object %u has unknown ModbusDT \"%.16s\", nothing written\n",
             meter.text, objectNumber, type);
    return false;
  }
  if (kValue + valueBytes - 1 > lastData) {
    LogTrace("M-Bus error, %s: SND_UD holds %d of the %d value bytes of object %u\n", meter.text,
             lastData - kValue + 1, valueBytes, objectNumber);
    return false;
  }
  uint8_t* request = gateway.modbusRequest;
  const int length = BuildWriteRequest(device, object, frame.bytes + kValue, request);
  if (length < 0) {
    LogTrace("M-Bus error, %s: FloatMode or IntReverse above 3, nothing written\n", meter.text);
    return false;
  }
  const int result =
      ExchangeWithMeter(gateway, device, "Request to Modbus Meter\n", request, length, kOtherAttempts);
  TraceTransactionReport(result, gateway.modbusResponse);
  if (result == kModbusNoValidAnswer) return false;
  return AnswerAck(answer);
}

bool HandleAppReset(Gateway& gateway, const FrameBuffer& frame, Answer& answer) {
  Element device = MeterForWrite(gateway, frame.bytes[kLongA]);
  if (device == nullptr) return false;
  const int result = SendInitRequest(gateway, device, "Request to Modbus Meter\n");
  if (result == kModbusNoValidAnswer) {
    LogTrace("Modbus error, timeout\n");
    return false;
  }
  EndSelection(gateway);
  return AnswerAck(answer);
}

bool HandleSndNke(Gateway& gateway, const FrameBuffer& frame, Answer& answer) {
  const uint8_t a = frame.bytes[kShortA];
  if (a == kAddressSelected && gateway.selection.selected) {
    EndSelection(gateway);
    return AnswerAck(answer);
  }
  EndSelection(gateway);
  Element device = FindDeviceByPrimaryAddress(gateway.tree, a);
  if (device == nullptr) {
    LogTrace("M-Bus error, Meter not found\n");
    return false;
  }
  const int result = SendInitRequest(gateway, device, "Request to Modbus after SND_NKE\n");
  if (result < kWorstAcceptedInitResult) {
    LogTrace("Modbus Error, errno = %d\n", result);
    return false;
  }
  return AnswerAck(answer);
}
