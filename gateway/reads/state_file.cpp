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
constexpr size_t kMaxRecordsKept = 65536;  // held values of one meter's records, far more than it has

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

// The held counter of the meter's record at position, when it has one.
const HeldCounter* HeldAt(const Gateway& gateway, const Meter& meter, size_t position) {
  const uint32_t index = meter.records[position];
  if (index >= gateway.model.records.size() || index >= gateway.held.records.size()) return nullptr;
  const HeldCounter& held = gateway.held.records[index];
  return gateway.model.records[index].monotonic && held.read ? &held : nullptr;
}

std::string HeldLines(const Gateway& gateway, const Meter& meter, int& count) {
  std::string lines;
  count = 0;
  for (size_t position = 0; position < meter.records.size(); ++position) {
    const HeldCounter* held = HeldAt(gateway, meter, position);
    if (held == nullptr) continue;
    char tail[64];
    std::snprintf(tail, sizeof tail, " %d %d %u\n", held->exponent, held->vibByteAt, held->vibByte);
    lines += "held " + std::to_string(position) + " " + HexOf(held->value, kMaxValueBytes) + tail;
    ++count;
  }
  return lines;
}

// Snapshots of unknown age are not written again: their reading time is
// not known either.
bool SnapshotKept(const Gateway& gateway, size_t index) {
  const Snapshot& snapshot = gateway.background.meters[index].snapshot;
  return gateway.model.meters[index].maxAgeS > 0 && snapshot.complete && !snapshot.ageUnknown;
}

// The meter's lines; empty when it has nothing to keep.
std::string MeterLines(const Gateway& gateway, size_t index) {
  const Meter& meter = gateway.model.meters[index];
  int heldCount = 0;
  const std::string held = HeldLines(gateway, meter, heldCount);
  const bool snapshotKept = SnapshotKept(gateway, index);
  if (!snapshotKept && heldCount == 0) return "";
  const Snapshot& snapshot = gateway.background.meters[index].snapshot;
  char head[160];
  std::snprintf(head, sizeof head, "meter %u %08" PRIX32 " %016" PRIX64 " %" PRId64 " %zu %d\n", meter.primaryAddress,
                meter.idNumber, DefinitionOf(gateway.model, meter), snapshotKept ? snapshot.readWallMs : 0,
                snapshotKept ? snapshot.telegrams.size() : 0, heldCount);
  std::string lines = head;
  for (size_t t = 0; snapshotKept && t < snapshot.telegrams.size(); ++t) {
    lines += "telegram " + HexOf(snapshot.telegrams[t].bytes, snapshot.telegrams[t].length) + "\n";
  }
  return lines + held;
}

