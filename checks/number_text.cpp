#include "checks/number_text.h"

#include <cctype>
#include <cstdio>

namespace kestrel {
namespace {

size_t SkipBlanks(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])) != 0) ++i;
  return i;
}

bool AllOf(const std::string& text, size_t from, int (*isDigit)(int)) {
  if (from >= text.size()) return false;
  for (size_t i = from; i < text.size(); ++i) {
    if (isDigit(static_cast<unsigned char>(text[i])) == 0) return false;
  }
  return true;
}

bool HasHexPrefix(const std::string& text, size_t at) {
  return text.size() > at + 1 && text[at] == '0' && (text[at + 1] == 'x' || text[at + 1] == 'X');
}

}  // namespace

bool IsDecimalText(const std::string& text) { return AllOf(text, SkipBlanks(text), std::isdigit); }

bool IsHexText(const std::string& text) {
  size_t from = SkipBlanks(text);
  if (HasHexPrefix(text, from)) from += 2;
  return AllOf(text, from, std::isxdigit);
}

bool IsDecimalDigits(const std::string& text, size_t count) {
  return text.size() == count && AllOf(text, 0, std::isdigit);
}

bool IsHexDigits(const std::string& text, size_t count) {
  return text.size() == count && AllOf(text, 0, std::isxdigit);
}

std::string ToUpper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

std::string HexBytes(const uint8_t* bytes, int count) {
  std::string text;
  char byte[4];
  for (int i = 0; i < count; ++i) {
    std::snprintf(byte, sizeof byte, "%s%02X", i == 0 ? "" : " ", bytes[i]);
    text += byte;
  }
  return text;
}

}  // namespace kestrel
