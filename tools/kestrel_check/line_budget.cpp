#include "tools/kestrel_check/line_budget.h"

#include <algorithm>
#include <string>

#include "links/meter_exchange.h"
#include "links/meter_requests.h"
#include "links/meter_read.h"
#include "support/clock.h"

namespace kestrel {
namespace {

constexpr double kUsPerSecond = 1e6;
constexpr double kPercent = 100.0;

// Microseconds a byte takes on the line; 0 on a socket port.
double ByteTimeUs(const LineSpeed& speed) {
  return speed.baudRate > 0 ? speed.characterBits * kUsPerSecond / speed.baudRate : 0.0;
}

// frame_gap's silence before each request, or the pause after each read.
int64_t PauseUs(const ModbusLineModel& line) { return line.frameGapUs > 0 ? line.frameGapUs : kPauseAfterReadUs; }

// The request of a block as it goes on the wire, and its answer.
int64_t BlockWireUs(const Meter& meter, const ReadBlock& block, const ModbusLineModel& line) {
  uint8_t request[kReadRequestLength];
  int requestBytes = ReadRequestFor(meter, block, request);
  uint8_t framed[kMaxMbapFrame];
  if (line.framing == ModbusFraming::kMbap) requestBytes = FrameMbapRequest(0, request, requestBytes, framed);
  const int bytes = requestBytes + ReadAnswerLength(line.framing, block.registers);
  return static_cast<int64_t>(bytes * ByteTimeUs(line.speed)) + PauseUs(line);
}

// A record's ScaleRegister read on its own, as a block.
ReadBlock ScaleBlockOf(const Record& record) {
  ReadBlock block;
  block.records[0] = &record;
  block.count = 1;
  block.registers = 1;
  block.firstRegister = record.scaleRegister;
  return block;
}

std::string Milliseconds(int64_t us) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f ms", static_cast<double>(us) / kUsPerMs);
  return text;
}

std::string SpeedText(const LineSpeed& speed) {
  if (speed.baudRate <= 0) return "a network port: only the pause after each read counted";
  return std::to_string(speed.baudRate) + " baud, " + std::to_string(speed.characterBits) + " bits a character";
}

int AttemptLimitMs(const CheckedFile& file, const Meter& meter) {
  return meter.modbusTimeoutMs > 0 ? static_cast<int>(meter.modbusTimeoutMs) : file.modbusLine.timeoutMs;
}

// A read whose slave is silent ends with its first request: every attempt
// waits the time limit, and each retry first waits for a quiet line as long.
int64_t SilentReadUs(int limitMs) { return int64_t{limitMs} * kUsPerMs * (2 * kReadAttempts - 1); }

bool AnyMaxAge(const MeterModel& model) {
  for (const Meter& meter : model.meters) {
    if (meter.maxAgeS > 0) return true;
  }
  return false;
}

}  // namespace

CompleteRead CompleteReadOf(const CheckedFile& file, const Meter& meter) {
  const ModbusLineModel& line = file.modbusLine;
  CompleteRead read;
  const int count = TelegramCount(meter, file.multiTelegram);
  for (int telegram = 0; telegram < count; ++telegram) {
    ForEachReadBlock(file.model, meter, RecordsOfTelegram(meter, telegram, count), [&](const ReadBlock& block) {
      ++read.requests;
      read.wireUs += BlockWireUs(meter, block, line);
      // Each scale register read apart: a block of one register.
      const Record* apart[kMaxReadRegisters];
      const int scales = ScalesApart(block, apart);
      for (int i = 0; i < scales; ++i) {
        ++read.requests;
        read.wireUs += BlockWireUs(meter, ScaleBlockOf(*apart[i]), line);
      }
      return true;
    });
  }
  return read;
}

double BackgroundShare(const CheckedFile& file) {
  double share = 0.0;
  for (const Meter& meter : file.model.meters) {
    if (meter.maxAgeS == 0) continue;
    // Read once per half its MaxAge.
    share += static_cast<double>(CompleteReadOf(file, meter).wireUs) / (meter.maxAgeS * kUsPerSecond / 2);
  }
  return share;
}

