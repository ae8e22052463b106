#include "register_image.h"

#include <cstring>

namespace {

constexpr int64_t kGroupBase = 10000;

uint64_t DecimalGroups(int64_t value, int groups) {
  uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  uint64_t raw = 0;
  for (int k = 0; k < groups; ++k) {
    int16_t group = static_cast<int16_t>(magnitude % kGroupBase);
    if (value < 0) group = static_cast<int16_t>(-group);
    raw |= static_cast<uint64_t>(static_cast<uint16_t>(group)) << (16 * k);
    magnitude /= kGroupBase;
  }
  return raw;
}

uint64_t RawValue(const SimValue& v, int64_t seconds) {
  switch (v.type->kind) {
    case ValueKind::kReal: {
      const float real = static_cast<float>(v.startReal + v.stepReal * static_cast<double>(seconds));
      uint32_t bits = 0;
      std::memcpy(&bits, &real, sizeof bits);
      return bits;
    }
    case ValueKind::kDecimalGroups:
      return DecimalGroups(v.start + v.step * seconds, v.type->registers);
    case ValueKind::kInteger:
      break;
  }
  // Unsigned arithmetic: wraps like the device's own counter would.
  return static_cast<uint64_t>(v.start) + static_cast<uint64_t>(v.step) * static_cast<uint64_t>(seconds);
}

// Index into the big-endian image of the byte that goes to wire position i.
int ImageIndex(int order, int i, int byteCount) {
  const int registerCount = byteCount / 2;
  switch (order) {
    case 1: return byteCount - 1 - i;
    case 2: return 2 * (registerCount - 1 - i / 2) + i % 2;
    case 3: return 2 * (i / 2) + 1 - i % 2;
    default: return i;
  }
}

}  // namespace

void EncodeRegisters(const SimValue& value, int64_t seconds, uint16_t* registers) {
  const int byteCount = 2 * value.type->registers;
  const uint64_t raw = RawValue(value, seconds);
  uint8_t image[8];
  for (int i = 0; i < byteCount; ++i) image[i] = static_cast<uint8_t>(raw >> (8 * (byteCount - 1 - i)));
  uint8_t wire[8];
  for (int i = 0; i < byteCount; ++i) wire[i] = image[ImageIndex(value.order, i, byteCount)];
  for (int k = 0; k < value.type->registers; ++k) {
    registers[k] = static_cast<uint16_t>(wire[2 * k] << 8 | wire[2 * k + 1]);
  }
}
