#include "mbap_request.h"

namespace {

constexpr int kProtocolIndex = 2;
constexpr int kLengthIndex = 4;
constexpr int kBytesBeforeLength = kLengthIndex + 2;

int Field(const uint8_t* bytes, int index) { return bytes[index] << 8 | bytes[index + 1]; }

}  // namespace

int ExpectedMbapLength(const uint8_t* bytes, int length) {
  if (length < kMbapHeaderLength) return 0;
  const int total = kBytesBeforeLength + Field(bytes, kLengthIndex);
  if (Field(bytes, kProtocolIndex) != 0 || total <= kMbapHeaderLength || total > kMaxMbapFrame) return -1;
  return total;
}
