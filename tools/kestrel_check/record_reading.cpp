#include "tools/kestrel_check/record_reading.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "checks/number_text.h"
#include "mbus/record_header.h"

namespace kestrel {
namespace {

constexpr uint8_t kVifCodeMask = 0x7F;
constexpr uint8_t kFirstExtensionTable = 0xFB;   // VIF FBh: the code is in the next byte
constexpr uint8_t kSecondExtensionTable = 0xFD;  // VIF FDh: the code is in the next byte
constexpr uint8_t kFabricationNumber = 0x78;
constexpr uint8_t kEnhancedIdentification = 0x79;
constexpr size_t kIdentificationDigits = 8;

// EN 13757-3 data field codes and the value bytes each announces (-1: none
// decoded here: selection for readout, variable length, special functions).
constexpr int kDataFieldBytes[16] = {0, 1, 2, 3, 4, 4, 6, 8, -1, 1, 2, 3, 4, -1, 6, -1};
constexpr uint8_t kFirstBcdDataField = 0x09;
constexpr uint8_t kNegativeBcdNibble = 0x0F;  // the top nibble of a negative BCD number

// A run of VIF codes, first to last, whose value is 10^(offset + code -
// first) of units[0]; units[k] is 10^(3k) of units[0].
struct UnitRun {
  uint8_t first;
  uint8_t last;
  int offset;
  const char* quantity;
  const char* units[3];
};

constexpr UnitRun kPrimaryUnits[] = {
    {0x00, 0x07, -3, "energy", {"Wh", "kWh", "MWh"}},
    {0x08, 0x0F, 0, "energy", {"J", "kJ", "MJ"}},
    {0x10, 0x17, -3, "volume", {"l", "m³", nullptr}},
    {0x18, 0x1F, -3, "mass", {"kg", "t", nullptr}},
    {0x28, 0x2F, -3, "power", {"W", "kW", "MW"}},
    {0x30, 0x37, 0, "power", {"J/h", "kJ/h", "MJ/h"}},
    {0x38, 0x3F, -3, "volume flow", {"l/h", "m³/h", nullptr}},
    {0x40, 0x47, -4, "volume flow", {"l/min", "m³/min", nullptr}},
    {0x48, 0x4F, -6, "volume flow", {"l/s", "m³/s", nullptr}},
    {0x50, 0x57, -3, "mass flow", {"kg/h", "t/h", nullptr}},
    {0x58, 0x5B, -3, "flow temperature", {"°C", nullptr, nullptr}},
    {0x5C, 0x5F, -3, "return temperature", {"°C", nullptr, nullptr}},
    {0x60, 0x63, -3, "temperature difference", {"K", nullptr, nullptr}},
    {0x64, 0x67, -3, "external temperature", {"°C", nullptr, nullptr}},
    {0x68, 0x6B, -3, "pressure", {"bar", nullptr, nullptr}},
};

constexpr UnitRun kSecondTableUnits[] = {
    {0x40, 0x4F, -9, "voltage", {"V", "kV", nullptr}},
    {0x50, 0x5F, -12, "current", {"A", "kA", nullptr}},
};

// Times whose code's low two bits name the unit.
struct DurationRun {
  uint8_t first;
  const char* quantity;
};
constexpr DurationRun kDurations[] = {
    {0x20, "on time"}, {0x24, "operating time"}, {0x70, "averaging duration"}, {0x74, "actuality duration"}};
constexpr const char* kDurationUnits[4] = {"s", "min", "h", "d"};
constexpr uint8_t kDurationUnitMask = 0x03;

// The unit a VIF names: the value is 10^exponent unit.
struct Unit {
  const char* quantity = nullptr;  // nullptr: not decoded
  const char* name = "";
  int exponent = 0;
  bool identification = false;  // shown as its eight digits
};

// The largest unit of the run in which the value still reads to at most
// two decimals of its own step.
Unit Scaled(const UnitRun& run, uint8_t code) {
  Unit unit;
  unit.quantity = run.quantity;
  const int exponent = run.offset + (code - run.first);
  int step = 0;
  while (step < 2 && run.units[step + 1] != nullptr && 3 * (step + 1) <= exponent + 2) ++step;
  unit.name = run.units[step];
  unit.exponent = exponent - 3 * step;
  return unit;
}

template <size_t N>
bool FindRun(const UnitRun (&runs)[N], uint8_t code, Unit& unit) {
  for (const UnitRun& run : runs) {
    if (code >= run.first && code <= run.last) {
      unit = Scaled(run, code);
      return true;
    }
  }
  return false;
}

Unit PrimaryUnit(uint8_t code) {
  Unit unit;
  if (FindRun(kPrimaryUnits, code, unit)) return unit;
  for (const DurationRun& run : kDurations) {
    if ((code & ~kDurationUnitMask) == run.first) {
      unit.quantity = run.quantity;
      unit.name = kDurationUnits[code & kDurationUnitMask];
      return unit;
    }
  }
  if (code == kFabricationNumber || code == kEnhancedIdentification) {
    unit.quantity = code == kFabricationNumber ? "fabrication number" : "enhanced identification";
    unit.identification = true;
  }
  return unit;
}

// The unit of a Vib, and how many of its bytes it took (the rest are VIFEs
// it does not decode).
Unit UnitOf(const DataRecord& record, int& used) {
  used = 0;
  if (record.vibLength < 1) return Unit();
  const uint8_t vif = record.vib[0];
  used = 1;
  if (vif == kSecondExtensionTable && record.vibLength >= 2) {
    used = 2;
    Unit unit;
    FindRun(kSecondTableUnits, record.vib[1] & kVifCodeMask, unit);
    return unit;
  }
  if (vif == kFirstExtensionTable) return Unit();
  return PrimaryUnit(vif & kVifCodeMask);
}

// digits x 10^exponent written out, sign first: "65.5" for 655 at -1.
std::string PlainDecimal(bool negative, std::string digits, int exponent) {
  if (exponent >= 0) {
    digits.append(static_cast<size_t>(exponent), '0');
  } else {
    const size_t decimals = static_cast<size_t>(-exponent);
    if (digits.size() <= decimals) digits.insert(0, decimals + 1 - digits.size(), '0');
    digits.insert(digits.size() - decimals, ".");
  }
  const size_t lead = digits.find_first_not_of('0');
  if (lead == std::string::npos) digits = "0";
  else if (lead > 0 && digits[lead] != '.') digits.erase(0, lead);
  else if (lead > 1) digits.erase(0, lead - 1);
  return (negative ? "-" : "") + digits;
}

struct Number {
  bool decoded = false;
  bool negative = false;
  std::string digits;
  int exponent = 0;
};

Number Integer(const uint8_t* bytes, int count) {
  uint64_t raw = 0;
  for (int i = count - 1; i >= 0; --i) raw = raw << 8 | bytes[i];
  // M-Bus integers (type B) are signed.
  const int bits = 8 * count;
  if (bits < 64 && ((raw >> (bits - 1)) & 1) != 0) raw |= ~uint64_t{0} << bits;
  const int64_t value = static_cast<int64_t>(raw);
  Number number;
  number.decoded = true;
  number.negative = value < 0;
  const uint64_t magnitude = number.negative ? ~raw + 1 : raw;
  number.digits = std::to_string(magnitude);
  return number;
}

// Most significant digit first; an F in the top nibble makes it negative.
Number Bcd(const uint8_t* bytes, int count) {
  Number number;
  for (int i = 2 * count - 1; i >= 0; --i) {
    const int nibble = (bytes[i / 2] >> (4 * (i % 2))) & 0x0F;
    if (i == 2 * count - 1 && nibble == kNegativeBcdNibble) {
      number.negative = true;
    } else if (nibble > 9) {
      return Number();
    } else {
      number.digits += static_cast<char>('0' + nibble);
    }
  }
  number.decoded = true;
  return number;
}

// The fewest significant digits that read back as the same float.
Number Real(const uint8_t* bytes) {
  float value = 0;
  std::memcpy(&value, bytes, sizeof value);  // both little-endian IEEE 754 on our targets
  Number number;
  char text[32];
  for (int precision = 1; precision <= 9; ++precision) {
    std::snprintf(text, sizeof text, "%.*e", precision - 1, static_cast<double>(value));
    if (std::strtof(text, nullptr) == value || precision == 9) break;
  }
  char* mark = std::strchr(text, 'e');
  if (mark == nullptr) return number;  // inf or nan
  number.decoded = true;
  number.negative = text[0] == '-';
  for (const char* c = text; c < mark; ++c) {
    if (*c >= '0' && *c <= '9') number.digits += *c;
  }
  number.exponent = std::atoi(mark + 1) - static_cast<int>(number.digits.size() - 1);
  return number;
}

// The value by its data field; undecoded (its bytes shown) when the field
// announces another length than the record carries.
Number ValueOf(const DataRecord& record, uint8_t dataField) {
  const int announced = kDataFieldBytes[dataField];
  if (announced <= 0 || announced != record.valueLength) return Number();
  if (dataField == kRealDataField) return Real(record.value);
  if (dataField >= kFirstBcdDataField) return Bcd(record.value, record.valueLength);
  return Integer(record.value, record.valueLength);
}

}  // namespace

std::string VifMeaning(const DataRecord& record) {
  int used = 0;
  const Unit unit = UnitOf(record, used);
  if (unit.quantity == nullptr) return "";
  if (unit.identification) return std::string(" (") + unit.quantity + ")";
  const std::string step = unit.exponent == 0 ? "" : PlainDecimal(false, "1", unit.exponent) + " ";
  return std::string(" (") + unit.quantity + ", " + step + unit.name + ")";
}

std::string ReadingOf(const DataRecord& record) {
  const RecordHeaderFields header = DecodeRecordHeader(record.dif, record.difLength);
  Number number = ValueOf(record, header.dataField);
  int used = 0;
  const Unit unit = UnitOf(record, used);
  std::string value = "value bytes " + HexBytes(record.value, record.valueLength);
  if (number.decoded && unit.identification) {
    const size_t shown = number.digits.size() < kIdentificationDigits ? kIdentificationDigits : number.digits.size();
    value = (number.negative ? "-" : "") + std::string(shown - number.digits.size(), '0') + number.digits;
  } else if (number.decoded) {
    value = PlainDecimal(number.negative, number.digits, number.exponent + unit.exponent);
  }
  if (unit.quantity == nullptr) return value + ", VIF " + HexBytes(record.vib, record.vibLength);
  std::string text = std::string(unit.quantity) + " " + value;
  if (number.decoded && !unit.identification) text += std::string(" ") + unit.name;
  if (used < record.vibLength) text += ", VIFE " + HexBytes(record.vib + used, record.vibLength - used);
  return text;
}

}  // namespace kestrel
