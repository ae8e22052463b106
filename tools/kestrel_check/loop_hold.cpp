#include "tools/kestrel_check/loop_hold.h"

#include <cmath>
#include <string>

#include "checks/line_budget.h"
#include "links/link_settings.h"
#include "mbus/frame.h"
#include "mbus/rsp_ud.h"
#include "modbus/requests.h"
#include "ports/port_factory.h"
#include "support/clock.h"

namespace kestrel {
namespace {

constexpr const char* kMBusSection = "MBusPort";
// A round of the loop steps the links at most three times: before the
// request's work has ended, again when the request's handler begins work
// that needs no line (a REQ_UD2 after a write, on a meter read from
// memory), and after the answer. Each step puts at most one request on a
// link's line.
constexpr int kLinkStepsPerRound = 3;

struct HoldPart {
  std::string text;
  int64_t us;
};

// A write of so many bytes on the section's serial line with rs485 = rts:
// the delay before, the bytes leaving the line, the delay after; 0 on any
// other line, where a write returns at once.
int64_t RtsWriteUs(const ConfigStore& store, const std::string& section, int bytes) {
  const Rs485Settings rs485 = Rs485Of(store, section);
  const LineSpeed speed = LineSpeedOf(store, section);
  if (rs485.mode != Rs485Mode::kRts || speed.baudRate <= 0) return 0;
  return int64_t{rs485.delayBeforeMs + rs485.delayAfterMs} * kUsPerMs +
         static_cast<int64_t>(std::ceil(bytes * ByteTimeUs(speed)));
}

void AddMBusParts(const ConfigStore& store, std::vector<HoldPart>& parts) {
  const int64_t gapUs = AnswerGapUs(LineSpeedOf(store, kMBusSection).baudRate);
  if (gapUs > 0) parts.push_back({"the M-Bus answer gap " + Milliseconds(gapUs), gapUs});
  const int answerBytes = RspUdLength(kMaxRecordBytes);
  const int64_t answerUs = RtsWriteUs(store, kMBusSection, answerBytes);
  if (answerUs == 0) return;
  parts.push_back({"[MBusPort] rs485 = rts: an answer of up to " + std::to_string(answerBytes) + " bytes " +
                       Milliseconds(answerUs),
                   answerUs});
}

// A link whose section builds no port never writes.
void AddLinkParts(const ConfigStore& store, const std::vector<LinkModel>& links, std::vector<HoldPart>& parts) {
  for (const LinkModel& link : links) {
    const std::string section = LinkSectionOf(link.name);
    const int64_t requestUs = link.working ? RtsWriteUs(store, section, kMaxWriteRequestLength) : 0;
    if (requestUs == 0) continue;
    parts.push_back({"[" + section + "] rs485 = rts: " + std::to_string(kLinkStepsPerRound) + " requests of up to " +
                         std::to_string(kMaxWriteRequestLength) + " bytes, " + Milliseconds(requestUs) + " each",
                     kLinkStepsPerRound * requestUs});
  }
}

std::vector<HoldPart> HoldParts(const ConfigStore& store, const std::vector<LinkModel>& links) {
  std::vector<HoldPart> parts;
  AddMBusParts(store, parts);
  AddLinkParts(store, links, parts);
  return parts;
}

}  // namespace

int64_t LongestLoopHoldUs(const ConfigStore& store, const std::vector<LinkModel>& links) {
  int64_t us = 0;
  for (const HoldPart& part : HoldParts(store, links)) us += part.us;
  return us;
}

void PrintLoopHold(const ConfigStore& store, const std::vector<LinkModel>& links, FILE* out) {
  std::string parts;
  for (const HoldPart& part : HoldParts(store, links)) parts += (parts.empty() ? "" : "; ") + part.text;
  if (parts.empty()) parts = "no serial M-Bus line, no rs485 = rts";
  std::fprintf(out,
               "\nlongest the main loop can be held: %s (%s) besides writing the trace and metrics files; a "
               "request read afresh does not hold it. systemd's WatchdogSec must be longer\n",
               Milliseconds(LongestLoopHoldUs(store, links)).c_str(), parts.c_str());
}

}  // namespace kestrel