void CheckBackgroundShare(const CheckedFile& file) {
  const double share = BackgroundShare(file);
  if (share <= 1.0) return;
  char percent[32];
  std::snprintf(percent, sizeof percent, "%.0f %%", share * kPercent);
  AddWarning(file.report, file.path, "Devices with MaxAge",
             std::string("their background reads need ") + percent +
                 " of the Modbus line: it cannot keep up, and their answers grow older than MaxAge "
                 "(status 10h); raise MaxAge, use BlockReads, or read fewer meters from memory");
}

void PrintMeterBudget(const CheckedFile& file, const Meter& meter, FILE* out) {
  const int limitMs = AttemptLimitMs(file, meter);
  if (meter.modbusTimeoutMs > 0) {
    std::fprintf(out, "  ModbusTimeout %d ms: each attempt of its requests waits up to that for the answer (the "
                 "line's timeout: %d ms)\n", limitMs, file.modbusLine.timeoutMs);
  }
  if (meter.maxAgeS == 0) return;
  const CompleteRead read = CompleteReadOf(file, meter);
  std::fprintf(out, "  MaxAge %u s: answered from memory, read in the background every %.1f s; one complete read: "
               "%d request(s), %s on the wire (%s); %s when its slave is silent\n",
               meter.maxAgeS, meter.maxAgeS / 2.0, read.requests, Milliseconds(read.wireUs).c_str(),
               SpeedText(file.modbusLine.speed).c_str(), Milliseconds(SilentReadUs(limitMs)).c_str());
}

namespace {

// One read request at its worst: the silence before it and every attempt.
int64_t ReadRequestUs(const CheckedFile& file, const Meter& meter) {
  return PauseUs(file.modbusLine) + LongestTransactionUs(AttemptLimitMs(file, meter), kReadAttempts);
}

// A fresh read of the meter at its worst: every request of a complete read.
int64_t FreshReadUs(const CheckedFile& file, const Meter& meter) {
  return CompleteReadOf(file, meter).requests * ReadRequestUs(file, meter);
}

// A request that needs the line first lets the background transaction
// under way end: the longest one of any meter with MaxAge.
int64_t BackgroundRequestUs(const CheckedFile& file) {
  int64_t longest = 0;
  for (const Meter& meter : file.model.meters) {
    if (meter.maxAgeS > 0) longest = std::max(longest, ReadRequestUs(file, meter));
  }
  return longest;
}

// The meter whose fresh read takes longest at its worst; nullptr for none.
const Meter* SlowestRead(const CheckedFile& file) {
  const Meter* slowest = nullptr;
  for (const Meter& meter : file.model.meters) {
    if (slowest == nullptr || FreshReadUs(file, meter) > FreshReadUs(file, *slowest)) slowest = &meter;
  }
  return slowest;
}

}  // namespace

int64_t LongestLoopHoldUs(const CheckedFile& file, int64_t answerGapUs) {
  const Meter* slowest = SlowestRead(file);
  if (slowest == nullptr) return answerGapUs;
  return BackgroundRequestUs(file) + FreshReadUs(file, *slowest) + answerGapUs;
}

void PrintLoopHold(const CheckedFile& file, int64_t answerGapUs, FILE* out) {
  const Meter* slowest = SlowestRead(file);
  if (slowest == nullptr) return;
  std::fprintf(out,
               "\nlongest a request can hold the main loop: %.1f s (meter %u: %d request(s)%s, each up to %.1f s "
               "with %d attempts at timeout %d ms); systemd's WatchdogSec must be longer\n",
               static_cast<double>(LongestLoopHoldUs(file, answerGapUs)) / kUsPerSecond, slowest->primaryAddress,
               CompleteReadOf(file, *slowest).requests,
               AnyMaxAge(file.model) ? " after the background one under way" : "",
               static_cast<double>(ReadRequestUs(file, *slowest)) / kUsPerSecond, kReadAttempts,
               AttemptLimitMs(file, *slowest));
}

void PrintBackgroundShare(const CheckedFile& file, FILE* out) {
  if (!AnyMaxAge(file.model)) return;
  const double share = BackgroundShare(file);
  std::fprintf(out, "\nbackground reads of the meters with MaxAge: %.1f %% of the Modbus line%s\n", share * kPercent,
               share > 1.0 ? ": more than it has, see the findings" : "");
}

}  // namespace kestrel
