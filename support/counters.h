#pragma once
// What the gateway counts for monitoring: plain 64-bit counters, kept in
// memory from start and never reset, each held by whatever does the
// counting (a port, the Modbus line, the gateway) and read by whoever
// reports them (the metrics file, the service status).
#include <array>
#include <cstdint>

namespace kestrel {

// How a Modbus transaction ended, and why a meter's answer did not come:
// the values of the metrics' labels outcome and reason.
enum class Outcome : uint8_t {
  kOk,         // an answer
  kException,  // an exception answer
  kSilence,    // no byte came
  kCrc,        // an answer with a wrong CRC
  kInvalid,    // a wrong address, function or length, or no record could be made of it
  kNotSent,    // nothing went to the slave (or, for a meter, the fault was not the slave's)
};
constexpr int kOutcomeCount = 6;

// "ok", "exception", "silence", "crc", "invalid", "not_sent".
const char* OutcomeLabel(Outcome outcome);

// One Modbus line: its transactions per slave address by outcome, the last
// outcome of each slave, and the bytes dropped as nobody's answer.
struct LineCounters {
  std::array<std::array<uint64_t, kOutcomeCount>, 256> transactions{};
  std::array<Outcome, 256> lastOutcome{};
  uint64_t droppedBytes = 0;
};

inline void CountTransaction(LineCounters& counters, uint8_t slave, Outcome outcome) {
  ++counters.transactions[slave][static_cast<int>(outcome)];
  counters.lastOutcome[slave] = outcome;
}

// One socket port: the peers it took and those its allow list refused (a
// TCP connection; on UDP a datagram from another sender than the last, or
// refused), and, as a Modbus TCP client, connections lost and made again.
struct PortCounters {
  uint64_t peersAccepted = 0;
  uint64_t peersRefused = 0;
  uint64_t connectionsLost = 0;
  uint64_t reconnects = 0;
  bool connectionLost = false;  // lost, and not made again since
};

// How an SND_UD's write ended (the label outcome of the writes).
enum class WriteOutcome : uint8_t { kDone, kRefused, kFailed };
constexpr int kWriteOutcomeCount = 3;

// "done", "refused", "failed".
const char* WriteOutcomeLabel(WriteOutcome outcome);

// The M-Bus frames received, by kind (the label kind).
enum class MBusFrameKind : uint8_t { kReqUd2, kSndUd, kSndNke, kAppReset, kSelection, kOther, kInvalid };
constexpr int kMBusFrameKindCount = 7;

// "req_ud2", "snd_ud", "snd_nke", "app_reset", "selection", "other", "invalid".
const char* MBusFrameKindLabel(MBusFrameKind kind);

struct MBusCounters {
  std::array<uint64_t, kMBusFrameKindCount> frames{};
  uint64_t answers = 0;
};

// One emulated meter (all meters with the same primary address and
// identification number, which no master can tell apart).
struct MeterCounters {
  uint64_t requests = 0;  // REQ_UD2 received
  uint64_t answers = 0;   // RSP_UD sent
  std::array<uint64_t, kOutcomeCount> unanswered{};  // by reason; kOk stays 0
  uint64_t staleAnswers = 0;    // answered from memory with the status bit 10h
  uint64_t noValueRecords = 0;  // records answered as "no data": the device had no value
  uint64_t heldRecords = 0;     // records of Monotonic counters answered with the value held
  std::array<uint64_t, kWriteOutcomeCount> writes{};  // SND_UD writes by outcome
  int64_t lastRequestMs = 0;    // calendar time in ms; 0: never
  int64_t lastAnswerMs = 0;
  // How long it goes unanswered is measured on the monotonic clock, which a
  // calendar stepped back or forth does not move: NowMs() of its last
  // answer (0: never), and whether a request came since that got none.
  int64_t lastAnswerNowMs = 0;
  bool awaitingAnswer = false;
  bool failing = false;   // its last read failed; answering again ends it
  Outcome failure = Outcome::kOk;  // why, while failing
};

}  // namespace kestrel
