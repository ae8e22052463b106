#include "tools/kestrel_check/line_budget.h"

#include <string>

#include "gateway/meter_exchange.h"
#include "gateway/meter_requests.h"
#include "gateway/record_reads.h"
#include "support/clock.h"

namespace kestrel {
namespace {

constexpr double kUsPerSecond = 1e6;
constexpr double kPercent = 100.0;

// Microseconds a byte takes on the line; 0 on a socket port.
double ByteTimeUs(const LineSpeed& speed) {
  return speed.baudRate > 0 ? speed.characterBits * kUsPerSecond / speed.baudRate : 0.0;
}

// The request of a block as it goes on the wire, and its answer.
int64_t BlockWireUs(const Meter& meter, const ReadBlock& block, const ModbusLineModel& line) {
  uint8_t request[kReadRequestLength];
  int requestBytes = ReadRequestFor(meter, block, request);
  uint8_t framed[kMaxMbapFrame];
  if (line.framing == ModbusFraming::kMbap) requestBytes = FrameMbapRequest(0, request, requestBytes, framed);
  const int bytes = requestBytes + ReadAnswerLength(line.framing, block.registers);
  return static_cast<int64_t>(bytes * ByteTimeUs(line.speed)) + kPauseAfterReadUs;
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
  if (meter.maxAgeS == 0) return;
  const CompleteRead read = CompleteReadOf(file, meter);
  std::fprintf(out, "  MaxAge %u s: answered from memory, read in the background every %.1f s; one complete read: "
               "%d request(s), %s on the wire (%s)\n",
               meter.maxAgeS, meter.maxAgeS / 2.0, read.requests, Milliseconds(read.wireUs).c_str(),
               SpeedText(file.modbusLine.speed).c_str());
}

namespace {

// The meter read in the most requests, and how many; nullptr for none.
const Meter* MostRequests(const CheckedFile& file, int& requests) {
  const Meter* most = nullptr;
  requests = 0;
  for (const Meter& meter : file.model.meters) {
    const int count = CompleteReadOf(file, meter).requests;
    if (most == nullptr || count > requests) {
      most = &meter;
      requests = count;
    }
  }
  return most;
}

int64_t ReadRequestUs(const CheckedFile& file) {
  return kPauseAfterReadUs + LongestTransactionUs(file.modbusLine.timeoutMs, kReadAttempts);
}

}  // namespace

int64_t LongestLoopHoldUs(const CheckedFile& file, int64_t answerGapUs) {
  int requests = 0;
  MostRequests(file, requests);
  // A request that needs the line first lets the background transaction end.
  if (AnyMaxAge(file.model)) ++requests;
  return requests * ReadRequestUs(file) + answerGapUs;
}

void PrintLoopHold(const CheckedFile& file, int64_t answerGapUs, FILE* out) {
  int requests = 0;
  const Meter* most = MostRequests(file, requests);
  if (most == nullptr) return;
  std::fprintf(out,
               "\nlongest a request can hold the main loop: %.1f s (meter %u: %d request(s)%s, each up to %.1f s "
               "with %d attempts at timeout %d ms); systemd's WatchdogSec must be longer\n",
               static_cast<double>(LongestLoopHoldUs(file, answerGapUs)) / kUsPerSecond, most->primaryAddress,
               requests, AnyMaxAge(file.model) ? " after the background one under way" : "",
               static_cast<double>(ReadRequestUs(file)) / kUsPerSecond, kReadAttempts, file.modbusLine.timeoutMs);
}

void PrintBackgroundShare(const CheckedFile& file, FILE* out) {
  if (!AnyMaxAge(file.model)) return;
  const double share = BackgroundShare(file);
  std::fprintf(out, "\nbackground reads of the meters with MaxAge: %.1f %% of the Modbus line%s\n", share * kPercent,
               share > 1.0 ? ": more than it has, see the findings" : "");
}

}  // namespace kestrel
