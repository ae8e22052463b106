#pragma once
// Which emulated meter a request is meant for: by primary address (the A
// field), as FDh for the meter chosen by secondary addressing, or chosen by
// a selection frame (CI 52h) that carries a secondary address with wildcards.
#include <cstdint>

#include "core/gateway.h"

constexpr int kSecondaryAddressLength = 8;

// -1 when either side is not a valid secondary address of its kind (the
// pattern may hold Fh digits and FFh bytes as wildcards, the address not),
// 0 when the pattern matches, 1 when it does not.
int MatchSecondaryAddress(const uint8_t pattern[kSecondaryAddressLength],
                          const uint8_t address[kSecondaryAddressLength]);

// A Device's own secondary address: IdNumber read as BCD digit pairs, the
// fixed manufacturer ZQX and version 10h, and Medium. Pairs that do not
// convert give FFh, which makes the address invalid.
void DeviceSecondaryAddress(Element device, uint8_t out[kSecondaryAddressLength]);

// The meter for SND_UD and application reset: the selected one for FDh while
// a meter is selected, otherwise the one at primary address a (FEh included).
Element MeterForWrite(const Gateway& gateway, uint8_t a);

// Selection frame (CI 52h): selects the first matching meter once its
// initialising request got a Modbus response, and answers E5h.
bool HandleSelection(Gateway& gateway, const FrameBuffer& frame, Answer& answer);
