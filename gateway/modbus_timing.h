#pragma once
// How the Modbus side's keys time its line: how long a character takes on a
// serial line and, with frame_gap, the silence before every request (rtu:
// 3.5 character times; a number: that many ms). A socket has neither; the
// key is then ignored. The gateway's bring-up and kestrel-check read it alike.
#include <cstdint>
#include <string>

namespace kestrel {

class ConfigStore;

struct ModbusTiming {
  int64_t byteTimeUs = 0;  // one character on the line; 0 on a socket
  int64_t frameGapUs = 0;  // 0: no frame_gap, the usual pause after a read
  bool serial = false;
  std::string frameGapText;  // as written; empty when absent
  bool frameGapRefused = false;  // present but neither rtu nor a number of ms (0 to 1000)
};

ModbusTiming ModbusTimingOf(const ConfigStore& store);

}  // namespace kestrel
