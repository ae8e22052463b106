#pragma once
// How the Modbus side's keys time its line: how long a character takes on a
// serial line and, with frame_gap, the silence before every request (rtu:
// 3.5 character times; a number: that many ms). A socket has neither; the
// key is then ignored. The gateway's bring-up and kestrel-check read it alike.
#include <cstdint>
#include <string>
#include <vector>

#include "links/link.h"
#include "ports/port_factory.h"

namespace kestrel {

class ConfigStore;

struct ModbusTiming {
  int64_t byteTimeUs = 0;  // one character on the line; 0 on a socket
  int64_t frameGapUs = 0;  // 0: no frame_gap, the usual pause after a read
  bool serial = false;
  std::string frameGapText;  // as written; empty when absent
  bool frameGapRefused = false;  // present but neither rtu nor a number of ms (0 to 1000)
  bool rtuGap = false;           // frame_gap = rtu
  LineSpeed speed;               // the section's serial line; none on a socket
};

ModbusTiming ModbusTimingOf(const ConfigStore& store, const std::string& section);

// Besides [ModbusPort], up to 32 links of their own, [ModbusPort.NAME].
constexpr size_t kMostNamedLinks = 32;
constexpr size_t kLongestLinkName = 16;

// 1 to 16 letters, digits, _ or -.
bool IsLinkName(const std::string& name);

// The section of the link: ModbusPort, or ModbusPort.NAME.
std::string LinkSectionOf(const std::string& name);

// Why a section [ModbusPort.NAME] is no link: its NAME, or more than
// kMostNamedLinks before it.
enum class LinkRefusal : uint8_t { kNone, kName, kBeyondMost };

struct LinkSection {
  std::string name;  // NAME as iniparser gives it (lower case)
  LinkRefusal refusal = LinkRefusal::kNone;
};

// Every section [ModbusPort.NAME] of MainConfig, in file order, and whether
// the gateway takes it as a link (kestrel-check reports those it refuses).
std::vector<LinkSection> LinkSectionsOf(const ConfigStore& store);

// The names of the links beyond [ModbusPort], in file order, as iniparser
// gives them (lower case); a section whose name is refused, or beyond the
// 32nd, is a StartupLog line and no link.
std::vector<std::string> LinkNames(const ConfigStore& store);

// The keys of a link's section a reload takes without building its port
// again: its time limit and frame gap.
extern const std::vector<std::string> kLinkKeysTakenAnew;

// The link's time limit, character time and frame gap, from its section.
void TakeLinkTiming(const ConfigStore& store, Link& link);

// Builds and opens the port of the link's section and sets its line from
// the same section (time limit, character time, frame gap), with the
// StartupLog lines of the Modbus side: the one place both the gateway and
// kestrel-check --read take a line's settings from.
void OpenLink(const ConfigStore& store, Link& link);

}  // namespace kestrel
