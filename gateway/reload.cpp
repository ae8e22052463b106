#include "gateway/reload.h"

#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "checks/configuration.h"
#include "gateway/bringup.h"
#include "gateway/gateway.h"
#include "gateway/monitoring/service_notify.h"
#include "gateway/reads/background_reads.h"
#include "gateway/reads/state_file.h"
#include "links/link_settings.h"
#include "support/clock.h"
#include "support/config_store.h"
#include "support/events.h"
#include "support/logs.h"
#include "support/paths.h"

namespace kestrel {
namespace {

constexpr long kNewMeter = -1;

// What became of the meters: per meter of the new model the old one it
// goes on as (kNewMeter: none), and the counts the reload reports. A meter
// with another definition at the same address and IdNumber has changed;
// any other is added or removed.
struct MeterMatch {
  std::vector<long> keptFrom;
  size_t added = 0;
  size_t changed = 0;
  size_t removed = 0;
};

bool SameIdentity(const Meter& a, const Meter& b) {
  return a.primaryAddress == b.primaryAddress && a.idNumber == b.idNumber;
}

// An unchanged definition is the same meter: each old meter goes on as the
// first new one in document order with its digest.
MeterMatch MatchMeters(const MeterModel& old, const MeterModel& now) {
  MeterMatch match;
  match.keptFrom.assign(now.meters.size(), kNewMeter);
  std::vector<uint64_t> oldDefinitions;
  for (const Meter& meter : old.meters) oldDefinitions.push_back(DefinitionOf(old, meter));
  std::vector<bool> accounted(old.meters.size(), false);
  for (size_t n = 0; n < now.meters.size(); ++n) {
    const uint64_t definition = DefinitionOf(now, now.meters[n]);
    for (size_t o = 0; o < old.meters.size() && match.keptFrom[n] == kNewMeter; ++o) {
      if (accounted[o] || oldDefinitions[o] != definition) continue;
      match.keptFrom[n] = static_cast<long>(o);
      accounted[o] = true;
    }
  }
  for (size_t n = 0; n < now.meters.size(); ++n) {
    if (match.keptFrom[n] != kNewMeter) continue;
    size_t o = 0;
    while (o < old.meters.size() && (accounted[o] || !SameIdentity(old.meters[o], now.meters[n]))) ++o;
    if (o < old.meters.size()) {
      accounted[o] = true;
      ++match.changed;
    } else {
      ++match.added;
    }
  }
  for (bool taken : accounted) match.removed += taken ? 0 : 1;
  return match;
}

// The sections whose ports were closed, built anew or built for the first
// time: "MBusPort, ModbusPort.roof".
using ChangedPorts = std::vector<std::string>;

void NoteChangedPort(ChangedPorts& changed, const std::string& section) {
  for (const std::string& noted : changed) {
    if (noted == section) return;
  }
  changed.push_back(section);
}

std::string PortsText(const ChangedPorts& changed) {
  if (changed.empty()) return "ports unchanged";
  std::string text = "ports changed: ";
  for (size_t i = 0; i < changed.size(); ++i) text += (i == 0 ? "" : ", ") + changed[i];
  return text;
}

// Before any port is built anew, every one that changes is closed: its
// successor may need its device or its TCP port.
bool ReplaceMBusPort(const ConfigStore& store, Gateway& gateway, ChangedPorts& changed) {
  if (store.PortSettingsOf("MBusPort", kMBusKeysTakenAnew) == gateway.mbusSettings) return false;
  gateway.mbusPort->Close();
  gateway.mbusOwned.reset();
  OpenMBusSide(store, gateway);
  NoteChangedPort(changed, "MBusPort");
  return true;
}

// Per link the configuration names, the old link with its name and its
// settings (its index), or -1.
std::vector<long> KeptLinks(const ConfigStore& store, const std::vector<std::string>& names,
                            const std::vector<std::unique_ptr<Link>>& old) {
  std::vector<long> keptFrom(names.size(), -1);
  for (size_t l = 0; l < names.size(); ++l) {
    const std::string settings = store.PortSettingsOf(LinkSectionOf(names[l]), kLinkKeysTakenAnew);
    for (size_t o = 0; o < old.size() && keptFrom[l] < 0; ++o) {
      if (old[o]->name == names[l] && old[o]->settings == settings) keptFrom[l] = static_cast<long>(o);
    }
  }
  return keptFrom;
}

// The links the configuration names, [ModbusPort] first: those with the
// same settings as before kept, open, with what is under way on them, the
// others closed before any is opened; per link the index it had before,
// or -1.
std::vector<long> ReplaceLinks(const ConfigStore& store, Gateway& gateway, ChangedPorts& changed) {
  std::vector<std::string> names = LinkNames(store);
  names.insert(names.begin(), std::string());
  std::vector<std::unique_ptr<Link>> old = std::move(gateway.links);
  const std::vector<long> keptFrom = KeptLinks(store, names, old);
  gateway.links.clear();
  gateway.links.resize(names.size());
  for (size_t l = 0; l < names.size(); ++l) {
    if (keptFrom[l] < 0) continue;
    gateway.links[l] = std::move(old[static_cast<size_t>(keptFrom[l])]);
    TakeLinkTiming(store, *gateway.links[l]);
  }
  for (const std::unique_ptr<Link>& gone : old) {
    if (gone == nullptr) continue;
    gone->port->Close();
    NoteChangedPort(changed, SectionName(*gone));
  }
  for (size_t l = 0; l < names.size(); ++l) {
    if (gateway.links[l] != nullptr) continue;
    gateway.links[l] = std::make_unique<Link>();
    gateway.links[l]->name = names[l];
    OpenLink(store, *gateway.links[l]);
    NoteChangedPort(changed, SectionName(*gateway.links[l]));
  }
  return keptFrom;
}

// The old meter's background read was under way: dropped with the old
// model, it is due again at once.
bool ReadUnderWay(const BackgroundReads& old, size_t meter) {
  for (const LinkReads& reads : old.links) {
    if (reads.active && reads.meter == meter) return true;
  }
  return false;
}

// What a meter that goes on keeps from the one it was.
struct FormerState {
  MeterModel model;
  BackgroundReads background;
  HeldCounters held;
  std::vector<MeterCounters> counters;
  std::vector<size_t> seriesOf;
  Selection selection;
};

void CarryMeter(Gateway& gateway, const FormerState& former, size_t now, size_t old) {
  Meter& meter = gateway.model.meters[now];
  const Meter& was = former.model.meters[old];
  meter.accessNumber = was.accessNumber;
  meter.readout = was.readout;
  CachedMeter& cached = gateway.background.meters[now];
  cached = former.background.meters[old];
  if (ReadUnderWay(former.background, old)) cached.nextReadMs = NowMs();
  for (size_t r = 0; r < meter.records.size() && r < was.records.size(); ++r) {
    gateway.held.records[meter.records[r]] = former.held.records[was.records[r]];
  }
}

void CarryMeters(Gateway& gateway, const FormerState& former, const MeterMatch& match) {
  for (size_t n = 0; n < match.keptFrom.size(); ++n) {
    if (match.keptFrom[n] == kNewMeter) {
      gateway.model.meters[n].accessNumber = static_cast<uint8_t>(std::rand() & 0xFF);
    } else {
      CarryMeter(gateway, former, n, static_cast<size_t>(match.keptFrom[n]));
    }
  }
  Monitoring& monitoring = gateway.monitoring;
  AssignSeries(gateway.model, monitoring);
  for (size_t series = 0; series < monitoring.meters.size(); ++series) {
    const long old = match.keptFrom[monitoring.firstMeterOf[series]];
    if (old != kNewMeter) monitoring.meters[series] = former.counters[former.seriesOf[static_cast<size_t>(old)]];
  }
  // A selected meter that goes on stays selected.
  EndSelection(gateway);
  for (size_t n = 0; n < match.keptFrom.size() && former.selection.selected; ++n) {
    if (match.keptFrom[n] == static_cast<long>(former.selection.meter)) gateway.selection = {true, n};
  }
}

// The background reads start again for the new model; a kept link keeps
// what it knows of its slaves.
void RestartBackgroundReads(Gateway& gateway, const FormerState& former, const std::vector<long>& linksFrom) {
  const StateFile state = former.background.state;
  StartBackgroundReads(gateway);
  gateway.background.state = state;
  for (size_t l = 0; l < linksFrom.size(); ++l) {
    if (linksFrom[l] < 0) continue;
    gateway.background.links[l].slaves = former.background.links[static_cast<size_t>(linksFrom[l])].slaves;
  }
}

// Returns true when the M-Bus port was built anew.
bool TakeConfiguration(Gateway& gateway, CheckedConfiguration& checked) {
  const ConfigStore& store = checked.store;
  ChangedPorts changedPorts;
  const bool mbusReplaced = ReplaceMBusPort(store, gateway, changedPorts);
  ReadMBusSettings(store, gateway);
  const std::vector<long> linksFrom = ReplaceLinks(store, gateway, changedPorts);

  FormerState former{std::move(gateway.model), std::move(gateway.background), std::move(gateway.held),
                     std::move(gateway.monitoring.meters), std::move(gateway.monitoring.seriesOf), gateway.selection};
  gateway.model = std::move(checked.model);
  const MeterMatch match = MatchMeters(former.model, gateway.model);
  RestartBackgroundReads(gateway, former, linksFrom);
  CarryMeters(gateway, former, match);
  AssignLinks(gateway);
  gateway.writes = ReadWritePolicy(store, gateway.model);
  ReadMonitoringKeys(store, gateway.monitoring);
  ReadStateFileKey(store, gateway);

  ConfigReloads& reloads = gateway.monitoring.reloads;
  ++reloads.done;
  reloads.lastMs = CalendarMs();
  reloads.lastRefused = false;
  const std::string what = std::to_string(match.added) + " meters added, " + std::to_string(match.changed) +
                           " changed, " + std::to_string(match.removed) + " removed; " + PortsText(changedPorts);
  LogStartup("Reload: %s\n", what.c_str());
  LogTrace("Reload: %s\n", what.c_str());
  LogEvent(EventPriority::kNotice, "reload: %s", what.c_str());
  return mbusReplaced;
}

// "FILE: WHERE: MESSAGE" of each error, a StartupLog line each; the first
// also as the event.
void RefuseConfiguration(Gateway& gateway, const Report& report) {
  size_t errors = 0;
  std::string first;
  for (const Finding& finding : report.findings) {
    if (finding.severity != Severity::kError) continue;
    const std::string text = FindingText(finding);
    if (errors++ == 0) {
      first = text;
      LogStartup("Reload refused, the configuration in use stays:\n");
    }
    LogStartup("error: %s\n", text.c_str());
  }
  LogTrace("Reload refused, the configuration in use stays: %zu error(s), the first: %s\n", errors, first.c_str());
  LogEvent(EventPriority::kError, "reload refused, the configuration in use stays: %zu error(s), the first: %s",
           errors, first.c_str());
  ConfigReloads& reloads = gateway.monitoring.reloads;
  ++reloads.refused;
  reloads.lastRefused = true;
}

}  // namespace

bool ReloadConfiguration(Gateway& gateway) {
  NotifyReloading(gateway);
  ReopenStartupLog();
  const ConfigFiles files{RootedPath(kMainConfigPath), RootedPath(kHardwareConfigPath),
                          RootedPath(kDefaultConfigPath)};
  // Large: the model of a whole plant.
  const std::unique_ptr<CheckedConfiguration> checked = std::make_unique<CheckedConfiguration>(files);
  CheckConfiguration(files, std::string(), *checked);
  bool mbusReplaced = false;
  if (ExitStatus(checked->report) == kExitErrors) {
    RefuseConfiguration(gateway, checked->report);
  } else {
    mbusReplaced = TakeConfiguration(gateway, *checked);
  }
  CloseStartupLog();
  ++gateway.monitoring.changes;
  NotifyReady(gateway);
  return mbusReplaced;
}

}  // namespace kestrel
