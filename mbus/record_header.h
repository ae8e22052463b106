#pragma once
// Data record headers: the DIF and up to ten DIFEs computed from an Object's
// Function, MBusDT, Storage, Tariff and SubUnit, and the VIF/VIFE bytes copied
// from its Vib text.
#include <cstdint>

namespace kestrel {

constexpr int kMaxDifes = 10;
constexpr int kMaxRecordHeaderLength = 1 + kMaxDifes;
// DIF 1Fh closes the records of a telegram when more follow in the next one.
constexpr uint8_t kDifMoreRecordsFollow = 0x1F;
// Bit 7 of a DIF, DIFE, VIF or VIFE: another such byte follows.
constexpr uint8_t kExtensionBit = 0x80;
// Data field 5 (the DIF's low four bits): a 32-bit real number.
constexpr uint8_t kRealDataField = 0x05;
// The DIF's data field (bits 3-0), and its code 0000b: "no data", no value bytes follow.
constexpr uint8_t kDataFieldMask = 0x0F;
constexpr uint8_t kNoDataField = 0x00;

// 0 for 0, else the position of the highest set bit plus one.
int BitLength(uint64_t value);

// Writes DIF and DIFEs to out (room for kMaxRecordHeaderLength bytes) and
// returns their count (1 to 11), or -1 when function is above 3.
int EncodeRecordHeader(uint8_t* out, unsigned function, uint8_t dataField, uint64_t storage,
                       uint32_t tariff, uint32_t subunit);

// What a master reads from a DIF and its DIFEs.
struct RecordHeaderFields {
  unsigned function = 0;
  uint8_t dataField = 0;
  uint64_t storage = 0;
  uint32_t tariff = 0;
  uint32_t subunit = 0;
};

// The fields of the DIF at dif[0] and the DIFEs after it, as far as their
// extension bits go and within length bytes.
RecordHeaderFields DecodeRecordHeader(const uint8_t* dif, int length);

// One byte per pair of hexadecimal digits; pairs that do not convert (and an
// odd last digit) are skipped. Returns the count, or -1 when the bytes would
// not fit into capacity (nothing beyond capacity is written).
int VibToBytes(const char* vib, uint8_t* out, int capacity);

}  // namespace kestrel
