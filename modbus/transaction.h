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

// An answer may not be longer than this (more held after a poll fails the
// attempt), unless the caller allows more for a read of many registers.
constexpr int kModbusAnswerLimit = 100;
// Bytes asked of the port per read: the response buffer must hold this many
// behind the answer limit.
constexpr int kModbusReadChunk = 100;
// The response buffer of a transaction with the default answer limit.
constexpr int kModbusResponseCapacity = kModbusAnswerLimit + kModbusReadChunk;

// How the last attempt on a line ended: what a caller can say about a
// transaction that got no valid answer.
enum class AttemptEnd : uint8_t {
  kAnswered,      // an answer or an exception answer with a valid CRC
  kSilence,       // not a byte within the time limit
  kIncomplete,    // bytes, but no whole answer within the time limit
  kBadCrc,        // a whole answer whose CRC is wrong
  kNotAnAnswer,   // a function code never asked for, or an MBAP header no answer has
  kTooLong,       // more bytes than the answer limit
  kNotConnected,  // the request was not sent: the port has no connection
};

// What one transaction leaves for the next on the same line. RTU answers
// carry no request identifier: an answer that missed its attempt may still
// be on its way, and must not be taken for the answer to the next request.
struct ModbusLineState {
  bool answerMissed = false;  // the last attempt on this line got no valid answer
  uint16_t transactionId = 0;  // MBAP framing: that of the last request; counts up per request
  AttemptEnd lastEnd = AttemptEnd::kAnswered;  // of the last attempt
  int lastHeld = 0;  // bytes the last attempt left at the start of the response buffer
};

// Before each request the line is emptied; after an attempt without a valid
// answer the next request (the retry or the next transaction) waits until the
// line has been quiet for pollCount ms, twice that at most. Dropped bytes are
// traced. A port that knows it has no connection (Connected) fails the
// transaction at once, with a trace line.
// request: an RTU frame (address, PDU, CRC); the bytes as sent are traced
// as a dump. response: the answer as received (an MBAP answer with its
// header), its length the result; it must hold answerLimit +
// kModbusReadChunk bytes. answerLimit: the longest answer taken, at most
// kMaxMbapFrame.
// parity: the letter wanted for this slave (any case); on a serial port an E,
// M, N, O or S that differs from the port's current one closes, re-parities
// and reopens the port first. Any other character leaves the line alone.
int ModbusTransaction(TPort& port, ModbusLineState& line, const uint8_t* request, int requestLength,
                      uint8_t* response, int pollCount, char parity, int attempts,
                      int answerLimit = kModbusAnswerLimit);

}  // namespace kestrel
