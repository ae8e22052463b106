#pragma once
// The number an SND_UD's value bytes carry, and the limits (WriteMin,
// WriteMax) it is held against. Integers are kept exactly as sign and
// magnitude, so that every INT64 and every UINT64 value fits (the 32-bit
// controller has no 128-bit integers); reals as the 32-bit real a FLOAT
// value is.
#include <cstdint>

namespace kestrel {

struct ValueNumber {
  uint64_t magnitude = 0;  // integers
  float real = 0;          // reals
  bool isReal = false;
  bool negative = false;   // integers; never set for zero
};

// The whole text as a decimal number: an optional sign and digits, and for
// a real also an optional fraction ("-12", "+7", "0.25"); no blanks, no
// exponent, and an integer's magnitude within 64 bits. A real is rounded to
// the nearest 32-bit real, so that "0.1" admits the 0.1 a master writes.
// false when the text is not such a number.
bool ParseValueNumber(const char* text, bool real, ValueNumber& number);

// Whether value lies below (above) limit; both integers or both reals. A
// real that is not a number lies below and above every limit.
bool IsBelow(const ValueNumber& value, const ValueNumber& limit);
bool IsAbove(const ValueNumber& value, const ValueNumber& limit);

// "-12", "12.5", "nan": integers in full, reals to the 9 significant digits
// that tell every 32-bit real apart.
struct ValueText {
  char text[32];
};
ValueText TextOf(const ValueNumber& number);

}  // namespace kestrel
