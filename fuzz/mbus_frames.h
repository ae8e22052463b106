#pragma once
// M-Bus frames as a master builds them, for tests and fuzz targets.
#include <cstdint>
#include <vector>

namespace mbusframes {

using Bytes = std::vector<uint8_t>;

// 10h C A CS 16h.
Bytes ShortFrame(uint8_t c, uint8_t a);
// 68h L L 68h C A CI data CS 16h.
Bytes LongFrame(uint8_t c, uint8_t a, uint8_t ci, const Bytes& data);

}  // namespace mbusframes
