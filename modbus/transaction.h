#pragma once
// One blocking Modbus RTU exchange on the Modbus-side port: send the request,
// collect the answer by 1 ms polls, learn its length from the function code,
// check the CRC, and repeat the whole exchange up to `attempts` times.
#include <cstdint>

namespace kestrel {

class TPort;

// Result codes besides a positive answer length and a negated exception code.
constexpr int kModbusNoValidAnswer = -257;
constexpr int kModbusNoAttempt = -300;

// The response buffer must hold at least this many bytes (up to 100 bytes are
// read behind up to 100 held).
constexpr int kModbusResponseCapacity = 200;

// parity: the letter wanted for this slave (any case); on a serial port an E,
// M, N, O or S that differs from the port's current one closes, re-parities
// and reopens the port first. Any other character leaves the line alone.
int ModbusTransaction(TPort& port, const uint8_t* request, int requestLength, uint8_t* response,
                      int pollCount, char parity, int attempts);

}  // namespace kestrel
