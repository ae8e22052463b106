#include "checks/attribute_checks.h"

#include <cstdint>
#include <string>

#include "checks/number_text.h"
#include "links/link_settings.h"
#include "mbus/record_header.h"
#include "mbus/vif_exponent.h"
#include "modbus/function_codes.h"
#include "modbus/value_conversion.h"
#include "model/attributes.h"
#include "support/hex_text.h"

namespace kestrel {
namespace {

namespace a = attributes;

// A number attribute, read as the gateway reads it, and the largest value
// that survives the field it is written into (0: what its bits keep).
struct NumberRule {
  const Attribute& attribute;
  uint64_t largest;
  const char* beyond;  // what happens to a larger value
};

constexpr const char* kLowBitsKept = "only its low bits are used";

const NumberRule kDeviceNumbers[] = {
    {a::kPrimaryAddress, 0, kLowBitsKept},
    {a::kSlaveAddress, 0, kLowBitsKept},
    {a::kInitRegister, 0, kLowBitsKept},
    {a::kStatus, 0, kLowBitsKept},
    {a::kInitFunction, 0, kLowBitsKept},
    {a::kBase, 0, kLowBitsKept},
    // Read in base 16 for REQ_UD2 and base 10 for SND_UD: only 0 to 3 agree
    // and name an order, so the decimal reading is checked.
    {a::kFloatModeForSndUd, 3, "selectors are 0 to 3: every FLOAT reads as 0 and no write is sent"},
    {a::kIntReverseForSndUd, 3, "selectors are 0 to 3: every integer reads as 0 and no write is sent"},
};

const NumberRule kObjectNumbers[] = {
    {a::kObjectId, 0, kLowBitsKept},
    {a::kModbusFunction, 0, kLowBitsKept},
    {a::kRegisterRead, 0, kLowBitsKept},
    {a::kRegisterWrite, 0, kLowBitsKept},
    {a::kFunction, 3, "the DIF function field holds 0 to 3: the meter never answers"},
    {a::kMBusDT, 15, "the DIF data field holds 0 to 15: the excess spills into the DIF's other bits"},
    {a::kStorage, (uint64_t{1} << 41) - 1, "a record header carries storage bits 0 to 40 only"},
    {a::kTariff, (uint64_t{1} << 20) - 1, "a record header carries tariff bits 0 to 19 only"},
    {a::kSubUnit, (uint64_t{1} << 10) - 1, "a record header carries subunit bits 0 to 9 only"},
};

const Attribute* const kDeviceTexts[] = {&a::kDeviceId, &a::kIdNumber, &a::kMedium, &a::kComSettings};
const Attribute* const kObjectTexts[] = {&a::kOwnerId, &a::kModbusDT, &a::kVib};

constexpr const char* kParityLetters = "EeOoNnMmSs";
constexpr int kIdNumberDigits = 8;
constexpr int kMediumDigits = 2;
constexpr const char* kWildcardMedium = "FF";

struct Place {
  const CheckedFile& file;
  const std::string element;
  const WrittenElement& written;
};

void Error(const Place& at, const char* attribute, const std::string& message) {
  AddError(at.file.report, at.file.path, at.element + " " + DescribeAttribute(at.written, attribute), message);
}

void Warn(const Place& at, const char* attribute, const std::string& message) {
  AddWarning(at.file.report, at.file.path, at.element + " " + DescribeAttribute(at.written, attribute), message);
}

bool CheckPresent(const Place& at, const char* name) {
  if (at.written.Has(name)) return true;
  Error(at, name, "missing: no attribute has a default");
  return false;
}

uint64_t Largest(const NumberRule& rule) {
  if (rule.largest != 0) return rule.largest;
  return rule.attribute.bits >= 64 ? UINT64_MAX : (uint64_t{1} << rule.attribute.bits) - 1;
}

void CheckNumberText(const Place& at, const NumberRule& rule) {
  const char* name = rule.attribute.name;
  const std::string text = at.written.Text(name);
  const bool hex = rule.attribute.reading == Reading::kHexadecimal;
  const bool readable = hex ? IsHexText(text) : IsDecimalText(text);
  const uint64_t value = UnsignedValue(rule.attribute, text.c_str());
  if (!readable) {
    Error(at, name,
          std::string("not a ") + (hex ? "hexadecimal" : "decimal") + " number: read as " +
              std::to_string(value));
    return;
  }
  if (value > Largest(rule)) {
    Error(at, name, "above " + std::to_string(Largest(rule)) + ": " + rule.beyond);
  }
}

void CheckNumber(const Place& at, const NumberRule& rule) {
  if (CheckPresent(at, rule.attribute.name)) CheckNumberText(at, rule);
}

// Optional, a register number like RegisterRead.
const NumberRule kScaleRegisterRule{a::kScaleRegister, 0, kLowBitsKept};
// Missing, TelegramNr names the first telegram.
const NumberRule kTelegramNrRule{a::kTelegramNr, 0, kLowBitsKept};
// Missing or 0, the meter is read afresh for every REQ_UD2.
const NumberRule kMaxAgeRule{a::kMaxAge, kLongestMaxAgeS, "the gateway takes a day, 86400"};
// Missing or 0, the line's timeout.
const NumberRule kModbusTimeoutRule{a::kModbusTimeout, kLongestModbusTimeoutMs, "the gateway takes a minute, 60000"};

void CheckIdentity(const Place& at) {
  const std::string idNumber = at.written.Text(a::kIdNumber.name);
  if (at.written.Has(a::kIdNumber.name) && !IsDecimalDigits(idNumber, kIdNumberDigits)) {
    Error(at, a::kIdNumber.name,
          "not eight decimal digits: the meter is never selectable by secondary address");
  }
  const std::string medium = at.written.Text(a::kMedium.name);
  if (at.written.Has(a::kMedium.name) && !IsHexDigits(medium, kMediumDigits)) {
    Error(at, a::kMedium.name,
          "not two hexadecimal digits: the meter is never selectable by secondary address");
  } else if (ToUpper(medium) == kWildcardMedium) {
    Error(at, a::kMedium.name,
          "FF is the wildcard medium: the meter is never selectable by secondary address");
  }
}

void CheckModbusUse(const Place& at, const Meter& meter) {
  if (at.written.Has(a::kInitFunction.name) && meter.initFunction == kWriteSingleRegister) {
    Error(at, a::kInitFunction.name,
          "the answer to function 06h is never accepted: SND_NKE and selection of this meter "
          "always fail; use 03 or 04");
  }
  const std::string parity = at.written.Text(a::kComSettings.name);
  if (at.written.Has(a::kComSettings.name) &&
      (parity.empty() || std::string(kParityLetters).find(parity[0]) == std::string::npos)) {
    Warn(at, a::kComSettings.name,
         "does not start with a parity letter E, O, N, M or S: the line keeps its parity");
  }
}

// An optional switch: absent or 0 is off, 1 on; the loader reads any other
// text as a number too, so it may switch on by accident ("257", "1 "), or
// (Writable) as off.
void CheckSwitch(const Place& at, const Attribute& attribute, bool on) {
  if (!at.written.Has(attribute.name)) return;
  const std::string text = at.written.Text(attribute.name);
  if (text == "0" || text == "1") return;
  Error(at, attribute.name, std::string("not 0 or 1: as written the gateway takes it as ") + (on ? "1" : "0"));
}

void CheckDataType(const Place& at, const Record& record) {
  const std::string type = at.written.Text(a::kModbusDT.name);
  if (!at.written.Has(a::kModbusDT.name) || record.modbusType != ModbusType::kUnknown) return;
  if (ModbusTypeNamed(ToUpper(type).c_str()) != ModbusType::kUnknown) {
    Error(at, a::kModbusDT.name,
          "type names are case-sensitive: write " + ToUpper(type) +
              "; as written the meter never answers");
  } else {
    Error(at, a::kModbusDT.name,
          "unknown type (INT16, UINT16, INT32, UINT32, MOD32, FLOAT, INT48, UINT48, MOD48, "
          "INT64, UINT64, MOD64): the meter never answers");
  }
}

// EN 13757-3 data field codes that carry exactly the value bytes of a
// ModbusDT: 2 -> 2, 4 -> 4 (integer) or 5 (real), 6 -> 6, 8 -> 7.
int IntegerDataField(int valueBytes) {
  switch (valueBytes) {
    case 2: return 2;
    case 4: return 4;
    case 6: return 6;
    case 8: return 7;
    default: return -1;
  }
}
constexpr int kLargestDataField = 15;
constexpr int kRealValueBytes = 4;

void CheckDataField(const Place& at, const Record& record) {
  const int registers = RegisterCount(record.modbusType);
  if (registers == 0 || !at.written.Has(a::kMBusDT.name)) return;
  const std::string type = at.written.Text(a::kModbusDT.name);
  const int dataField = record.dataField;
  if (dataField > kLargestDataField) return;  // reported as above 15
  const int valueBytes = 2 * registers;
  const bool isFloat = record.modbusType == ModbusType::kFloat;
  const bool lengthMatches = dataField == IntegerDataField(valueBytes) ||
                             (valueBytes == kRealValueBytes && dataField == kRealDataField);
  const int wanted = isFloat ? kRealDataField : IntegerDataField(valueBytes);
  if (!lengthMatches) {
    Error(at, a::kMBusDT.name,
          "does not match ModbusDT=\"" + type + "\", whose " + std::to_string(valueBytes) +
              " value bytes need MBusDT " + std::to_string(wanted) +
              ": the master misreads the rest of the telegram");
  } else if (dataField != wanted) {
    Warn(at, a::kMBusDT.name,
         std::string("declares a 32-bit ") + (isFloat ? "integer" : "real") + " for ModbusDT=\"" +
             type + "\": use MBusDT " + std::to_string(wanted));
  }
}

void CheckVib(const Place& at) {
  if (!at.written.Has(a::kVib.name)) return;
  const std::string vib = at.written.Text(a::kVib.name);
  if (vib.empty()) {
    Error(at, a::kVib.name, "empty: the record has no VIF");
    return;
  }
  if (vib.size() % 2 != 0) {
    Error(at, a::kVib.name, "odd number of digits: the last one is dropped");
  }
  for (size_t i = 0; i + 1 < vib.size(); i += 2) {
    if (HexPair(vib[i], vib[i + 1]) < 0) {
      Error(at, a::kVib.name,
            "\"" + vib.substr(i, 2) + "\" is not a pair of hexadecimal digits: it is dropped");
    }
  }
}

// WriteMin and WriteMax: numbers the value can be held against, in order.
void CheckWriteRange(const Place& at, const MeterModel& model, const Record& record) {
  const WriteRange* range = WriteRangeOf(model, record);
  if (range == nullptr) return;
  const std::string number = HoldsReal(record.modbusType) ? "a decimal number" : "a whole number";
  const std::string type = at.written.Text(a::kModbusDT.name);
  for (const WriteLimit* limit : {&range->min, &range->max}) {
    if (limit->state != WriteLimit::State::kUnreadable) continue;
    Error(at, limit == &range->min ? a::kWriteMin.name : a::kWriteMax.name,
          "not " + number + " for ModbusDT=\"" + type + "\" (in the units the master writes, no blanks, no "
          "exponent): the gateway refuses every write to this record");
  }
  if (range->min.state == WriteLimit::State::kNumber && range->max.state == WriteLimit::State::kNumber &&
      IsAbove(range->min.number, range->max.number)) {
    Error(at, a::kWriteMin.name,
          "above " + DescribeAttribute(at.written, a::kWriteMax.name) +
              ": the gateway refuses every write to this record");
  }
}

// NoValue: register contents of exactly the ModbusDT's length, or it never matches.
void CheckNoValue(const Place& at, const Record& record) {
  if (!at.written.Has(a::kNoValue.name)) return;
  const std::string text = at.written.Text(a::kNoValue.name);
  NoValue noValue;
  if (!ParseNoValue(text.c_str(), noValue)) {
    Error(at, a::kNoValue.name,
          "not the register contents in hexadecimal (4, 8, 12 or 16 digits): ignored, every reading passes as a "
          "value");
    return;
  }
  const int valueBytes = 2 * RegisterCount(record.modbusType);
  if (valueBytes == 0 || noValue.length == valueBytes) return;
  Error(at, a::kNoValue.name,
        std::to_string(noValue.length) + " bytes do not fit ModbusDT=\"" + at.written.Text(a::kModbusDT.name) +
            "\", whose registers hold " + std::to_string(valueBytes) + ": it never matches");
}

// ScaleRegister: its power of ten needs a VIF exponent to go into, and
// the master's writes could not be scaled back.
void CheckScale(const Place& at, const Record& record) {
  if (!record.scaled) return;
  CheckNumberText(at, kScaleRegisterRule);
  if (FindExponentField(record.vib.data(), static_cast<int>(record.vib.size())).at < 0) {
    Error(at, a::kVib.name,
          "has no exponent a ScaleRegister can move (energy, volume, power, flow, temperatures, pressure, voltage, "
          "current): the record is always sent as \"no data\"");
  }
  if (record.writable == Writability::kWritable) {
    Error(at, a::kWritable.name, "1 with a ScaleRegister: the gateway refuses every write to this record");
  }
}

void CheckDeviceNoValue(const Place& at) {
  if (!at.written.Has(a::kDeviceNoValue.name) || at.written.Text(a::kDeviceNoValue.name) == "sunspec") return;
  Error(at, a::kDeviceNoValue.name, "only \"sunspec\" is known: ignored, the Objects have only their own NoValue");
}

void CheckReadFunction(const Place& at, const Record& record) {
  if (!at.written.Has(a::kModbusFunction.name)) return;
  if (record.modbusFunction != kReadHoldingRegisters && record.modbusFunction != kReadInputRegisters) {
    Warn(at, a::kModbusFunction.name,
         "not 3 (holding registers) or 4 (input registers): the answer holds no registers");
  }
}

// ModbusPort: a link the gateway made, with a port; else it never answers
// the meter.
void CheckLink(const Place& at, const Meter& meter) {
  if (meter.modbusPort.empty()) return;
  const LinkModel* link = LinkOf(at.file, meter);
  const std::string section = "[" + LinkSectionOf(LinkNameOf(meter)) + "]";
  if (link == nullptr) {
    Error(at, a::kModbusPort.name,
          "no link " + section + ": MainConfig has no such section, or one the gateway does not use; the "
          "gateway does not answer this meter");
  } else if (!link->working) {
    Error(at, a::kModbusPort.name,
          section + " builds no port (see its findings): the gateway does not answer this meter");
  }
}

}  // namespace

void CheckDeviceAttributes(const CheckedFile& file, size_t meter) {
  const Place at{file, DescribeDevice(file, meter), file.written.devices[meter]};
  for (const Attribute* text : kDeviceTexts) CheckPresent(at, text->name);
  for (const NumberRule& rule : kDeviceNumbers) CheckNumber(at, rule);
  CheckIdentity(at);
  CheckModbusUse(at, file.model.meters[meter]);
  CheckSwitch(at, a::kBlockReads, file.model.meters[meter].blockReads);
  if (at.written.Has(a::kMaxAge.name)) CheckNumberText(at, kMaxAgeRule);
  if (at.written.Has(a::kModbusTimeout.name)) CheckNumberText(at, kModbusTimeoutRule);
  CheckLink(at, file.model.meters[meter]);
  CheckDeviceNoValue(at);
}

void CheckObjectAttributes(const CheckedFile& file, size_t record) {
  const Place at{file, DescribeObject(file, record), file.written.objects[record]};
  const Record& converted = file.model.records[record];
  for (const Attribute* text : kObjectTexts) CheckPresent(at, text->name);
  for (const NumberRule& rule : kObjectNumbers) CheckNumber(at, rule);
  if (at.written.Has(a::kTelegramNr.name)) CheckNumberText(at, kTelegramNrRule);
  CheckDataType(at, converted);
  CheckDataField(at, converted);
  CheckVib(at);
  CheckReadFunction(at, converted);
  CheckSwitch(at, a::kWritable, converted.writable == Writability::kWritable);
  CheckWriteRange(at, file.model, converted);
  CheckNoValue(at, converted);
  CheckSwitch(at, a::kMonotonic, converted.monotonic);
  CheckScale(at, converted);
}

}  // namespace kestrel
