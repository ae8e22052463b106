#include "links/link_settings.h"

#include <strings.h>

#include <cctype>
#include <cmath>
#include <cstdlib>

#include "modbus/framing.h"
#include "ports/TSER.h"
#include "ports/port_factory.h"
#include "support/clock.h"
#include "support/config_store.h"
#include "support/logs.h"

namespace kestrel {
namespace {

constexpr int64_t kUsPerSecond = 1000000;
constexpr double kLongestFrameGapMs = 1000;  // more would only stall the line

// rtu, or a number of ms; -1 for anything else.
int64_t FrameGapUs(const std::string& text, const LineSpeed& speed) {
  if (strcasecmp(text.c_str(), "rtu") == 0) return RtuFrameGapUs(speed.baudRate, speed.characterBits);
  char* end = nullptr;
  const double ms = std::strtod(text.c_str(), &end);
  if (end == text.c_str() || *end != '\0' || !(ms >= 0) || ms > kLongestFrameGapMs) return -1;
  return static_cast<int64_t>(std::ceil(ms * kUsPerMs));
}

bool IsNameCharacter(char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_' || c == '-'; }

// "Modbus link roof", for the StartupLog lines of a named link.
std::string Described(const Link& link) { return "Modbus link " + link.name; }

// A serial line: how long a character takes, and with frame_gap the silence
// before every request; refused, a StartupLog line and the usual pauses.
void ApplyTiming(const ConfigStore& store, ModbusLine& line, const std::string& section) {
  const ModbusTiming timing = ModbusTimingOf(store, section);
  line.byteTimeUs = timing.byteTimeUs;
  line.frameGapUs = timing.frameGapUs;
  line.baudRate = timing.speed.baudRate;
  line.dataBits = timing.speed.dataBits;
  line.stopBits = timing.speed.stopBits;
  line.rtuGap = timing.rtuGap;
  if (timing.frameGapRefused) {
    LogStartup("Error: [%s] frame_gap: \"%s\" is not rtu or a number of ms: the line keeps its usual pauses\n",
               section.c_str(), timing.frameGapText.c_str());
  }
}

}  // namespace

ModbusTiming ModbusTimingOf(const ConfigStore& store, const std::string& section) {
  ModbusTiming timing;
  const LineSpeed speed = LineSpeedOf(store, section);
  timing.speed = speed;
  store.GetString(timing.frameGapText, section, "frame_gap", true, false);
  timing.serial = speed.baudRate > 0;
  if (!timing.serial) return timing;
  timing.byteTimeUs = (int64_t{speed.characterBits} * kUsPerSecond + speed.baudRate - 1) / speed.baudRate;
  if (timing.frameGapText.empty()) return timing;
  const int64_t gapUs = FrameGapUs(timing.frameGapText, speed);
  timing.rtuGap = strcasecmp(timing.frameGapText.c_str(), "rtu") == 0;
  timing.frameGapRefused = gapUs < 0;
  timing.frameGapUs = gapUs < 0 ? 0 : gapUs;
  return timing;
}

}  // namespace kestrel

namespace kestrel {

bool IsLinkName(const std::string& name) {
  if (name.empty() || name.size() > kLongestLinkName) return false;
  for (char c : name) {
    if (!IsNameCharacter(c)) return false;
  }
  return true;
}

std::string LinkSectionOf(const std::string& name) {
  return name.empty() ? std::string(kModbusSection) : std::string(kModbusSection) + "." + name;
}

std::vector<LinkSection> LinkSectionsOf(const ConfigStore& store) {
  std::vector<LinkSection> sections;
  size_t links = 0;
  for (const std::string& section : store.SectionsOf(kModbusSection)) {
    LinkSection found{section.substr(section.find('.') + 1)};
    if (!IsLinkName(found.name)) {
      found.refusal = LinkRefusal::kName;
    } else if (links == kMostNamedLinks) {
      found.refusal = LinkRefusal::kBeyondMost;
    } else {
      ++links;
    }
    sections.push_back(found);
  }
  return sections;
}

std::vector<std::string> LinkNames(const ConfigStore& store) {
  std::vector<std::string> names;
  for (const LinkSection& found : LinkSectionsOf(store)) {
    const std::string section = LinkSectionOf(found.name);
    if (found.refusal == LinkRefusal::kName) {
      LogStartup("Error: [%s]: a link's name is 1 to %zu letters, digits, _ or -: the section is not used\n",
                 section.c_str(), kLongestLinkName);
    } else if (found.refusal == LinkRefusal::kBeyondMost) {
      LogStartup("Error: [%s]: more than %zu Modbus links: the section is not used\n", section.c_str(),
                 kMostNamedLinks);
    } else {
      names.push_back(found.name);
    }
  }
  return names;
}

void OpenLink(const ConfigStore& store, Link& link) {
  const std::string section = LinkSectionOf(link.name);
  // The first link's lines are the gateway's own from before there were others.
  LogStartup(link.name.empty() ? "Opening Modbus Port\n" : "Opening %s\n", Described(link).c_str());
  link.owned = CreatePort(store, section);
  link.settings = store.PortSettingsOf(section, kLinkKeysTakenAnew);
  link.working = link.owned != nullptr;
  const bool open = link.working && link.owned->Open();
  if (link.name.empty()) {
    LogStartup(open ? "Modbus Port is open.\n" : "Could not open Modbus Port.\n");
  } else {
    LogStartup(open ? "%s is open.\n" : "Could not open %s.\n", Described(link).c_str());
  }
  // A section the factory cannot build a port from is run as a port that
  // never opens: that link stays silent.
  if (link.owned == nullptr) link.owned = std::make_unique<TSER>();
  link.port = link.line.port = link.owned.get();
  if (!link.name.empty()) link.port->SetTraceLabel(" (link " + link.name + ")");
  TakeLinkTiming(store, link);
}

const std::vector<std::string> kLinkKeysTakenAnew = {"timeout", "frame_gap"};

void TakeLinkTiming(const ConfigStore& store, Link& link) {
  const std::string section = LinkSectionOf(link.name);
  store.GetInt(link.line.timeoutMs, section, "timeout");
  ApplyTiming(store, link.line, section);
}

}  // namespace kestrel
