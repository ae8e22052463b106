#pragma once
// One blocking Modbus exchange on the Modbus-side port: send the request,
// collect the answer by polls that each wait up to 1 ms for input, learn its
// length from the function code, check the CRC, and repeat the whole exchange
// up to `attempts` times. An attempt lasts at most pollCount ms. On a port
// with MBAP framing the request goes behind an MBAP header instead, and the
// answer is the frame whose header matches the request's.
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
  uint16_t transactionId = 0;  // MBAP framing: that of the last request; counts up per request
};

// Before each request the line is emptied; after an attempt without a valid
// answer the next request (the retry or the next transaction) waits until the
// line has been quiet for pollCount ms, twice that at most. Dropped bytes are
// traced. A port that knows it has no connection (Connected) fails the
// transaction at once, with a trace line.
// request: an RTU frame (address, PDU, CRC); the bytes as sent are traced
// as a dump. response: the answer as received (an MBAP answer with its
// header), its length the result.
// parity: the letter wanted for this slave (any case); on a serial port an E,
// M, N, O or S that differs from the port's current one closes, re-parities
// and reopens the port first. Any other character leaves the line alone.
int ModbusTransaction(TPort& port, ModbusLineState& line, const uint8_t* request, int requestLength,
                      uint8_t* response, int pollCount, char parity, int attempts);

}  // namespace kestrel
