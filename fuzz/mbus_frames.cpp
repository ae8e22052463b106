#include "fuzz/mbus_frames.h"

#include <cstddef>

namespace mbusframes {

Bytes ShortFrame(uint8_t c, uint8_t a) { return {0x10, c, a, static_cast<uint8_t>(c + a), 0x16}; }

Bytes LongFrame(uint8_t c, uint8_t a, uint8_t ci, const Bytes& data) {
  const uint8_t l = static_cast<uint8_t>(3 + data.size());
  Bytes frame = {0x68, l, l, 0x68, c, a, ci};
  for (uint8_t byte : data) frame.push_back(byte);  // insert() trips a false g++ 12 bounds warning
  uint8_t sum = 0;
  for (size_t i = 4; i < frame.size(); ++i) sum = static_cast<uint8_t>(sum + frame[i]);
  frame.push_back(sum);
  frame.push_back(0x16);
  return frame;
}

}  // namespace mbusframes
