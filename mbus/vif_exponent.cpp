#include "mbus/vif_exponent.h"

#include "mbus/record_header.h"

namespace kestrel {
namespace {

constexpr uint8_t kVifFd = 0xFD;  // the VIFE after it names the unit (main extension table)
constexpr uint8_t kCodeBits = static_cast<uint8_t>(~kExtensionBit);  // a VIF or VIFE without its extension bit
constexpr uint8_t kThreeBits = 0x07;
constexpr uint8_t kTwoBits = 0x03;
constexpr uint8_t kFourBits = 0x0F;

const ScalableVif* Find(bool afterFd, uint8_t code) {
  for (int i = 0; i < kScalableVifCount; ++i) {
    const ScalableVif& vif = kScalableVifs[i];
    if (vif.afterFd == afterFd && (code & static_cast<uint8_t>(~vif.mask)) == vif.first) return &vif;
  }
  return nullptr;
}

}  // namespace

const ScalableVif kScalableVifs[] = {
    {false, 0x00, kThreeBits, "energy, 1e-3 Wh"},
    {false, 0x08, kThreeBits, "energy, 1 J"},
    {false, 0x10, kThreeBits, "volume, 1e-6 m3"},
    {false, 0x28, kThreeBits, "power, 1e-3 W"},
    {false, 0x30, kThreeBits, "power, 1 J/h"},
    {false, 0x38, kThreeBits, "volume flow, 1e-6 m3/h"},
    {false, 0x40, kThreeBits, "volume flow, 1e-7 m3/min"},
    {false, 0x48, kThreeBits, "volume flow, 1e-9 m3/s"},
    {false, 0x50, kThreeBits, "mass flow, 1e-3 kg/h"},
    {false, 0x58, kTwoBits, "flow temperature, 1e-3 C"},
    {false, 0x5C, kTwoBits, "return temperature, 1e-3 C"},
    {false, 0x60, kTwoBits, "temperature difference, 1e-3 K"},
    {false, 0x64, kTwoBits, "external temperature, 1e-3 C"},
    {false, 0x68, kTwoBits, "pressure, 1e-3 bar"},
    {true, 0x40, kFourBits, "voltage, 1e-9 V"},
    {true, 0x50, kFourBits, "current, 1e-12 A"},
};
const int kScalableVifCount = static_cast<int>(sizeof kScalableVifs / sizeof kScalableVifs[0]);

ExponentField FindExponentField(const uint8_t* vib, int length) {
  ExponentField field;
  if (vib == nullptr || length < 1) return field;
  const bool afterFd = vib[0] == kVifFd;
  if (afterFd && length < 2) return field;
  const int at = afterFd ? 1 : 0;
  const ScalableVif* vif = Find(afterFd, static_cast<uint8_t>(vib[at] & kCodeBits));
  if (vif == nullptr) return field;
  field.at = at;
  field.mask = vif->mask;
  return field;
}

bool ScaleExponent(uint8_t byte, uint8_t mask, int scale, uint8_t& scaled) {
  const int exponent = (byte & mask) + scale;
  if (exponent < 0 || exponent > mask) return false;
  scaled = static_cast<uint8_t>((byte & ~mask) | exponent);
  return true;
}

}  // namespace kestrel
