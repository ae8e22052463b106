#include "register_file.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

const ValueType kValueTypes[] = {
    {"INT16", 1, ValueKind::kInteger},  {"UINT16", 1, ValueKind::kInteger},
    {"INT32", 2, ValueKind::kInteger},  {"UINT32", 2, ValueKind::kInteger},
    {"MOD32", 2, ValueKind::kDecimalGroups}, {"FLOAT", 2, ValueKind::kReal},
    {"INT48", 3, ValueKind::kInteger},  {"UINT48", 3, ValueKind::kInteger},
    {"MOD48", 3, ValueKind::kDecimalGroups}, {"INT64", 4, ValueKind::kInteger},
    {"UINT64", 4, ValueKind::kInteger}, {"MOD64", 4, ValueKind::kDecimalGroups},
};

constexpr long kHighestSlave = 247;
constexpr long kHighestRegister = 65535;
constexpr long kHighestOrder = 3;

bool ParseWhole(const std::string& text, long low, long high, long& out) {
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || end == text.c_str() || *end != '\0' || value < low || value > high) return false;
  out = value;
  return true;
}

// Integers are parsed signed, except that unsigned types may use the full
// unsigned range (kept as the same bit pattern).
bool ParseInteger(const std::string& text, bool isUnsigned, int64_t& out) {
  char* end = nullptr;
  errno = 0;
  if (isUnsigned && text[0] != '-') {
    const unsigned long long value = std::strtoull(text.c_str(), &end, 10);
    out = static_cast<int64_t>(value);
  } else {
    out = std::strtoll(text.c_str(), &end, 10);
  }
  return errno == 0 && end != text.c_str() && *end == '\0';
}

bool ParseReal(const std::string& text, double& out) {
  char* end = nullptr;
  errno = 0;
  out = std::strtod(text.c_str(), &end);
  return errno == 0 && end != text.c_str() && *end == '\0';
}

bool ParseTable(const std::string& text, RegisterTable& out) {
  if (text == "holding") out = RegisterTable::kHolding;
  else if (text == "input") out = RegisterTable::kInput;
  else return false;
  return true;
}

bool ParseAmounts(const std::string& valueText, const std::string& stepText, SimValue& v) {
  if (v.type->kind == ValueKind::kReal) {
    return ParseReal(valueText, v.startReal) && (stepText.empty() || ParseReal(stepText, v.stepReal));
  }
  const bool isUnsigned = v.type->name[0] == 'U';
  return ParseInteger(valueText, isUnsigned, v.start) &&
         (stepText.empty() || ParseInteger(stepText, false, v.step));
}

// Empty error: a value; "" with false: a blank or comment line.
bool ParseLine(const std::string& line, SimValue& v, std::string& error) {
  std::istringstream fields(line.substr(0, line.find('#')));
  std::string slave, table, address, type, order, value, step, extra;
  if (!(fields >> slave)) return false;
  if (!(fields >> table >> address >> type >> order >> value)) {
    error = "expected: slave table register type order value [increment]";
    return false;
  }
  fields >> step >> extra;
  long number = 0;
  if (!ParseWhole(slave, 1, kHighestSlave, number)) error = "slave must be 1..247";
  v.slave = static_cast<int>(number);
  if (error.empty() && !ParseTable(table, v.table)) error = "table must be holding or input";
  if (error.empty() && !ParseWhole(address, 0, kHighestRegister, number)) error = "register must be 0..65535";
  v.address = static_cast<uint16_t>(number);
  if (error.empty() && (v.type = FindValueType(type)) == nullptr) error = "unknown type " + type;
  if (error.empty() && !ParseWhole(order, 0, kHighestOrder, number)) error = "order must be 0..3";
  v.order = static_cast<int>(number);
  if (error.empty() && !ParseAmounts(value, step, v)) error = "bad value or increment";
  if (error.empty() && !extra.empty()) error = "unexpected text after the increment";
  return error.empty();
}

}  // namespace

const ValueType* FindValueType(const std::string& name) {
  for (const ValueType& type : kValueTypes) {
    if (name == type.name) return &type;
  }
  return nullptr;
}

bool ParseRegisterFile(const std::string& path, std::vector<SimValue>& values, std::string& error) {
  std::ifstream file(path);
  if (!file) {
    error = path + ": cannot be read";
    return false;
  }
  std::string line;
  for (int lineNumber = 1; std::getline(file, line); ++lineNumber) {
    SimValue value;
    std::string lineError;
    if (ParseLine(line, value, lineError)) values.push_back(value);
    if (!lineError.empty()) {
      error = path + ":" + std::to_string(lineNumber) + ": " + lineError;
      return false;
    }
  }
  return true;
}
