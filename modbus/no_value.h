#pragma once
// "No value": register contents by which a device says it has no value to
// give (SunSpec devices, for one, fill a register they cannot measure with
// 8000h or FFFFh). Matched against the registers as read off the wire,
// before any conversion, so that such contents never pass for a number.
#include <cstdint>

#include "modbus/value_conversion.h"

namespace kestrel {

constexpr int kMaxNoValueBytes = 8;  // four registers

struct NoValue {
  enum class Kind : uint8_t {
    kNone,    // every content is a value
    kBytes,   // exactly these register bytes, wire order
    kAnyNaN,  // a FLOAT whose 32 bits are any NaN
  };
  Kind kind = Kind::kNone;
  uint8_t bytes[kMaxNoValueBytes] = {};
  int length = 0;  // with kBytes: 2 to 8, two per register
};

// The hexadecimal text as register bytes, as read off the wire ("8000",
// "FFFFFFFF"): an even count of 4 to 16 digits, nothing else. false when it
// is not such a text.
bool ParseNoValue(const char* text, NoValue& noValue);

// What a SunSpec device writes for "no value" in a register of the type:
// INT16 8000h, UINT16 FFFFh, INT32 80000000h, UINT32 FFFFFFFFh, FLOAT any
// NaN, INT64 8000000000000000h, UINT64 FFFFFFFFFFFFFFFFh; the other types
// have none (kNone).
NoValue SunSpecNoValue(ModbusType type);

// Whether the registers (2 x n bytes of the type, wire order) hold the
// device's "no value"; a FLOAT's NaN is found through the FLOAT order.
bool HoldsNoValue(const NoValue& noValue, const uint8_t* registers, ModbusType type,
                  const OrderSelectors& orders);

// The sentinel as written ("8000", "NaN", ""), for trace lines.
struct NoValueText {
  char text[2 * kMaxNoValueBytes + 1];
};
NoValueText TextOf(const NoValue& noValue);

}  // namespace kestrel
