#pragma once
// What the request handlers share: the Modbus links, the M-Bus port and
// time-out, the meter model, the secondary-address selection, the meters'
// snapshots and the request being served. One instance lives for the whole
// process and is passed explicitly.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "gateway/handlers/write_policy.h"
#include "gateway/monitoring/monitoring.h"
#include "gateway/reads/snapshot.h"
#include "links/link_engine.h"
#include "ports/TPort.h"
#include "mbus/frame.h"
#include "mbus/rsp_ud.h"
#include "model/meter_model.h"

namespace kestrel {

struct Selection {
  bool selected = false;
  size_t meter = 0;  // index into the model's meters; meaningful only while selected
};

// An answer for the M-Bus master: E5h alone or an RSP_UD telegram.
struct Answer {
  uint8_t bytes[kFrameBufferSize] = {};
  int length = 0;
};

// How a handler took its frame: answered (or not) at once, or with work on
// a link to do first; the loop then steps the links and finishes it.
enum class Handling : uint8_t { kNoAnswer, kAnswer, kPending };

// What a request waiting for its link's work still has to do.
enum class PendingKind : uint8_t {
  kNone,
  kReqUd2,            // the meter's telegram read afresh
  kReqUd2Written,     // a meter with MaxAge written since its snapshot: its link's read under way ends first
  kReqUd2AfterWrite,  // still written since: read in the request's path, every telegram
  kSndUd,
  kAppReset,
  kSndNke,
  kSelection,
};

struct PendingRequest {
  PendingKind kind = PendingKind::kNone;
  size_t meter = 0;  // index into the model's meters
  // REQ_UD2: the telegram, how the master asked for it, and its header.
  int telegram = 0;
  bool fcb = false;
  RspUdHeader header{};
  int64_t frameStartMs = 0;  // when its frame began, for the M-Bus time-out
  WriteEntry write;  // SND_UD
};

// A meter whose link does not work, or does not exist.
constexpr int kNoLink = -1;

struct Gateway {
  // [ModbusPort] first, then each [ModbusPort.NAME] in file order.
  std::vector<std::unique_ptr<Link>> links;
  std::vector<int> meterLinks;  // per meter of the model: its link's index, or kNoLink
  std::unique_ptr<TPort> mbusOwned;  // the port [MBusPort] built, or one that never opens
  TPort* mbusPort = nullptr;         // the M-Bus port: its own, or one lent by a harness
  std::string mbusSettings;          // what it was built from (ConfigStore::PortSettingsOf)
  int mbusTimeout = 0;    // ms a frame may take to arrive; 0 or less: no limit
  int64_t mbusAnswerGapUs = 0;  // a serial M-Bus line's 11 bit times; 0 on TCP and UDP
  bool collisions = false;     // MBusPort collisions: matching meters answer a selection together
  bool multiTelegram = false;  // MBusPort multi_telegram: records go into the telegrams they name
  WritePolicy writes;          // MBusPort writes and the Objects' Writable, WriteMin, WriteMax
  MeterModel model;
  Selection selection;
  BackgroundReads background;  // the meters answered from memory (MaxAge)
  HeldCounters held;           // the highest value of each Monotonic record, read afresh or with MaxAge
  RequestJob job;              // the request's work on its link, while it has some
  PendingRequest pending;      // and what the request does once that is done
  Monitoring monitoring;       // counters, the metrics file and the service manager
};

// The meter's place in the model's list; false for a meter of another model.
inline bool IndexInModel(const MeterModel& model, const Meter& meter, size_t& index) {
  const std::vector<Meter>& meters = model.meters;
  const std::less<const Meter*> before;  // a total order, also for a meter of another model
  if (meters.empty() || before(&meter, meters.data()) || !before(&meter, meters.data() + meters.size())) return false;
  index = static_cast<size_t>(&meter - meters.data());
  return true;
}

// The meter's link, or nullptr when it has none that works.
inline Link* LinkOf(Gateway& gateway, size_t meter) {
  if (meter >= gateway.meterLinks.size() || gateway.meterLinks[meter] == kNoLink) return nullptr;
  return gateway.links[static_cast<size_t>(gateway.meterLinks[meter])].get();
}

inline bool RequestPending(const Gateway& gateway) { return gateway.pending.kind != PendingKind::kNone; }

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

inline Handling Answered(bool answered) { return answered ? Handling::kAnswer : Handling::kNoAnswer; }

}  // namespace kestrel
