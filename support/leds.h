#pragma once
// The LED panel: an LED stays lit 300 ms after its latest signal, and the
// panel is written over SPI only when the pattern of lit LEDs changes.
#include <cstdint>

namespace kestrel {

// LED numbers the gateway signals.
constexpr unsigned kLedModbusPoll = 2;      // a poll of the Modbus side brought bytes
constexpr unsigned kLedMBusTransmit = 7;    // an answer goes out on the M-Bus side
constexpr unsigned kLedAlive = 8;           // refreshed by every signal: the loop runs
constexpr unsigned kLedModbusTransmit = 10; // a Modbus request goes out
constexpr unsigned kLedMBusReceive = 15;    // bytes came in on the M-Bus side
constexpr unsigned kLedRefresh = 16;        // names no LED: only lets expired LEDs go dark

constexpr int64_t kLedLitMs = 300;

void EnableLeds();
void SignalLed(unsigned led, int64_t now);

// The clock reading at which a refresh would first darken an LED that is lit
// now; -1 when none would (the panel is off, or only LED 8 is lit, which
// every signal, the refresh included, keeps lit).
int64_t NextLedChangeMs();

// Seam: the two bytes of one panel update (complemented pattern, LEDs 0-7
// first). The default opens the SPI device, transfers twice and closes it.
using LedPanelWriter = void (*)(const uint8_t bytes[2]);
void SetLedPanelWriter(LedPanelWriter writer);  // nullptr restores the SPI writer
// Back to the start state (all dark, disabled); for tests.
void ResetLeds();

}  // namespace kestrel
