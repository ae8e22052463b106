#include "support/hex_text.h"

namespace kestrel {
namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

int HexPair(char high, char low) {
  const int h = HexDigit(high);
  const int l = HexDigit(low);
  if (h < 0 || l < 0) return -1;
  return h * 16 + l;
}

}  // namespace kestrel
