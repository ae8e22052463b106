#pragma once
// The three INI files (MainConfig, HardwareConfig, DefaultConfig), parsed once
// at start-up. Lookups are "section:key"; iniparser makes both case-insensitive.
#include <string>
#include <vector>

struct _dictionary_;

namespace kestrel {

class ConfigStore {
 public:
  // The default path is always DefaultConfig; it is not a parameter.
  ConfigStore(const std::string& mainPath, const std::string& hardwarePath);
  ~ConfigStore();
  ConfigStore(const ConfigStore&) = delete;
  ConfigStore& operator=(const ConfigStore&) = delete;

  // 0 when HardwareConfig, MainConfig and DefaultConfig (in that order) all
  // parsed; -1 at the first one that did not.
  int Load();

  // MainConfig, then (with useDefault) DefaultConfig, where a section
  // FAMILY.NAME takes the keys of FAMILY (DefaultSectionOf). 0 when found, -1 with ""
  // when absent. A key present with an empty value is found and hides the default.
  int GetString(std::string& value, const std::string& section, const std::string& key,
                bool useDefault, bool toUpper) const;
  // MainConfig, else DefaultConfig, else 0; strtol base 0. Always 0.
  int GetInt(int& value, const std::string& section, const std::string& key) const;
  // The sections FAMILY.NAME of MainConfig, in file order, as iniparser
  // keeps their names: in lower case.
  std::vector<std::string> SectionsOf(const std::string& family) const;
  // What the section's port is built from: its keys in MainConfig, those
  // of its default section in DefaultConfig, and HardwareConfig's [Main]
  // (the devices and interfaces they name), one "key=value" line each, in
  // file order, but for the keys the gateway takes anew without building
  // the port again (lower case). Two configurations that give a section the
  // same text build the same port from it.
  std::string PortSettingsOf(const std::string& section, const std::vector<std::string>& takenAnew) const;
  // HardwareConfig only, case kept. 0 when found, -1 with "" when absent.
  int GetHardwareString(std::string& value, const std::string& section,
                        const std::string& key) const;

 private:
  std::string mainPath_;
  std::string hardwarePath_;
  std::string defaultPath_;
  _dictionary_* hardware_ = nullptr;
  _dictionary_* main_ = nullptr;
  _dictionary_* default_ = nullptr;
};

// [Main] key as an absolute path, below KESTREL_ROOT when set; empty when
// absent or empty, and when relative, with a StartupLog line that ends in
// what the gateway then does without it ("no metrics file").
std::string MainPathKey(const ConfigStore& store, const char* key, const char* without);

// [Main] metrics_interval as the gateway takes it: 15 s when absent or not
// above 0, at most 86400 s.
constexpr int kLongestMetricsIntervalS = 86400;
int MetricsIntervalS(int configured);

// The section whose defaults a section takes: FAMILY for FAMILY.NAME, else itself.
std::string DefaultSectionOf(const std::string& section);

// A yes/no key: yes in any letter case (MainConfig, else DefaultConfig)
// switches it on; any other value, or none, leaves it off.
constexpr const char* kSwitchedOn = "YES";
constexpr const char* kSwitchedOff = "NO";
bool IsSwitchedOn(const ConfigStore& store, const std::string& section, const std::string& key);

}  // namespace kestrel
