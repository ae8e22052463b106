#pragma once
// What the request handlers share: the two ports, the two time-outs, the
// DeviceFile tree, the secondary-address selection and the Modbus buffers.
// One instance lives for the whole process and is passed explicitly.
#include <cstdint>

#include "core/frame.h"
#include "meter/device_file.h"
#include "modbus/requests.h"
#include "modbus/transaction.h"

class TPort;

struct Selection {
  bool selected = false;
  Element meter = nullptr;  // meaningful only while selected
};

// An answer for the M-Bus master: E5h alone or an RSP_UD telegram.
struct Answer {
  uint8_t bytes[kFrameBufferSize] = {};
  int length = 0;
};

struct Gateway {
  TPort* modbusPort = nullptr;
  TPort* mbusPort = nullptr;
  int modbusTimeout = 0;  // 1 ms polls per Modbus attempt
  ModbusLineState modbusLine;  // carried from one transaction to the next
  int mbusTimeout = 0;    // ms a frame may take to arrive; 0 or less: no limit
  DeviceTree tree;
  Selection selection;
  uint8_t modbusRequest[kMaxWriteRequestLength] = {};
  uint8_t modbusResponse[kFrameBufferSize] = {};  // reused, never cleared
};

inline void EndSelection(Gateway& gateway) { gateway.selection.selected = false; }

// E5h as the answer; returns true (the handlers' "answer" outcome).
inline bool AnswerAck(Answer& answer) {
  answer.bytes[0] = kAckByte;
  answer.length = 1;
  return true;
}
