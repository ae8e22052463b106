#include "modbus/value_conversion.h"

#include <cstring>

namespace kestrel {
namespace {

constexpr int kValueBytes = 8;
constexpr uint32_t kMaxSelector = 3;
constexpr uint64_t kModGroupBase = 10000;  // MOD registers hold four decimal digits each

// How the value bytes read as a number: INT signed, UINT unsigned, FLOAT a
// 32-bit real; MOD a decimal number in groups, signed as the conversion to
// registers reads it (which then drops the sign).
enum class Kind { kSigned, kUnsigned, kFloat, kMod };

struct DataType {
  ModbusType type;
  const char* name;
  int registers;
  Kind kind;
};

constexpr DataType kDataTypes[] = {
    {ModbusType::kInt16, "INT16", 1, Kind::kSigned},     {ModbusType::kUint16, "UINT16", 1, Kind::kUnsigned},
    {ModbusType::kInt32, "INT32", 2, Kind::kSigned},     {ModbusType::kUint32, "UINT32", 2, Kind::kUnsigned},
    {ModbusType::kMod32, "MOD32", 2, Kind::kMod},        {ModbusType::kFloat, "FLOAT", 2, Kind::kFloat},
    {ModbusType::kInt48, "INT48", 3, Kind::kSigned},     {ModbusType::kUint48, "UINT48", 3, Kind::kUnsigned},
    {ModbusType::kMod48, "MOD48", 3, Kind::kMod},        {ModbusType::kInt64, "INT64", 4, Kind::kSigned},
    {ModbusType::kUint64, "UINT64", 4, Kind::kUnsigned}, {ModbusType::kMod64, "MOD64", 4, Kind::kMod},
};

const DataType* FindDataType(ModbusType wanted) {
  for (const DataType& type : kDataTypes) {
    if (type.type == wanted) return &type;
  }
  return nullptr;
}

uint32_t SelectorFor(const DataType& type, const OrderSelectors& orders) {
  return type.kind == Kind::kFloat ? orders.floatMode : orders.intReverse;
}

// Where wire byte w of an n-register image sits in the little-endian value
// (byte 0 least significant). Selectors: 0 all big-endian, 1 all
// little-endian, 2 register 1 least significant with each register high byte
// first, 3 register 1 most significant with each register low byte first.
int ValueIndexOfWireByte(int w, int registers, uint32_t selector) {
  const int bytes = 2 * registers;
  const int reg = w / 2;
  const int lowByteFirst = w % 2;  // 1 for the second byte of a register
  switch (selector) {
    case 0: return bytes - 1 - w;
    case 1: return w;
    case 2: return 2 * reg + 1 - lowByteFirst;
    default: return 2 * (registers - 1 - reg) + lowByteFirst;
  }
}

uint64_t SignExtend(uint64_t value, int bytes) {
  if (bytes >= kValueBytes) return value;
  const int bits = 8 * bytes;
  if ((value >> (bits - 1)) & 1) value |= ~uint64_t{0} << bits;
  return value;
}

uint64_t LittleEndianValue(const uint8_t* bytes, int count) {
  uint64_t value = 0;
  for (int i = count - 1; i >= 0; --i) value = value << 8 | bytes[i];
  return value;
}

// The 16-bit group k of value, read as a signed number and widened to 64-bit
// two's complement.
uint64_t SignedGroup(uint64_t value, int k) {
  const uint16_t group = static_cast<uint16_t>(value >> (16 * k));
  return group & 0x8000 ? uint64_t{group} | ~uint64_t{0xFFFF} : uint64_t{group};
}

// Registers of four decimal digits each, most significant group first:
// ((g3 x 10000 + g2) x 10000 + g1) x 10000 + g0. Unsigned arithmetic wraps
// exactly like 64-bit two's complement without any overflow.
uint64_t ModGroupsToValue(uint64_t value, int registers) {
  uint64_t result = SignedGroup(value, registers - 1);
  for (int k = registers - 2; k >= 0; --k) result = result * kModGroupBase + SignedGroup(value, k);
  return result;
}

// The absolute value in base-10000 groups, group k in bits 16k..16k+15; the
// sign and any digits beyond the n groups are dropped. The absolute value is
// taken unsigned, so the smallest 64-bit number is 2^63 and not overflow.
uint64_t ValueToModGroups(uint64_t value, int registers) {
  uint64_t magnitude = value >> 63 ? 0 - value : value;
  uint64_t groups = 0;
  for (int k = 0; k < registers; ++k) {
    groups |= (magnitude % kModGroupBase) << (16 * k);
    magnitude /= kModGroupBase;
  }
  return groups;
}

}  // namespace

ModbusType ModbusTypeNamed(const char* name) {
  if (name == nullptr) return ModbusType::kUnknown;
  for (const DataType& type : kDataTypes) {
    if (std::strcmp(type.name, name) == 0) return type.type;
  }
  return ModbusType::kUnknown;
}

int RegisterCount(ModbusType modbusType) {
  const DataType* type = FindDataType(modbusType);
  return type != nullptr ? type->registers : 0;
}

bool HoldsReal(ModbusType modbusType) {
  const DataType* type = FindDataType(modbusType);
  return type != nullptr && type->kind == Kind::kFloat;
}

ValueNumber NumberOfValue(const uint8_t* value, ModbusType modbusType) {
  ValueNumber number;
  const DataType* type = FindDataType(modbusType);
  if (type == nullptr) return number;
  const int bytes = 2 * type->registers;
  const uint64_t bits = LittleEndianValue(value, bytes);
  if (type->kind == Kind::kFloat) {
    const uint32_t realBits = static_cast<uint32_t>(bits);
    static_assert(sizeof realBits == sizeof number.real, "FLOAT is a 32-bit real");
    std::memcpy(&number.real, &realBits, sizeof number.real);
    number.isReal = true;
  } else if (type->kind == Kind::kUnsigned) {
    number.magnitude = bits;
  } else {
    const uint64_t extended = SignExtend(bits, bytes);
    number.negative = extended >> 63 != 0;
    number.magnitude = number.negative ? 0 - extended : extended;  // unsigned: 2^63 is no overflow
  }
  return number;
}

int RegistersToMBus(uint8_t destination[8], const uint8_t* registers, ModbusType modbusType,
                    const OrderSelectors& orders) {
  const DataType* type = FindDataType(modbusType);
  if (type == nullptr) return -1;
  const int bytes = 2 * type->registers;
  const uint32_t selector = SelectorFor(*type, orders);

  uint8_t placed[kValueBytes] = {};
  if (selector <= kMaxSelector) {
    for (int w = 0; w < bytes; ++w) placed[ValueIndexOfWireByte(w, type->registers, selector)] = registers[w];
  }
  uint64_t value = SignExtend(LittleEndianValue(placed, bytes), bytes);
  if (type->kind == Kind::kMod) value = ModGroupsToValue(value, type->registers);

  for (int i = 0; i < kValueBytes; ++i) destination[i] = static_cast<uint8_t>(value >> (8 * i));
  return bytes;
}

int MBusToRegisters(const uint8_t* value, uint8_t* destination, ModbusType modbusType,
                    const OrderSelectors& orders) {
  const DataType* type = FindDataType(modbusType);
  if (type == nullptr) return -1;
  const uint32_t selector = SelectorFor(*type, orders);
  // A request with unwritten register bytes must never go out.
  if (selector > kMaxSelector) return -1;
  const int bytes = 2 * type->registers;

  uint64_t number = SignExtend(LittleEndianValue(value, bytes), bytes);
  if (type->kind == Kind::kMod) number = ValueToModGroups(number, type->registers);

  for (int w = 0; w < bytes; ++w) {
    destination[w] = static_cast<uint8_t>(number >> (8 * ValueIndexOfWireByte(w, type->registers, selector)));
  }
  return bytes;
}

}  // namespace kestrel
