#pragma once
// What the background reads of the meters with MaxAge ask of their Modbus
// link's line: the wire time of one complete read of each (its requests and
// their answers at the link's speed, and the pause after each read; the
// slave's own delay before it answers is not known here and not counted),
// and the share of each link's line its meters take together when each is
// read once per half its MaxAge. Each link is a line of its own: meters on
// one never take time from another.
#include <cstdint>
#include <cstdio>
#include <string>

#include "checks/elements.h"

namespace kestrel {

constexpr double kUsPerSecond = 1e6;

// Microseconds a character takes on the line; 0 on a socket port.
double ByteTimeUs(const LineSpeed& speed);
// "112.3 ms"
std::string Milliseconds(int64_t us);

struct CompleteRead {
  int requests = 0;
  int64_t wireUs = 0;
};

CompleteRead CompleteReadOf(const CheckedFile& file, const Meter& meter, const ModbusLineModel& line);

// The share (1.0 = all of it) of the link's line its meters' background
// reads take.
double BackgroundShare(const CheckedFile& file, const LinkModel& link);

// A warning for each link whose share is above 100 %.
void CheckBackgroundShare(const CheckedFile& file);

// For a meter with ModbusTimeout, its time limit; for one with MaxAge, how
// often it is read and what one read takes on its link, healthy and with a
// silent slave. Nothing for a meter whose ModbusPort names no link.
void PrintMeterBudget(const CheckedFile& file, const Meter& meter, FILE* out);

// The share of each link's line whose meters have MaxAge.
void PrintBackgroundShare(const CheckedFile& file, FILE* out);

}  // namespace kestrel
