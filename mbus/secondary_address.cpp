#include "mbus/secondary_address.h"

#include <cstring>

#include "mbus/identity.h"
#include "support/hex_text.h"

namespace kestrel {
namespace {

// Secondary address layout: identification number (BCD, LSB first),
// manufacturer (2 bytes), version, medium.
constexpr int kIdBytes = 4;
constexpr int kManufacturerAt = 4;
constexpr int kVersionAt = 6;
constexpr int kMediumAt = 7;

constexpr uint8_t kWildcardDigit = 0x0F;
constexpr uint8_t kWildcardByte = 0xFF;

bool IsHexLetterDigit(uint8_t nibble) { return nibble >= 0x0A && nibble <= 0x0E; }

// Characters first and first + 1 (counted from 1) as one hex byte; a pair
// running past the end of the text, or not hexadecimal, gives FFh.
uint8_t PairAt(const char* text, size_t first) {
  const size_t length = text != nullptr ? std::strlen(text) : 0;
  if (first + 1 > length) return kWildcardByte;
  const int value = HexPair(text[first - 1], text[first]);
  return value < 0 ? kWildcardByte : static_cast<uint8_t>(value);
}

bool PatternIdValid(uint8_t p) { return !IsHexLetterDigit(p & 0x0F) && !IsHexLetterDigit(p >> 4); }
bool AddressIdValid(uint8_t d) { return (d & 0x0F) <= 9 && (d >> 4) <= 9; }

bool NibbleMatches(uint8_t pattern, uint8_t address) {
  return pattern == kWildcardDigit || pattern == address;
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

void OwnSecondaryAddress(const char* idNumber, const char* medium,
                         uint8_t out[kSecondaryAddressLength]) {
  out[0] = PairAt(idNumber, 7);
  out[1] = PairAt(idNumber, 5);
  out[2] = PairAt(idNumber, 3);
  out[3] = PairAt(idNumber, 1);
  out[kManufacturerAt] = kManufacturerZqx[0];
  out[kManufacturerAt + 1] = kManufacturerZqx[1];
  out[kVersionAt] = kVersionByte;
  out[kMediumAt] = PairAt(medium, 1);
}

}  // namespace kestrel
