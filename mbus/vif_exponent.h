#pragma once
// The unit exponent of a VIF (EN 13757-3): for energy, volume, power, flow,
// temperatures and pressure the primary VIF's low bits, for voltage and
// current those of the VIFE after FDh, say the power of ten the value is
// counted in. A scale factor a device gives in a register of its own goes
// there, so that the value bytes stay exactly as read.
#include <cstdint>

namespace kestrel {

// Where a VIB holds its unit exponent: the byte (index into the VIB) and the
// bits of the field; at is -1 when its unit has none a scale can move.
struct ExponentField {
  int at = -1;
  uint8_t mask = 0;
};

ExponentField FindExponentField(const uint8_t* vib, int length);

// The byte with scale added to the number in its field; false when that
// number leaves the field (below 0 or above the mask).
bool ScaleExponent(uint8_t byte, uint8_t mask, int scale, uint8_t& scaled);

// The VIFs whose exponent a scale moves, for the README's table and kestrel-check.
struct ScalableVif {
  bool afterFd;     // a VIFE after the VIF FDh
  uint8_t first;    // the code with exponent field 0, extension bit clear
  uint8_t mask;     // the exponent field
  const char* unit;  // with exponent field 0
};
extern const ScalableVif kScalableVifs[];
extern const int kScalableVifCount;

}  // namespace kestrel
