#include "support/counters.h"

namespace kestrel {

const char* OutcomeLabel(Outcome outcome) {
  switch (outcome) {
    case Outcome::kOk: return "ok";
    case Outcome::kException: return "exception";
    case Outcome::kSilence: return "silence";
    case Outcome::kCrc: return "crc";
    case Outcome::kInvalid: return "invalid";
    case Outcome::kNotSent: return "not_sent";
  }
  return "";
}

const char* WriteOutcomeLabel(WriteOutcome outcome) {
  switch (outcome) {
    case WriteOutcome::kDone: return "done";
    case WriteOutcome::kRefused: return "refused";
    case WriteOutcome::kFailed: return "failed";
  }
  return "";
}

const char* MBusFrameKindLabel(MBusFrameKind kind) {
  switch (kind) {
    case MBusFrameKind::kReqUd2: return "req_ud2";
    case MBusFrameKind::kSndUd: return "snd_ud";
    case MBusFrameKind::kSndNke: return "snd_nke";
    case MBusFrameKind::kAppReset: return "app_reset";
    case MBusFrameKind::kSelection: return "selection";
    case MBusFrameKind::kOther: return "other";
    case MBusFrameKind::kInvalid: return "invalid";
  }
  return "";
}

}  // namespace kestrel
