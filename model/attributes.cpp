#include "model/attributes.h"

#include <cstdlib>

namespace kestrel {
namespace {

constexpr int kWidestNarrowReader = 16;  // 8- and 16-bit readings are always unsigned

int BaseOf(const Attribute& attribute) { return attribute.reading == Reading::kHexadecimal ? 16 : 10; }

uint64_t CutToBits(uint64_t value, int bits) {
  return bits >= 64 ? value : value & ((uint64_t{1} << bits) - 1);
}

}  // namespace

uint64_t UnsignedValue(const Attribute& attribute, const char* text) {
  return std::strtoull(text != nullptr ? text : "", nullptr, BaseOf(attribute));
}

uint64_t NumberOf(const Attribute& attribute, const char* text) {
  const bool signedReading = attribute.bits > kWidestNarrowReader && attribute.reading == Reading::kDecimal;
  const uint64_t value = signedReading
                             ? static_cast<uint64_t>(std::strtoll(text != nullptr ? text : "", nullptr, 10))
                             : UnsignedValue(attribute, text);
  return CutToBits(value, attribute.bits);
}

}  // namespace kestrel