std::string StateText(const Gateway& gateway) {
  std::string body = std::string(kFirstLine) + "\n";
  for (size_t m = 0; m < gateway.background.meters.size(); ++m) body += MeterLines(gateway, m);
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

struct SavedHeld {
  size_t position = 0;  // among the meter's records
  HeldCounter counter;
};

struct SavedMeter {
  unsigned address = 0;
  uint32_t idNumber = 0;
  uint64_t definition = 0;
  int64_t readWallMs = 0;
  std::vector<TelegramRecords> telegrams;
  std::vector<SavedHeld> held;
};

// One "held" line: false when it is not as written.
bool ReadSavedHeld(const std::string& line, SavedHeld& saved) {
  char value[2 * kMaxValueBytes + 1] = {};
  unsigned vibByte = 0;
  HeldCounter& counter = saved.counter;
  if (std::sscanf(line.c_str(), "held %zu %16s %d %d %u", &saved.position, value, &counter.exponent,
                  &counter.vibByteAt, &vibByte) != 5 ||
      vibByte > 0xFF || std::strlen(value) != 2 * kMaxValueBytes) {
    return false;
  }
  TelegramRecords bytes;
  if (!BytesOf(value, bytes)) return false;
  std::memcpy(counter.value, bytes.bytes, kMaxValueBytes);
  counter.vibByte = static_cast<uint8_t>(vibByte);
  counter.read = true;
  return true;
}

// One "meter" line and its telegrams; false when they are not as written.
bool ReadSavedMeter(const std::string& head, std::istringstream& lines, SavedMeter& saved) {
  size_t count = 0;
  size_t heldCount = 0;
  if (std::sscanf(head.c_str(), "meter %u %" SCNx32 " %" SCNx64 " %" SCNd64 " %zu %zu", &saved.address,
                  &saved.idNumber, &saved.definition, &saved.readWallMs, &count, &heldCount) != 6 ||
      count > kMaxTelegramsKept || heldCount > kMaxRecordsKept) {
    return false;
  }
  saved.telegrams.assign(count, TelegramRecords());
  std::string line;
  for (TelegramRecords& telegram : saved.telegrams) {
    if (!std::getline(lines, line) || line.rfind("telegram ", 0) != 0) return false;
    if (!BytesOf(line.substr(std::strlen("telegram ")), telegram)) return false;
  }
  saved.held.assign(heldCount, SavedHeld());
  for (SavedHeld& held : saved.held) {
    if (!std::getline(lines, line) || !ReadSavedHeld(line, held)) return false;
  }
  return true;
}

// The first meter not yet restored that the saved one is, by its address,
// identification number and definition, or -1.
long MeterOf(const Gateway& gateway, const SavedMeter& saved, const std::vector<bool>& restored) {
  for (size_t m = 0; m < gateway.model.meters.size(); ++m) {
    const Meter& meter = gateway.model.meters[m];
    if (restored[m] || meter.primaryAddress != saved.address || meter.idNumber != saved.idNumber) {
      continue;
    }
    if (DefinitionOf(gateway.model, meter) == saved.definition) return static_cast<long>(m);
  }
  return -1;
}

// The held values of its Monotonic records, as they were.
void RestoreHeld(Gateway& gateway, const Meter& meter, const SavedMeter& saved) {
  for (const SavedHeld& held : saved.held) {
    if (held.position >= meter.records.size()) continue;
    const uint32_t index = meter.records[held.position];
    if (index < gateway.held.records.size() && gateway.model.records[index].monotonic) {
      gateway.held.records[index] = held.counter;
    }
  }
}

// The snapshot as it was; its age counts from its calendar reading time.
void RestoreSnapshot(Gateway& gateway, size_t index, const SavedMeter& saved) {
  if (gateway.model.meters[index].maxAgeS == 0 || saved.telegrams.empty()) return;
  Snapshot& snapshot = gateway.background.meters[index].snapshot;
  const int64_t calendarNow = CalendarMs();
  snapshot.telegrams = saved.telegrams;
  snapshot.complete = true;
  snapshot.readWallMs = saved.readWallMs;
  snapshot.ageUnknown = saved.readWallMs > calendarNow || saved.readWallMs < kEarliestReadingMs;
  snapshot.readStartMs = snapshot.ageUnknown ? NowMs() : NowMs() - (calendarNow - saved.readWallMs);
}

// A snapshot, when there is one, has the meter's telegrams (multi_telegram
// may have changed since).
bool Fits(const Gateway& gateway, const Meter& meter, const SavedMeter& saved) {
  return saved.telegrams.empty() ||
         saved.telegrams.size() == static_cast<size_t>(TelegramCount(meter, gateway.multiTelegram));
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
    if (index < 0 || !Fits(gateway, gateway.model.meters[static_cast<size_t>(index)], saved)) {
      LogStartup("State file: meter %u (IdNumber %08X) is not one of this configuration's: its values are not used\n",
                 saved.address, saved.idNumber);
      continue;
    }
    restored[static_cast<size_t>(index)] = true;
    RestoreSnapshot(gateway, static_cast<size_t>(index), saved);
    RestoreHeld(gateway, gateway.model.meters[static_cast<size_t>(index)], saved);
  }
}

}  // namespace

void ReadStateFileKey(const ConfigStore& store, Gateway& gateway) {
  gateway.background.state.path = MainPathKey(store, "state_file", "no state file");
}

void StartStateFile(const ConfigStore& store, Gateway& gateway) {
  const StateFile& state = gateway.background.state;
  ReadStateFileKey(store, gateway);
  if (state.path.empty()) return;
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

void NoteHeldValues(Gateway& gateway, const Meter& meter) {
  for (uint32_t index : meter.records) {
    if (index < gateway.model.records.size() && gateway.model.records[index].monotonic) {
      gateway.background.state.changed = true;
      return;
    }
  }
}

void WriteStateFileNow(Gateway& gateway) {
  if (!gateway.background.state.path.empty() && gateway.background.state.changed) WriteStateFile(gateway);
}

}  // namespace kestrel
