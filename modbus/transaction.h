#pragma once
// One blocking Modbus RTU exchange on the Modbus-side port: send the request,
// collect the answer by polls that each wait up to 1 ms for input, learn its
// length from the function code, check the CRC, and repeat the whole exchange
// up to `attempts` times. An attempt lasts at most pollCount ms.
#include <cstdint>

namespace kestrel {

class TPort;

// Result codes besides a positive answer length and a negated exception code.
constexpr int kModbusNoValidAnswer = -257;
constexpr int kModbusNoAttempt = -300;

// The response buffer must hold at least this many bytes (up to 100 bytes are
// read behind up to 100 held).
constexpr int kModbusResponseCapacity = 200;

// What one transaction leaves for the next on the same line. RTU answers
// carry no request identifier: an answer that missed its attempt may still
// be on its way, and must not be taken for the answer to the next request.
struct ModbusLineState {
  bool answerMissed = false;  // the last attempt on this line got no valid answer
};

// Before each request the line is emptied; after an attempt without a valid
// answer the next request (the retry or the next transaction) waits until the
// line has been quiet for pollCount ms, twice that at most. Dropped bytes are
// traced.
// parity: the letter wanted for this slave (any case); on a serial port an E,
// M, N, O or S that differs from the port's current one closes, re-parities
// and reopens the port first. Any other character leaves the line alone.
int ModbusTransaction(TPort& port, ModbusLineState& line, const uint8_t* request, int requestLength,
                      uint8_t* response, int pollCount, char parity, int attempts);

}  // namespace kestrel
