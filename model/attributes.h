#pragma once
// Every attribute of the DeviceFile: its element, how the gateway reads it
// and how many bits it keeps. The loader converts each one through this
// table, and kestrel-check judges the texts by the same rows.
#include <cstdint>

namespace kestrel {

enum class ElementKind : uint8_t { kDevice, kObject };
enum class Reading : uint8_t { kDecimal, kHexadecimal, kText };

struct Attribute {
  ElementKind element;
  const char* name;
  Reading reading;
  int bits;  // of the number kept: 8, 16, 32 or 64; 0 for text, or not used
};

namespace attributes {

// Device: one emulated meter.
constexpr Attribute kPrimaryAddress{ElementKind::kDevice, "PrimaryAddress", Reading::kDecimal, 8};
constexpr Attribute kDeviceId{ElementKind::kDevice, "DeviceId", Reading::kText, 0};
constexpr Attribute kIdNumber{ElementKind::kDevice, "IdNumber", Reading::kHexadecimal, 32};
constexpr Attribute kManufacturer{ElementKind::kDevice, "Manufacturer", Reading::kText, 0};  // not used
constexpr Attribute kMedium{ElementKind::kDevice, "Medium", Reading::kHexadecimal, 8};
constexpr Attribute kAccessNumber{ElementKind::kDevice, "AccessNumber", Reading::kHexadecimal, 8};
constexpr Attribute kStatus{ElementKind::kDevice, "Status", Reading::kHexadecimal, 8};
constexpr Attribute kSlaveAddress{ElementKind::kDevice, "SlaveAddress", Reading::kDecimal, 8};
constexpr Attribute kInitFunction{ElementKind::kDevice, "InitFunction", Reading::kHexadecimal, 8};
constexpr Attribute kInitRegister{ElementKind::kDevice, "InitRegister", Reading::kDecimal, 16};
constexpr Attribute kBase{ElementKind::kDevice, "Base", Reading::kHexadecimal, 32};
constexpr Attribute kComSettings{ElementKind::kDevice, "ComSettings", Reading::kText, 0};
// The order selectors are read twice, and the readings agree only for 0 to 9:
// in base 16 when answering REQ_UD2, in base 10 when writing for SND_UD.
constexpr Attribute kFloatModeForReqUd2{ElementKind::kDevice, "FloatMode", Reading::kHexadecimal, 32};
constexpr Attribute kFloatModeForSndUd{ElementKind::kDevice, "FloatMode", Reading::kDecimal, 32};
constexpr Attribute kIntReverseForReqUd2{ElementKind::kDevice, "IntReverse", Reading::kHexadecimal, 32};
constexpr Attribute kIntReverseForSndUd{ElementKind::kDevice, "IntReverse", Reading::kDecimal, 32};
// Optional: 1 reads consecutive Objects in one Modbus request; 0 or absent
// reads each on its own.
constexpr Attribute kBlockReads{ElementKind::kDevice, "BlockReads", Reading::kDecimal, 8};
// Optional: seconds; the meter is read in the background and answered from
// memory, its values never older than this. 0 or absent reads afresh.
constexpr Attribute kMaxAge{ElementKind::kDevice, "MaxAge", Reading::kDecimal, 64};
// Optional: ms each attempt of the meter's Modbus requests waits for its
// answer, for a slave slower than the line's timeout allows.
constexpr Attribute kModbusTimeout{ElementKind::kDevice, "ModbusTimeout", Reading::kDecimal, 64};
// Optional: the NAME of the section [ModbusPort.NAME] whose link reaches the
// meter's slave; absent, [ModbusPort]'s.
constexpr Attribute kModbusPort{ElementKind::kDevice, "ModbusPort", Reading::kText, 0};
// Optional: "sunspec" gives each of the meter's Objects the "no value"
// contents SunSpec defines for its ModbusDT (an Object's own NoValue wins).
constexpr Attribute kDeviceNoValue{ElementKind::kDevice, "NoValue", Reading::kText, 0};

// Object: one data record of the meter whose DeviceId it repeats exactly.
constexpr Attribute kOwnerId{ElementKind::kObject, "DeviceId", Reading::kText, 0};
constexpr Attribute kObjectId{ElementKind::kObject, "ObjectId", Reading::kDecimal, 8};
// The telegram the record goes into when the meter answers in several.
constexpr Attribute kTelegramNr{ElementKind::kObject, "TelegramNr", Reading::kDecimal, 8};
constexpr Attribute kModbusFunction{ElementKind::kObject, "ModbusFunction", Reading::kDecimal, 8};
constexpr Attribute kRegisterRead{ElementKind::kObject, "RegisterRead", Reading::kDecimal, 16};
constexpr Attribute kRegisterWrite{ElementKind::kObject, "RegisterWrite", Reading::kDecimal, 16};
constexpr Attribute kModbusDT{ElementKind::kObject, "ModbusDT", Reading::kText, 0};
constexpr Attribute kFunction{ElementKind::kObject, "Function", Reading::kDecimal, 8};
constexpr Attribute kMBusDT{ElementKind::kObject, "MBusDT", Reading::kDecimal, 8};
constexpr Attribute kStorage{ElementKind::kObject, "Storage", Reading::kHexadecimal, 64};
constexpr Attribute kTariff{ElementKind::kObject, "Tariff", Reading::kHexadecimal, 32};
constexpr Attribute kSubUnit{ElementKind::kObject, "SubUnit", Reading::kHexadecimal, 32};
constexpr Attribute kVib{ElementKind::kObject, "Vib", Reading::kText, 0};
// Optional, what SND_UD may write: Writable exactly "1" allows it, any other
// text refuses it; WriteMin and WriteMax are decimal numbers in the value's
// own units (ParseValueNumber), compared with the value the master writes.
constexpr Attribute kWritable{ElementKind::kObject, "Writable", Reading::kText, 0};
constexpr Attribute kWriteMin{ElementKind::kObject, "WriteMin", Reading::kText, 0};
constexpr Attribute kWriteMax{ElementKind::kObject, "WriteMax", Reading::kText, 0};
// Optional: the register contents, hexadecimal as read off the wire
// ("8000", "FFFFFFFF"), by which the device says it has no value; the record
// is then sent without one ("no data").
constexpr Attribute kNoValue{ElementKind::kObject, "NoValue", Reading::kText, 0};
// Optional: 1 for a cumulative value that never runs backwards; a lower
// reading than the highest yet is not passed on.
constexpr Attribute kMonotonic{ElementKind::kObject, "Monotonic", Reading::kDecimal, 8};
// Optional: the register (same ModbusFunction and Base) holding the value's
// power of ten, a signed 16-bit number from -10 to 10; it goes into the VIF's
// exponent, the value bytes stay as read.
constexpr Attribute kScaleRegister{ElementKind::kObject, "ScaleRegister", Reading::kDecimal, 16};

constexpr const Attribute* kAll[] = {
    &kPrimaryAddress, &kDeviceId, &kIdNumber, &kManufacturer, &kMedium, &kAccessNumber,
    &kStatus, &kSlaveAddress, &kInitFunction, &kInitRegister, &kBase, &kComSettings,
    &kFloatModeForReqUd2, &kFloatModeForSndUd, &kIntReverseForReqUd2, &kIntReverseForSndUd, &kBlockReads, &kMaxAge,
    &kModbusTimeout, &kModbusPort, &kDeviceNoValue,
    &kOwnerId, &kObjectId, &kTelegramNr, &kModbusFunction, &kRegisterRead, &kRegisterWrite,
    &kModbusDT, &kFunction, &kMBusDT, &kStorage, &kTariff, &kSubUnit, &kVib,
    &kWritable, &kWriteMin, &kWriteMax, &kNoValue, &kMonotonic, &kScaleRegister,
};

}  // namespace attributes

// The C conversion of the text in the attribute's base (strtoull), as
// written: leading blanks and a sign allowed, 0x allowed in base 16,
// trailing garbage ignored, no digits 0.
uint64_t UnsignedValue(const Attribute& attribute, const char* text);

// What the gateway keeps of the text: UnsignedValue cut to the attribute's
// bits; above 16 bits the 64-bit reading, which in base 10 is signed
// (strtoll, saturating) before it is cut. A missing attribute is "" and 0.
uint64_t NumberOf(const Attribute& attribute, const char* text);

}  // namespace kestrel
