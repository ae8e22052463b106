#pragma once
// The simulator's register file: what each simulated Modbus slave serves.
//
// One value per line, '#' starts a comment:
//   slave  table  register  type  order  value  [increment]
//   7      input  100       MOD32 2      183333 10
// slave: 1..247; table: holding or input; register: the address on the wire
// (0..65535); type: INT16 UINT16 INT32 UINT32 MOD32 FLOAT INT48 UINT48 MOD48
// INT64 UINT64 MOD64; order: 0..3, how the registers hold the value (see
// register_image.h); value: a decimal number (FLOAT: any real number);
// increment: optional, added to the value once per second of run time.
#include <cstdint>
#include <string>
#include <vector>

enum class RegisterTable { kHolding, kInput };
enum class ValueKind { kInteger, kDecimalGroups, kReal };

struct ValueType {
  const char* name;
  int registers;
  ValueKind kind;
};

struct SimValue {
  int slave = 0;
  RegisterTable table = RegisterTable::kHolding;
  uint16_t address = 0;
  const ValueType* type = nullptr;
  int order = 0;
  int64_t start = 0;  // integer kinds; UINT64 values keep their bit pattern
  int64_t step = 0;
  double startReal = 0.0;  // FLOAT
  double stepReal = 0.0;
};

// The type of that name (exact, upper case), or nullptr.
const ValueType* FindValueType(const std::string& name);

// Reads the whole file; on failure error says which line and why.
bool ParseRegisterFile(const std::string& path, std::vector<SimValue>& values, std::string& error);
