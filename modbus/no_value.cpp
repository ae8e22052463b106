#include "modbus/no_value.h"

#include <cstdio>
#include <cstring>

#include "support/hex_text.h"

namespace kestrel {
namespace {

constexpr int kMinNoValueBytes = 2;  // one register
constexpr uint32_t kFloatExponentMask = 0x7F800000u;  // all ones: infinity or NaN
constexpr uint32_t kFloatMantissaMask = 0x007FFFFFu;  // not zero with such an exponent: NaN

// SunSpec's "not implemented" register contents, by type (FLOAT: any NaN).
struct SunSpecSentinel {
  ModbusType type;
  uint64_t contents;
};
constexpr SunSpecSentinel kSunSpecSentinels[] = {
    {ModbusType::kInt16, 0x8000u},
    {ModbusType::kUint16, 0xFFFFu},
    {ModbusType::kInt32, 0x80000000u},
    {ModbusType::kUint32, 0xFFFFFFFFu},
    {ModbusType::kInt64, 0x8000000000000000u},
    {ModbusType::kUint64, 0xFFFFFFFFFFFFFFFFu},
};

// The contents as the registers carry them: most significant byte first.
NoValue BytesOf(uint64_t contents, int length) {
  NoValue noValue;
  noValue.kind = NoValue::Kind::kBytes;
  noValue.length = length;
  for (int i = 0; i < length; ++i) noValue.bytes[i] = static_cast<uint8_t>(contents >> (8 * (length - 1 - i)));
  return noValue;
}

bool IsNaN(const uint8_t* registers, const OrderSelectors& orders) {
  uint8_t value[kMaxNoValueBytes] = {};
  if (RegistersToMBus(value, registers, ModbusType::kFloat, orders) < 0) return false;
  const uint32_t bits = uint32_t{value[0]} | uint32_t{value[1]} << 8 | uint32_t{value[2]} << 16 |
                        uint32_t{value[3]} << 24;
  return (bits & kFloatExponentMask) == kFloatExponentMask && (bits & kFloatMantissaMask) != 0;
}

}  // namespace

bool ParseNoValue(const char* text, NoValue& noValue) {
  const size_t digits = std::strlen(text);
  if (digits % 2 != 0 || digits < 2 * kMinNoValueBytes || digits > 2 * kMaxNoValueBytes) return false;
  NoValue parsed;
  parsed.kind = NoValue::Kind::kBytes;
  parsed.length = static_cast<int>(digits / 2);
  for (int i = 0; i < parsed.length; ++i) {
    const int byte = HexPair(text[2 * i], text[2 * i + 1]);
    if (byte < 0) return false;
    parsed.bytes[i] = static_cast<uint8_t>(byte);
  }
  noValue = parsed;
  return true;
}

NoValue SunSpecNoValue(ModbusType type) {
  NoValue noValue;
  if (type == ModbusType::kFloat) noValue.kind = NoValue::Kind::kAnyNaN;
  for (const SunSpecSentinel& sentinel : kSunSpecSentinels) {
    if (sentinel.type == type) noValue = BytesOf(sentinel.contents, 2 * RegisterCount(type));
  }
  return noValue;
}

bool HoldsNoValue(const NoValue& noValue, const uint8_t* registers, ModbusType type, const OrderSelectors& orders) {
  switch (noValue.kind) {
    case NoValue::Kind::kNone: return false;
    case NoValue::Kind::kAnyNaN: return type == ModbusType::kFloat && IsNaN(registers, orders);
    case NoValue::Kind::kBytes: break;
  }
  return noValue.length == 2 * RegisterCount(type) &&
         std::memcmp(noValue.bytes, registers, static_cast<size_t>(noValue.length)) == 0;
}

NoValueText TextOf(const NoValue& noValue) {
  NoValueText shown{};
  if (noValue.kind == NoValue::Kind::kAnyNaN) std::snprintf(shown.text, sizeof shown.text, "NaN");
  for (int i = 0; noValue.kind == NoValue::Kind::kBytes && i < noValue.length; ++i) {
    std::snprintf(shown.text + 2 * i, sizeof shown.text - static_cast<size_t>(2 * i), "%02X", noValue.bytes[i]);
  }
  return shown;
}

}  // namespace kestrel
