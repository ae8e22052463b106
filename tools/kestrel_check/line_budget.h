#pragma once
// What the background reads of the meters with MaxAge ask of the Modbus
// line: the wire time of one complete read of each (its requests and their
// answers at the line's speed, and the pause after each read; the slave's
// own delay before it answers is not known here and not counted), and the
// share of the line they take together when each meter is read once per
// half its MaxAge.
#include <cstdint>
#include <cstdio>

#include "tools/kestrel_check/elements.h"

namespace kestrel {

struct CompleteRead {
  int requests = 0;
  int64_t wireUs = 0;
};

CompleteRead CompleteReadOf(const CheckedFile& file, const Meter& meter);

// The share (1.0 = all of it) of the line the background reads take.
double BackgroundShare(const CheckedFile& file);

// A warning when the share is above 100 %.
void CheckBackgroundShare(const CheckedFile& file);

// For a meter with ModbusTimeout, its time limit; for one with MaxAge, how
// often it is read and what one read takes, healthy and with a silent slave.
void PrintMeterBudget(const CheckedFile& file, const Meter& meter, FILE* out);

// The share of the line, when any meter has MaxAge.
void PrintBackgroundShare(const CheckedFile& file, FILE* out);

// The longest one request can keep the main loop from going round (and so
// from feeding systemd's watchdog): the background transaction under way
// (the longest of a meter with MaxAge), the fresh read that takes longest
// (each of its requests with every attempt at the meter's own time limit,
// the waits for a quiet line and the silence before it), and the answer gap
// of a serial M-Bus line.
int64_t LongestLoopHoldUs(const CheckedFile& file, int64_t answerGapUs);
void PrintLoopHold(const CheckedFile& file, int64_t answerGapUs, FILE* out);

}  // namespace kestrel
