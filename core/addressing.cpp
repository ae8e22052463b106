#include "core/addressing.h"

#include <cstring>

#include "meter/identity.h"
#include "meter/modbus_exchange.h"
#include "modbus/value_conversion.h"
#include "support/logs.h"

namespace {

// Secondary address layout: identification number (BCD, LSB first),
// manufacturer (2 bytes), version, medium.
constexpr int kIdBytes = 4;
constexpr int kManufacturerLow = 4;
constexpr int kVersion = 6;
constexpr int kMedium = 7;


constexpr uint8_t kWildcardDigit = 0x0F;
constexpr uint8_t kWildcardByte = 0xFF;
constexpr int kMinSelectionL = 0x0B;  // C, A, CI and the 8-byte address

bool IsHexLetterDigit(uint8_t nibble) { return nibble >= 0x0A && nibble <= 0x0E; }

// Characters first and first + 1 (counted from 1) as one hex byte; a pair
// running past the end of the text, or not hexadecimal, gives FFh.
uint8_t PairAt(const char* text, size_t first) {
  const size_t length = std::strlen(text);
  if (first + 1 > length) return kWildcardByte;
  const int value = HexPair(text[first - 1], text[first]);
  return value < 0 ? kWildcardByte : static_cast<uint8_t>(value);
}

bool PatternIdValid(uint8_t p) { return !IsHexLetterDigit(p & 0x0F) && !IsHexLetterDigit(p >> 4); }
bool AddressIdValid(uint8_t d) { return (d & 0x0F) <= 9 && (d >> 4) <= 9; }

bool NibbleMatches(uint8_t pattern, uint8_t address) {
  return pattern == kWildcardDigit || pattern == address;
}

Element FirstMatchingDevice(const Gateway& gateway, const uint8_t* pattern) {
  for (Element device = FirstDevice(gateway.tree); device != nullptr;
       device = NextDevice(gateway.tree, device)) {
    uint8_t address[kSecondaryAddressLength];
    DeviceSecondaryAddress(device, address);
    if (MatchSecondaryAddress(pattern, address) == 0) return device;
  }
  return nullptr;
}

}  // namespace

int MatchSecondaryAddress(const uint8_t pattern[kSecondaryAddressLength],
                          const uint8_t address[kSecondaryAddressLength]) {
  for (int i = 0; i < kIdBytes; ++i) {
    if (!PatternIdValid(pattern[i]) || !AddressIdValid(address[i])) return -1;
  }
  for (int i = kIdBytes; i < kSecondaryAddressLength; ++i) {
    if (address[i] == kWildcardByte) return -1;
  }
  for (int i = 0; i < kIdBytes; ++i) {
    if (!NibbleMatches(pattern[i] & 0x0F, address[i] & 0x0F)) return 1;
    if (!NibbleMatches(pattern[i] >> 4, address[i] >> 4)) return 1;
  }
  for (int i = kIdBytes; i < kSecondaryAddressLength; ++i) {
    if (pattern[i] != kWildcardByte && pattern[i] != address[i]) return 1;
  }
  return 0;
}

void DeviceSecondaryAddress(Element device, uint8_t out[kSecondaryAddressLength]) {
  const char* id = AttributeText(device, "IdNumber");
  out[0] = PairAt(id, 7);
  out[1] = PairAt(id, 5);
  out[2] = PairAt(id, 3);
  out[3] = PairAt(id, 1);
  out[kManufacturerLow] = kManufacturerZqx[0];
  out[kManufacturerLow + 1] = kManufacturerZqx[1];
  out[kVersion] = kVersionByte;
  out[kMedium] = PairAt(AttributeText(device, "Medium"), 1);
}

Element MeterForWrite(const Gateway& gateway, uint8_t a) {
  if (a == kAddressSelected && gateway.selection.selected) return gateway.selection.meter;
  return FindDeviceByPrimaryAddress(gateway.tree, a);
}

bool HandleSelection(Gateway& gateway, const FrameBuffer& frame, Answer& answer) {
  if (frame.bytes[kLongL] < kMinSelectionL) {
    LogTrace("M-Bus error, selection frame too short for a secondary address\n");
    return false;
  }
  Element device = FirstMatchingDevice(gateway, frame.bytes + kLongData);
  if (device == nullptr) return false;

  uint8_t* request = gateway.modbusRequest;
  const int length = BuildInitRequest(device, request);
  const int result =
      ExchangeWithMeter(gateway, device, "Request to Modbus Meter\n", request, length, kOtherAttempts);
  LogTrace("Response from Modbus Meter\n");
  DumpTrace(gateway.modbusResponse, result);

  if (result < kWorstAcceptedInitResult) {
    LogTrace("Modbus error, errno = %d\n", result);
    return false;
  }
  gateway.selection.selected = true;
  gateway.selection.meter = device;
  return AnswerAck(answer);
}
