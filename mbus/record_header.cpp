#include "mbus/record_header.h"

#include <algorithm>
#include <cstring>

#include "support/hex_text.h"

namespace kestrel {
namespace {

constexpr unsigned kMaxFunction = 3;
// Bits each DIFE adds: four of the storage number, two of the tariff, one of
// the subunit.
constexpr int kStorageBitsPerDife = 4;
constexpr int kTariffBitsPerDife = 2;
constexpr int kSubunitBitsPerDife = 1;
// DIF: bit 6 storage bit 0, bits 5-4 function, bits 3-0 the data field.
constexpr uint8_t kDifStorageBit = 0x40;
constexpr int kFunctionShift = 4;
constexpr uint8_t kFunctionMask = 0x03;
// DIFE: bit 6 a subunit bit, bits 5-4 two tariff bits, bits 3-0 four storage bits.
constexpr uint8_t kDifeSubunitBit = 0x40;
constexpr int kDifeTariffShift = 4;

// DIFEs needed for the highest of the three numbers; the DIF itself carries
// storage bit 0.
int DifeCount(uint64_t storage, uint32_t tariff, uint32_t subunit) {
  // Storage bits beyond bit 0, scaled so that one DIFE is worth four units.
  const int need = std::max({BitLength(storage) - 1, 2 * BitLength(tariff), 4 * BitLength(subunit)});
  const int count = (need + kStorageBitsPerDife - 1) / kStorageBitsPerDife;
  return std::min(count, kMaxDifes);
}

// DIF: bit 6 storage bit 0, bits 5-4 function, bits 3-0 the data field code
// (added, not masked).
uint8_t Dif(unsigned function, uint8_t dataField, uint64_t storage) {
  return static_cast<uint8_t>(dataField + 16u * function + 64u * static_cast<unsigned>(storage % 2));
}

// DIFE i: bit 6 subunit bit i, bits 5-4 tariff bits 2i+1..2i, bits 3-0
// storage bits 4i+4..4i+1.
uint8_t Dife(int i, uint64_t storage, uint32_t tariff, uint32_t subunit) {
  const unsigned storageBits = static_cast<unsigned>((storage >> (kStorageBitsPerDife * i + 1)) & 0x0F);
  const unsigned tariffBits = (tariff >> (kTariffBitsPerDife * i)) & 0x03;
  const unsigned subunitBit = (subunit >> (kSubunitBitsPerDife * i)) & 0x01;
  return static_cast<uint8_t>(storageBits + 16u * tariffBits + 64u * subunitBit);
}

}  // namespace

int BitLength(uint64_t value) {
  int length = 0;
  for (; value != 0; value >>= 1) ++length;
  return length;
}

int EncodeRecordHeader(uint8_t* out, unsigned function, uint8_t dataField, uint64_t storage,
                       uint32_t tariff, uint32_t subunit) {
  const int count = DifeCount(storage, tariff, subunit);
  if (function > kMaxFunction) return -1;
  out[0] = Dif(function, dataField, storage);
  for (int i = 0; i < count; ++i) {
    out[i] |= kExtensionBit;
    out[i + 1] = Dife(i, storage, tariff, subunit);
  }
  return count + 1;
}

RecordHeaderFields DecodeRecordHeader(const uint8_t* dif, int length) {
  RecordHeaderFields fields;
  if (length < 1) return fields;
  fields.function = (dif[0] >> kFunctionShift) & kFunctionMask;
  fields.dataField = dif[0] & kDataFieldMask;
  fields.storage = (dif[0] & kDifStorageBit) != 0 ? 1 : 0;
  for (int i = 0; i < kMaxDifes && i + 1 < length && (dif[i] & kExtensionBit) != 0; ++i) {
    const uint8_t dife = dif[i + 1];
    fields.storage |= uint64_t{dife & 0x0Fu} << (kStorageBitsPerDife * i + 1);
    fields.tariff |= uint32_t{(dife >> kDifeTariffShift) & 0x03u} << (kTariffBitsPerDife * i);
    fields.subunit |= uint32_t{(dife & kDifeSubunitBit) != 0 ? 1u : 0u} << (kSubunitBitsPerDife * i);
  }
  return fields;
}

int VibToBytes(const char* vib, uint8_t* out, int capacity) {
  if (vib == nullptr) return 0;
  const size_t length = std::strlen(vib);
  int count = 0;
  // An odd last digit pairs with the terminating NUL and does not convert.
  for (size_t i = 0; i < length; i += 2) {
    const int byte = HexPair(vib[i], vib[i + 1]);
    if (byte < 0) continue;
    if (count >= capacity) return -1;
    out[count++] = static_cast<uint8_t>(byte);
  }
  return count;
}

}  // namespace kestrel
