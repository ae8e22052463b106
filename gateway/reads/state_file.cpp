#include "gateway/reads/state_file.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "mbus/rsp_ud.h"
#include "support/clock.h"
#include "support/config_store.h"
#include "support/digest.h"
#include "support/hex_text.h"
#include "support/logs.h"
#include "support/paths.h"
#include "support/tmp_files.h"

namespace kestrel {
namespace {

constexpr const char* kFirstLine = "kestrel state 1";
constexpr int64_t kWritePaceMs = 60000;  // at most one write a minute
// Reading times before this (2020-01-01) come from a clock not yet set.
constexpr int64_t kEarliestReadingMs = 1577836800000;
// 32 links of 8 meters of 8 full telegrams hold well below this.
constexpr size_t kLongestStateFile = 16 * 1024 * 1024;
constexpr size_t kMaxTelegramsKept = 255;  // one per TelegramNr at the most

std::string HexOf(const uint8_t* bytes, int count) {
  std::string text;
  char pair[3];
  for (int i = 0; i < count; ++i) {
    std::snprintf(pair, sizeof pair, "%02X", bytes[i]);
    text += pair;
  }
  return text;
}

// false unless text is whole hexadecimal pairs that fit a telegram.
bool BytesOf(const std::string& text, TelegramRecords& records) {
  if (text.size() % 2 != 0 || text.size() / 2 > sizeof records.bytes) return false;
  records.length = static_cast<int>(text.size() / 2);
  for (int i = 0; i < records.length; ++i) {
    const int byte = HexPair(text[2 * static_cast<size_t>(i)], text[2 * static_cast<size_t>(i) + 1]);
    if (byte < 0) return false;
    records.bytes[i] = static_cast<uint8_t>(byte);
  }
  return true;
}

std::string CheckLine(const std::string& body) {
  char line[32];
  std::snprintf(line, sizeof line, "check %016" PRIX64 "\n", Digest(body));
  return line;
}

std::string MeterLines(const Gateway& gateway, size_t index) {
  const Meter& meter = gateway.model.meters[index];
  const Snapshot& snapshot = gateway.background.meters[index].snapshot;
  char head[128];
  std::snprintf(head, sizeof head, "meter %u %08" PRIX32 " %016" PRIX64 " %" PRId64 " %zu\n", meter.primaryAddress,
                meter.idNumber, DefinitionOf(gateway.model, meter), snapshot.readWallMs, snapshot.telegrams.size());
  std::string lines = head;
  for (const TelegramRecords& telegram : snapshot.telegrams) {
    lines += "telegram " + HexOf(telegram.bytes, telegram.length) + "\n";
  }
  return lines;
}

// Snapshots of unknown age are not written again: their reading time is
// not known either.
std::string StateText(const Gateway& gateway) {
  std::string body = std::string(kFirstLine) + "\n";
  for (size_t m = 0; m < gateway.background.meters.size(); ++m) {
    const Snapshot& snapshot = gateway.background.meters[m].snapshot;
    if (gateway.model.meters[m].maxAgeS > 0 && snapshot.complete && !snapshot.ageUnknown) {
      body += MeterLines(gateway, m);
    }
  }
  return body + CheckLine(body);
}

void WriteStateFile(Gateway& gateway) {
  StateFile& state = gateway.background.state;
  state.changed = false;
  state.dueMs = NowMs() + kWritePaceMs;
  const char* why = ReplaceOwnFile(state.path, StateText(gateway));
  if (why != nullptr) LogTrace("State file %s not written: %s\n", state.path.c_str(), why);
}

// The body before the check line, when that line is there and right.
bool CheckedBody(const std::string& text, std::string& body) {
  const size_t at = text.rfind("check ");
  if (at == std::string::npos || (at > 0 && text[at - 1] != '\n')) return false;
  body = text.substr(0, at);
  return text.substr(at) == CheckLine(body) && body.rfind(std::string(kFirstLine) + "\n", 0) == 0;
}

struct SavedMeter {
  unsigned address = 0;
  uint32_t idNumber = 0;
  uint64_t definition = 0;
  int64_t readWallMs = 0;
  std::vector<TelegramRecords> telegrams;
};

// One "meter" line and its telegrams; false when they are not as written.
bool ReadSavedMeter(const std::string& head, std::istringstream& lines, SavedMeter& saved) {
  size_t count = 0;
  if (std::sscanf(head.c_str(), "meter %u %" SCNx32 " %" SCNx64 " %" SCNd64 " %zu", &saved.address, &saved.idNumber,
                  &saved.definition, &saved.readWallMs, &count) != 5 || count > kMaxTelegramsKept) {
    return false;
  }
  saved.telegrams.assign(count, TelegramRecords());
  std::string line;
  for (TelegramRecords& telegram : saved.telegrams) {
    if (!std::getline(lines, line) || line.rfind("telegram ", 0) != 0) return false;
    if (!BytesOf(line.substr(std::strlen("telegram ")), telegram)) return false;
  }
  return true;
}

// The first meter with MaxAge not yet restored that the saved one is, by
// its address, identification number and definition, or -1.
long MeterOf(const Gateway& gateway, const SavedMeter& saved, const std::vector<bool>& restored) {
  for (size_t m = 0; m < gateway.model.meters.size(); ++m) {
    const Meter& meter = gateway.model.meters[m];
    if (restored[m] || meter.maxAgeS == 0 || meter.primaryAddress != saved.address ||
        meter.idNumber != saved.idNumber) {
      continue;
    }
    if (DefinitionOf(gateway.model, meter) == saved.definition) return static_cast<long>(m);
  }
  return -1;
}

// The snapshot as it was; its age counts from its calendar reading time.
void Restore(Gateway& gateway, size_t index, const SavedMeter& saved) {
  Snapshot& snapshot = gateway.background.meters[index].snapshot;
  const int64_t calendarNow = CalendarMs();
  snapshot.telegrams = saved.telegrams;
  snapshot.complete = true;
  snapshot.readWallMs = saved.readWallMs;
  snapshot.ageUnknown = saved.readWallMs > calendarNow || saved.readWallMs < kEarliestReadingMs;
  snapshot.readStartMs = snapshot.ageUnknown ? NowMs() : NowMs() - (calendarNow - saved.readWallMs);
}

void RestoreMeters(Gateway& gateway, const std::string& body) {
  std::istringstream lines(body);
  std::string line;
  std::getline(lines, line);  // the first line, checked
  std::vector<bool> restored(gateway.model.meters.size(), false);
  while (std::getline(lines, line)) {
    SavedMeter saved;
    if (!ReadSavedMeter(line, lines, saved)) break;
    const long index = MeterOf(gateway, saved, restored);
    const bool fits = index >= 0 && saved.telegrams.size() ==
                                        static_cast<size_t>(TelegramCount(gateway.model.meters[static_cast<size_t>(index)],
                                                                          gateway.multiTelegram));
    if (!fits) {
      LogStartup("State file: meter %u (IdNumber %08X) is not one of this configuration's: its values are not used\n",
                 saved.address, saved.idNumber);
      continue;
    }
    restored[static_cast<size_t>(index)] = true;
    Restore(gateway, static_cast<size_t>(index), saved);
  }
}

}  // namespace

void StartStateFile(const ConfigStore& store, Gateway& gateway) {
  std::string path;
  store.GetString(path, "Main", "state_file", true, false);
  if (path.empty()) return;
  if (path[0] != '/') {
    LogStartup("Error: [Main] state_file: \"%s\" is not an absolute path: no state file\n", path.c_str());
    return;
  }
  StateFile& state = gateway.background.state;
  state.path = RootedPath(path);
  std::string text;
  std::string body;
  if (!ReadOwnFile(state.path, kLongestStateFile, text)) {
    LogStartup("State file %s not read (missing, or not a file of the gateway's own): meters wait for their first "
               "read\n", state.path.c_str());
  } else if (!CheckedBody(text, body)) {
    LogStartup("State file %s is damaged, truncated or of another version: not used\n", state.path.c_str());
  } else {
    RestoreMeters(gateway, body);
  }
}

void KeepStateFileCurrent(Gateway& gateway) {
  const StateFile& state = gateway.background.state;
  if (!state.path.empty() && state.changed && NowMs() >= state.dueMs) WriteStateFile(gateway);
}

void WatchStateFile(const Gateway& gateway, WaitSet& wait) {
  const StateFile& state = gateway.background.state;
  if (!state.path.empty() && state.changed) wait.DueAtUs(state.dueMs * kUsPerMs);
}

void WriteStateFileNow(Gateway& gateway) {
  if (!gateway.background.state.path.empty() && gateway.background.state.changed) WriteStateFile(gateway);
}

}  // namespace kestrel
