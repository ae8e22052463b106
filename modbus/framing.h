#pragma once
// How a request and its answer are framed on the Modbus port. RTU frames
// carry the slave address, the PDU (function code and data) and a CRC.
// Modbus TCP (MBAP) frames carry a 7-byte header instead of the address:
// transaction identifier, protocol identifier 0, the length of what
// follows, and the unit identifier; then the PDU, without a CRC.
#include <cstdint>

#include "ports/TPort.h"

namespace kestrel {

constexpr int kMbapHeaderLength = 7;
// The longest MBAP frame: a PDU of up to 253 bytes behind the header.
constexpr int kMaxMbapFrame = 260;

// The length of the answer PDU that starts at pdu (function code, then a
// byte count or exception code: two bytes must be there) for the functions
// the gateway asks for: read registers (03h, 04h), write registers (10h)
// and their exceptions. -1 for any other function code.
int AnswerPduLength(const uint8_t* pdu);

// Where the answer's PDU starts in the frame as received, and how many
// bytes (the CRC) follow it.
int AnswerPduOffset(ModbusFraming framing);
int AnswerTrailerLength(ModbusFraming framing);

// The whole answer frame to a read of that many registers (RTU: 5 + 2 x
// registers).
int ReadAnswerLength(ModbusFraming framing, int registers);

// The silence an RTU line keeps before a frame: 3.5 character times at that
// baud rate, 1750 us above 19200 baud. 0 for a baud rate of 0 or less.
int64_t RtuFrameGapUs(int baudRate, int characterBits);

// The whole exception answer frame (RTU: 5 bytes).
int ExceptionAnswerLength(ModbusFraming framing);

// The MBAP frame of the RTU request rtu (address, PDU, CRC), with the slave
// address as unit identifier. Returns its length, or 0 when rtu holds no
// function code or more than one frame can carry.
int FrameMbapRequest(uint16_t transactionId, const uint8_t* rtu, int rtuLength, uint8_t out[kMaxMbapFrame]);

// What the bytes received so far hold for the MBAP request sent.
enum class MbapAnswer {
  kIncomplete,  // more must come
  kBroken,      // no answer frame: wrong protocol, or a length its function code does not have
  kForeign,     // a whole frame for another transaction or unit: to be dropped
  kComplete,    // the answer to this request
};
struct MbapCheck {
  MbapAnswer answer;
  int frameLength;  // kForeign and kComplete: the frame's length from its header
};
MbapCheck CheckMbapAnswer(const uint8_t* request, const uint8_t* held, int count);

}  // namespace kestrel
