#include "checks/line_budget.h"

#include <string>

#include "links/link_settings.h"
#include "links/meter_exchange.h"
#include "links/meter_read.h"
#include "links/meter_requests.h"
#include "support/clock.h"

namespace kestrel {

double ByteTimeUs(const LineSpeed& speed) {
  return speed.baudRate > 0 ? speed.characterBits * kUsPerSecond / speed.baudRate : 0.0;
}

std::string Milliseconds(int64_t us) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f ms", static_cast<double>(us) / kUsPerMs);
  return text;
}

namespace {

constexpr double kPercent = 100.0;

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

std::string SpeedText(const LineSpeed& speed) {
  if (speed.baudRate <= 0) return "a network port: only the pause after each read counted";
  return std::to_string(speed.baudRate) + " baud, " + std::to_string(speed.characterBits) + " bits a character";
}

int AttemptLimitMs(const ModbusLineModel& line, const Meter& meter) {
  return meter.modbusTimeoutMs > 0 ? static_cast<int>(meter.modbusTimeoutMs) : line.timeoutMs;
}

// A read whose slave is silent ends with its first request: every attempt
// waits the time limit, and each retry first waits for a quiet line as long.
int64_t SilentReadUs(int limitMs) { return int64_t{limitMs} * kUsPerMs * (2 * kReadAttempts - 1); }

bool OnLink(const CheckedFile& file, const Meter& meter, const LinkModel& link) {
  return LinkOf(file, meter) == &link;
}

bool AnyMaxAge(const CheckedFile& file, const LinkModel& link) {
  for (const Meter& meter : file.model.meters) {
    if (meter.maxAgeS > 0 && OnLink(file, meter, link)) return true;
  }
  return false;
}

std::string SharePercent(double share) {
  char percent[32];
  std::snprintf(percent, sizeof percent, "%.0f %%", share * kPercent);
  return percent;
}

}  // namespace

CompleteRead CompleteReadOf(const CheckedFile& file, const Meter& meter, const ModbusLineModel& line) {
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

double BackgroundShare(const CheckedFile& file, const LinkModel& link) {
  double share = 0.0;
  for (const Meter& meter : file.model.meters) {
    if (meter.maxAgeS == 0 || !OnLink(file, meter, link)) continue;
    // Read once per half its MaxAge.
    share += static_cast<double>(CompleteReadOf(file, meter, link.line).wireUs) / (meter.maxAgeS * kUsPerSecond / 2);
  }
  return share;
}

void CheckBackgroundShare(const CheckedFile& file) {
  for (const LinkModel& link : file.links) {
    const double share = BackgroundShare(file, link);
    if (share <= 1.0) continue;
    AddWarning(file.report, file.path, "Devices with MaxAge on [" + LinkSectionOf(link.name) + "]",
               "their background reads need " + SharePercent(share) +
                   " of its line: it cannot keep up, and their answers grow older than MaxAge (status 10h); "
                   "raise MaxAge, use BlockReads, or read fewer meters from memory");
  }
}

void PrintMeterBudget(const CheckedFile& file, const Meter& meter, FILE* out) {
  const LinkModel* link = LinkOf(file, meter);
  if (link == nullptr) return;  // the findings say why
  const int limitMs = AttemptLimitMs(link->line, meter);
  if (meter.modbusTimeoutMs > 0) {
    std::fprintf(out, "  ModbusTimeout %d ms: each attempt of its requests waits up to that for the answer (the "
                 "line's timeout: %d ms)\n", limitMs, link->line.timeoutMs);
  }
  if (meter.maxAgeS == 0) return;
  const CompleteRead read = CompleteReadOf(file, meter, link->line);
  std::fprintf(out, "  MaxAge %u s: answered from memory, read in the background every %.1f s; one complete read: "
               "%d request(s), %s on the wire (%s); %s when its slave is silent\n",
               meter.maxAgeS, meter.maxAgeS / 2.0, read.requests, Milliseconds(read.wireUs).c_str(),
               SpeedText(link->line.speed).c_str(), Milliseconds(SilentReadUs(limitMs)).c_str());
}

void PrintBackgroundShare(const CheckedFile& file, FILE* out) {
  for (const LinkModel& link : file.links) {
    if (!AnyMaxAge(file, link)) continue;
    const double share = BackgroundShare(file, link);
    std::fprintf(out, "\nbackground reads of the meters with MaxAge on [%s]: %.1f %% of its line%s\n",
                 LinkSectionOf(link.name).c_str(), share * kPercent,
                 share > 1.0 ? ": more than it has, see the findings" : "");
  }
}

}  // namespace kestrel
