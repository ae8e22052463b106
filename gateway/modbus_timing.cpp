#include "gateway/modbus_timing.h"

#include <strings.h>

#include <cmath>
#include <cstdlib>

#include "modbus/framing.h"
#include "ports/port_factory.h"
#include "support/clock.h"
#include "support/config_store.h"

namespace kestrel {
namespace {

constexpr int64_t kUsPerSecond = 1000000;
constexpr double kLongestFrameGapMs = 1000;  // more would only stall the line

// rtu, or a number of ms; -1 for anything else.
int64_t FrameGapUs(const std::string& text, const LineSpeed& speed) {
  if (strcasecmp(text.c_str(), "rtu") == 0) return RtuFrameGapUs(speed.baudRate, speed.characterBits);
  char* end = nullptr;
  const double ms = std::strtod(text.c_str(), &end);
  if (end == text.c_str() || *end != '\0' || !(ms >= 0) || ms > kLongestFrameGapMs) return -1;
  return static_cast<int64_t>(std::ceil(ms * kUsPerMs));
}

}  // namespace

ModbusTiming ModbusTimingOf(const ConfigStore& store) {
  ModbusTiming timing;
  const LineSpeed speed = LineSpeedOf(store, kModbusSection);
  store.GetString(timing.frameGapText, kModbusSection, "frame_gap", true, false);
  timing.serial = speed.baudRate > 0;
  if (!timing.serial) return timing;
  timing.byteTimeUs = (int64_t{speed.characterBits} * kUsPerSecond + speed.baudRate - 1) / speed.baudRate;
  if (timing.frameGapText.empty()) return timing;
  const int64_t gapUs = FrameGapUs(timing.frameGapText, speed);
  timing.frameGapRefused = gapUs < 0;
  timing.frameGapUs = gapUs < 0 ? 0 : gapUs;
  return timing;
}

}  // namespace kestrel
