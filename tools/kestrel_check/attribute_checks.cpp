#include "tools/kestrel_check/attribute_checks.h"

#include <cstdint>

#include "modbus/value_conversion.h"
#include "tools/kestrel_check/elements.h"
#include "tools/kestrel_check/number_text.h"

namespace {

// A number attribute: how the gateway converts it and the largest value
// that survives the conversion and the field it is written into.
struct NumberRule {
  const char* name;
  bool hex;
  uint64_t largest;
  const char* beyond;  // what happens to a larger value
};

constexpr const char* kLowBitsKept = "only its low bits are used";

constexpr NumberRule kDeviceNumbers[] = {
    {"PrimaryAddress", false, 0xFF, kLowBitsKept},
    {"SlaveAddress", false, 0xFF, kLowBitsKept},
    {"InitRegister", false, 0xFFFF, kLowBitsKept},
    {"Status", true, 0xFF, kLowBitsKept},
    {"InitFunction", true, 0xFF, kLowBitsKept},
    {"Base", true, 0xFFFFFFFF, kLowBitsKept},
    // Read in base 16 for REQ_UD2 and base 10 for SND_UD: only 0 to 3 agree
    // and name an order.
    {"FloatMode", false, 3, "selectors are 0 to 3: every FLOAT reads as 0 and no write is sent"},
    {"IntReverse", false, 3, "selectors are 0 to 3: every integer reads as 0 and no write is sent"},
};

constexpr NumberRule kObjectNumbers[] = {
    {"ObjectId", false, 0xFF, kLowBitsKept},
    {"ModbusFunction", false, 0xFF, kLowBitsKept},
    {"RegisterRead", false, 0xFFFF, kLowBitsKept},
    {"RegisterWrite", false, 0xFFFF, kLowBitsKept},
    {"Function", false, 3, "the DIF function field holds 0 to 3: the meter never answers"},
    {"MBusDT", false, 15, "the DIF data field holds 0 to 15: the excess spills into the DIF's other bits"},
    {"Storage", true, (uint64_t{1} << 41) - 1, "a record header carries storage bits 0 to 40 only"},
    {"Tariff", true, (uint64_t{1} << 20) - 1, "a record header carries tariff bits 0 to 19 only"},
    {"SubUnit", true, (uint64_t{1} << 10) - 1, "a record header carries subunit bits 0 to 9 only"},
};

constexpr const char* kDeviceTexts[] = {"DeviceId", "IdNumber", "Medium", "ComSettings"};
constexpr const char* kObjectTexts[] = {"DeviceId", "ModbusDT", "Vib"};

constexpr uint8_t kWriteSingleRegister = 0x06;
constexpr uint8_t kReadHoldingRegisters = 3;
constexpr uint8_t kReadInputRegisters = 4;
constexpr const char* kParityLetters = "EeOoNnMmSs";
constexpr int kIdNumberDigits = 8;
constexpr int kMediumDigits = 2;
constexpr const char* kWildcardMedium = "FF";

struct Place {
  const std::string& file;
  const std::string& element;
  Report& report;
};

void Error(const Place& at, Element element, const char* attribute, const std::string& message) {
  AddError(at.report, at.file, at.element + " " + DescribeAttribute(element, attribute), message);
}

void Warn(const Place& at, Element element, const char* attribute, const std::string& message) {
  AddWarning(at.report, at.file, at.element + " " + DescribeAttribute(element, attribute), message);
}

bool CheckPresent(const Place& at, Element element, const char* name) {
  if (HasAttribute(element, name)) return true;
  Error(at, element, name, "missing: no attribute has a default");
  return false;
}

void CheckNumber(const Place& at, Element element, const NumberRule& rule) {
  if (!CheckPresent(at, element, rule.name)) return;
  const std::string text = AttributeValue(element, rule.name);
  const bool readable = rule.hex ? IsHexText(text) : IsDecimalText(text);
  if (!readable) {
    Error(at, element, rule.name,
          std::string("not a ") + (rule.hex ? "hexadecimal" : "decimal") + " number: read as " +
              std::to_string(TextValue(text, rule.hex)));
    return;
  }
  if (TextValue(text, rule.hex) > rule.largest) {
    Error(at, element, rule.name, "above " + std::to_string(rule.largest) + ": " + rule.beyond);
  }
}

void CheckIdentity(const Place& at, Element device) {
  const std::string idNumber = AttributeValue(device, "IdNumber");
  if (HasAttribute(device, "IdNumber") && !IsDecimalDigits(idNumber, kIdNumberDigits)) {
    Error(at, device, "IdNumber",
          "not eight decimal digits: the meter is never selectable by secondary address");
  }
  const std::string medium = AttributeValue(device, "Medium");
  if (HasAttribute(device, "Medium") && !IsHexDigits(medium, kMediumDigits)) {
    Error(at, device, "Medium",
          "not two hexadecimal digits: the meter is never selectable by secondary address");
  } else if (ToUpper(medium) == kWildcardMedium) {
    Error(at, device, "Medium",
          "FF is the wildcard medium: the meter is never selectable by secondary address");
  }
}

void CheckModbusUse(const Place& at, Element device) {
  if (HasAttribute(device, "InitFunction") &&
      ReadAttribute8(device, "InitFunction", true) == kWriteSingleRegister) {
    Error(at, device, "InitFunction",
          "the answer to function 06h is never accepted: SND_NKE and selection of this meter "
          "always fail; use 03 or 04");
  }
  const std::string parity = AttributeValue(device, "ComSettings");
  if (HasAttribute(device, "ComSettings") &&
      (parity.empty() || std::string(kParityLetters).find(parity[0]) == std::string::npos)) {
    Warn(at, device, "ComSettings",
         "does not start with a parity letter E, O, N, M or S: the line keeps its parity");
  }
}

void CheckDataType(const Place& at, Element object) {
  const std::string type = AttributeValue(object, "ModbusDT");
  if (!HasAttribute(object, "ModbusDT") || RegisterCount(type.c_str()) > 0) return;
  if (RegisterCount(ToUpper(type).c_str()) > 0) {
    Error(at, object, "ModbusDT",
          "type names are case-sensitive: write " + ToUpper(type) +
              "; as written the meter never answers");
  } else {
    Error(at, object, "ModbusDT",
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
constexpr int kRealDataField = 5;
constexpr int kLargestDataField = 15;
constexpr int kRealValueBytes = 4;

void CheckDataField(const Place& at, Element object) {
  const int registers = RegisterCount(AttributeText(object, "ModbusDT"));
  if (registers == 0 || !HasAttribute(object, "MBusDT")) return;
  const std::string type = AttributeText(object, "ModbusDT");
  const int dataField = ReadAttribute8(object, "MBusDT", false);
  if (dataField > kLargestDataField) return;  // reported as above 15
  const int valueBytes = 2 * registers;
  const bool isFloat = type == "FLOAT";
  const bool lengthMatches = dataField == IntegerDataField(valueBytes) ||
                             (valueBytes == kRealValueBytes && dataField == kRealDataField);
  const int wanted = isFloat ? kRealDataField : IntegerDataField(valueBytes);
  if (!lengthMatches) {
    Error(at, object, "MBusDT",
          "does not match ModbusDT=\"" + type + "\", whose " + std::to_string(valueBytes) +
              " value bytes need MBusDT " + std::to_string(wanted) +
              ": the master misreads the rest of the telegram");
  } else if (dataField != wanted) {
    Warn(at, object, "MBusDT",
         std::string("declares a 32-bit ") + (isFloat ? "integer" : "real") + " for ModbusDT=\"" +
             type + "\": use MBusDT " + std::to_string(wanted));
  }
}

void CheckVib(const Place& at, Element object) {
  if (!HasAttribute(object, "Vib")) return;
  const std::string vib = AttributeValue(object, "Vib");
  if (vib.empty()) {
    Error(at, object, "Vib", "empty: the record has no VIF");
    return;
  }
  if (vib.size() % 2 != 0) {
    Error(at, object, "Vib", "odd number of digits: the last one is dropped");
  }
  for (size_t i = 0; i + 1 < vib.size(); i += 2) {
    if (HexPair(vib[i], vib[i + 1]) < 0) {
      Error(at, object, "Vib",
            "\"" + vib.substr(i, 2) + "\" is not a pair of hexadecimal digits: it is dropped");
    }
  }
}

void CheckReadFunction(const Place& at, Element object) {
  if (!HasAttribute(object, "ModbusFunction")) return;
  const uint8_t function = ReadAttribute8(object, "ModbusFunction", false);
  if (function != kReadHoldingRegisters && function != kReadInputRegisters) {
    Warn(at, object, "ModbusFunction",
         "not 3 (holding registers) or 4 (input registers): the answer holds no registers");
  }
}

}  // namespace

void CheckDeviceAttributes(const DeviceTree& tree, Element device, const std::string& file,
                           Report& report) {
  const std::string name = DescribeDevice(tree, device);
  const Place at{file, name, report};
  for (const char* text : kDeviceTexts) CheckPresent(at, device, text);
  for (const NumberRule& rule : kDeviceNumbers) CheckNumber(at, device, rule);
  CheckIdentity(at, device);
  CheckModbusUse(at, device);
}

void CheckObjectAttributes(const DeviceTree& tree, Element object, const std::string& file,
                           Report& report) {
  const std::string name = DescribeObject(tree, object);
  const Place at{file, name, report};
  for (const char* text : kObjectTexts) CheckPresent(at, object, text);
  for (const NumberRule& rule : kObjectNumbers) CheckNumber(at, object, rule);
  CheckDataType(at, object);
  CheckDataField(at, object);
  CheckVib(at, object);
  CheckReadFunction(at, object);
}
