#include "modbus/value_number.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>

namespace kestrel {
namespace {

constexpr int kDecimalBase = 10;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

const char* SkipDigits(const char* at) {
  while (IsDigit(*at)) ++at;
  return at;
}

// The digits from at as one number; false when it needs more than 64 bits.
bool Magnitude(const char* at, const char* end, uint64_t& magnitude) {
  magnitude = 0;
  for (; at != end; ++at) {
    const uint64_t digit = static_cast<uint64_t>(*at - '0');
    if (magnitude > (UINT64_MAX - digit) / kDecimalBase) return false;
    magnitude = magnitude * kDecimalBase + digit;
  }
  return true;
}

// <0, 0, >0 as a is less than, equal to or greater than b.
int CompareIntegers(const ValueNumber& a, const ValueNumber& b) {
  if (a.negative != b.negative) return a.negative ? -1 : 1;
  if (a.magnitude == b.magnitude) return 0;
  // Of two negative numbers the one of the larger magnitude is the smaller.
  return (a.magnitude > b.magnitude) != a.negative ? 1 : -1;
}

}  // namespace

bool ParseValueNumber(const char* text, bool real, ValueNumber& number) {
  if (text == nullptr) return false;
  const char* at = text;
  const bool negative = *at == '-';
  if (*at == '+' || *at == '-') ++at;
  const char* digits = at;
  const char* digitsEnd = SkipDigits(digits);
  if (digitsEnd == digits) return false;
  at = digitsEnd;
  if (real && *at == '.') {
    const char* fraction = at + 1;
    at = SkipDigits(fraction);
    if (at == fraction) return false;
  }
  if (*at != '\0') return false;
  ValueNumber parsed;
  if (real) {
    parsed.isReal = true;
    parsed.real = std::strtof(text, nullptr);  // the nearest 32-bit real; beyond its range infinite
  } else {
    if (!Magnitude(digits, digitsEnd, parsed.magnitude)) return false;
    parsed.negative = negative && parsed.magnitude != 0;
  }
  number = parsed;
  return true;
}

bool IsBelow(const ValueNumber& value, const ValueNumber& limit) {
  return value.isReal ? !(value.real >= limit.real) : CompareIntegers(value, limit) < 0;
}

bool IsAbove(const ValueNumber& value, const ValueNumber& limit) {
  return value.isReal ? !(value.real <= limit.real) : CompareIntegers(value, limit) > 0;
}

ValueText TextOf(const ValueNumber& number) {
  ValueText text{};
  if (number.isReal) {
    std::snprintf(text.text, sizeof text.text, "%.9g", static_cast<double>(number.real));
  } else {
    std::snprintf(text.text, sizeof text.text, "%s%" PRIu64, number.negative ? "-" : "", number.magnitude);
  }
  return text;
}

}  // namespace kestrel
