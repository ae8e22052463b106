#pragma once
// Secondary addresses (identification number, manufacturer, version,
// medium) and the wildcard match by which a selection frame (CI 52h)
// chooses a meter.
#include <cstdint>

namespace kestrel {

constexpr int kSecondaryAddressLength = 8;

// -1 when either side is not a valid secondary address of its kind (the
// pattern may hold Fh digits and FFh bytes as wildcards, the address not),
// 0 when the pattern matches, 1 when it does not.
int MatchSecondaryAddress(const uint8_t pattern[kSecondaryAddressLength],
                          const uint8_t address[kSecondaryAddressLength]);

// An emulated meter's own secondary address from the texts of its IdNumber
// and Medium: the IdNumber's characters as BCD digit pairs (7-8, 5-6, 3-4,
// 1-2), the fixed manufacturer ZQX and version 10h, and the Medium's first
// pair. Pairs that do not convert, or run past the text, give FFh, which
// makes the address invalid.
void OwnSecondaryAddress(const char* idNumber, const char* medium,
                         uint8_t out[kSecondaryAddressLength]);

}  // namespace kestrel
