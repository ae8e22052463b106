#include "modbus/framing.h"

#include <cstring>

#include "modbus/function_codes.h"

namespace kestrel {
namespace {

// RTU: address, PDU, CRC.
constexpr int kRtuAddressLength = 1;
constexpr int kRtuCrcLength = 2;
constexpr int kMinRtuRequest = kRtuAddressLength + 1 + kRtuCrcLength;  // a function code at least

// MBAP header fields, high byte first.
constexpr int kTransactionIdIndex = 0;
constexpr int kProtocolIdIndex = 2;
constexpr int kLengthIndex = 4;
constexpr int kUnitIdIndex = 6;
constexpr int kBytesBeforeLength = kLengthIndex + 2;  // the length counts what follows it
constexpr uint16_t kModbusProtocol = 0;
// The length field counts the unit identifier and the PDU; an answer PDU
// holds a function code and at least one byte more.
constexpr int kMinAnswerLengthField = 3;
constexpr int kMaxLengthField = kMaxMbapFrame - kBytesBeforeLength;

// Read answers: function code, byte count, data. Write answers: function
// code, start address, register count. Exceptions: function code, code.
constexpr int kReadAnswerPduHead = 2;
constexpr int kWriteMultipleAnswerPdu = 5;
constexpr int kExceptionAnswerPdu = 2;

uint16_t Field(const uint8_t* bytes, int index) {
  return static_cast<uint16_t>(bytes[index] << 8 | bytes[index + 1]);
}

void PutField(uint8_t* bytes, int index, uint16_t value) {
  bytes[index] = static_cast<uint8_t>(value >> 8);
  bytes[index + 1] = static_cast<uint8_t>(value & 0xFF);
}

}  // namespace

int AnswerPduLength(const uint8_t* pdu) {
  const uint8_t function = pdu[0];
  if (function == kReadHoldingRegisters || function == kReadInputRegisters) return kReadAnswerPduHead + pdu[1];
  if (function == kWriteMultipleRegisters) return kWriteMultipleAnswerPdu;
  if (function == (kExceptionFlag | kReadHoldingRegisters) || function == (kExceptionFlag | kReadInputRegisters) ||
      function == (kExceptionFlag | kWriteMultipleRegisters)) {
    return kExceptionAnswerPdu;
  }
  return -1;
}

int AnswerPduOffset(ModbusFraming framing) {
  return framing == ModbusFraming::kMbap ? kMbapHeaderLength : kRtuAddressLength;
}

int AnswerTrailerLength(ModbusFraming framing) { return framing == ModbusFraming::kMbap ? 0 : kRtuCrcLength; }

int ReadAnswerLength(ModbusFraming framing, int registers) {
  return AnswerPduOffset(framing) + kReadAnswerPduHead + 2 * registers + AnswerTrailerLength(framing);
}

int64_t RtuFrameGapUs(int baudRate, int characterBits) {
  constexpr int kFastestTimedBaudRate = 19200;
  constexpr int64_t kFastLineGapUs = 1750;
  constexpr int64_t kUsPerSecond = 1000000;
  constexpr int kHalfCharactersInGap = 7;  // 3.5 characters
  if (baudRate <= 0) return 0;
  if (baudRate > kFastestTimedBaudRate) return kFastLineGapUs;
  const int64_t bits = int64_t{kHalfCharactersInGap} * characterBits * kUsPerSecond;
  const int64_t perTwo = 2 * int64_t{baudRate};
  return (bits + perTwo - 1) / perTwo;  // rounded up: never shorter than the rule
}

int ExceptionAnswerLength(ModbusFraming framing) {
  return AnswerPduOffset(framing) + kExceptionAnswerPdu + AnswerTrailerLength(framing);
}

int FrameMbapRequest(uint16_t transactionId, const uint8_t* rtu, int rtuLength, uint8_t out[kMaxMbapFrame]) {
  const int pduLength = rtuLength - kRtuAddressLength - kRtuCrcLength;
  if (rtuLength < kMinRtuRequest || kMbapHeaderLength + pduLength > kMaxMbapFrame) return 0;
  PutField(out, kTransactionIdIndex, transactionId);
  PutField(out, kProtocolIdIndex, kModbusProtocol);
  PutField(out, kLengthIndex, static_cast<uint16_t>(pduLength + 1));
  out[kUnitIdIndex] = rtu[0];
  std::memcpy(out + kMbapHeaderLength, rtu + kRtuAddressLength, static_cast<size_t>(pduLength));
  return kMbapHeaderLength + pduLength;
}

MbapCheck CheckMbapAnswer(const uint8_t* request, const uint8_t* held, int count) {
  if (count < kMbapHeaderLength) return {MbapAnswer::kIncomplete, 0};
  const int lengthField = Field(held, kLengthIndex);
  if (Field(held, kProtocolIdIndex) != kModbusProtocol || lengthField < kMinAnswerLengthField ||
      lengthField > kMaxLengthField) {
    return {MbapAnswer::kBroken, 0};
  }
  const int frameLength = kBytesBeforeLength + lengthField;
  if (count < frameLength) return {MbapAnswer::kIncomplete, frameLength};
  if (Field(held, kTransactionIdIndex) != Field(request, kTransactionIdIndex) ||
      held[kUnitIdIndex] != request[kUnitIdIndex]) {
    return {MbapAnswer::kForeign, frameLength};
  }
  // The header's length must be the one the function code gives.
  if (AnswerPduLength(held + kMbapHeaderLength) != frameLength - kMbapHeaderLength) {
    return {MbapAnswer::kBroken, frameLength};
  }
  return {MbapAnswer::kComplete, frameLength};
}

}  // namespace kestrel
