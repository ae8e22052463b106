#pragma once
// What the request handlers share: the Modbus line and its one transaction,
// the M-Bus port and time-out, the meter model, the secondary-address
// selection, the meters' snapshots and the Modbus buffers. One instance
// lives for the whole process and is passed explicitly.
#include <cstddef>
#include <cstdint>
#include <functional>

#include "gateway/write_policy.h"
#include "mbus/frame.h"
#include "modbus/requests.h"
#include "modbus/transaction.h"
#include "model/meter_model.h"
#include "gateway/monitoring.h"
#include "gateway/snapshot.h"

namespace kestrel {

class TPort;

struct Selection {
  bool selected = false;
  size_t meter = 0;  // index into the model's meters; meaningful only while selected
};

// An answer for the M-Bus master: E5h alone or an RSP_UD telegram.
struct Answer {
  uint8_t bytes[kFrameBufferSize] = {};
  int length = 0;
};

struct Gateway {
  ModbusLine modbus;  // the Modbus-side port, its time limit and its state
  // The one transaction on the Modbus line: a background read's, or that of
  // a request being served, never both at once.
  ModbusTransaction transaction;
  TPort* mbusPort = nullptr;
  int mbusTimeout = 0;    // ms a frame may take to arrive; 0 or less: no limit
  int64_t mbusAnswerGapUs = 0;  // a serial M-Bus line's 11 bit times; 0 on TCP and UDP
  bool collisions = false;     // MBusPort collisions: matching meters answer a selection together
  bool multiTelegram = false;  // MBusPort multi_telegram: records go into the telegrams they name
  WritePolicy writes;          // MBusPort writes and the Objects' Writable, WriteMin, WriteMax
  MeterModel model;
  Selection selection;
  BackgroundReads background;  // the meters answered from memory (MaxAge)
  // Why the last read in a request's path, or the snapshot a request
  // wanted, gave no records.
  ReadFailure readFailure;
  Monitoring monitoring;  // counters, the metrics file and the service manager
  uint8_t modbusRequest[kMaxWriteRequestLength] = {};
  uint8_t modbusResponse[kFrameBufferSize] = {};  // reused, never cleared
};

// The meter's place in the model's list; false for a meter of another model.
inline bool IndexInModel(const MeterModel& model, const Meter& meter, size_t& index) {
  const std::vector<Meter>& meters = model.meters;
  const std::less<const Meter*> before;  // a total order, also for a meter of another model
  if (meters.empty() || before(&meter, meters.data()) || !before(&meter, meters.data() + meters.size())) return false;
  index = static_cast<size_t>(&meter - meters.data());
  return true;
}

inline void EndSelection(Gateway& gateway) { gateway.selection.selected = false; }

// The meter's next REQ_UD2 gets its first telegram (after SND_NKE or a selection).
inline void RestartTelegrams(Meter& meter) { meter.readout = TelegramSequence(); }

// The selected meter, or nullptr while none is.
inline Meter* SelectedMeter(Gateway& gateway) {
  const Selection& selection = gateway.selection;
  if (!selection.selected || selection.meter >= gateway.model.meters.size()) return nullptr;
  return &gateway.model.meters[selection.meter];
}

// E5h as the answer; returns true (the handlers' "answer" outcome).
inline bool AnswerAck(Answer& answer) {
  answer.bytes[0] = kAckByte;
  answer.length = 1;
  return true;
}

}  // namespace kestrel
