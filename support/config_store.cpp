#include "support/config_store.h"

#include <iniparser.h>

#include <strings.h>

#include <cctype>
#include <cstring>

#include "support/logs.h"
#include "support/paths.h"

namespace kestrel {
namespace {

std::string LookupKey(const std::string& section, const std::string& key) {
  return section + ":" + key;
}

bool IsTakenAnew(const char* key, const std::vector<std::string>& takenAnew) {
  const char* name = std::strchr(key, ':');
  name = name == nullptr ? key : name + 1;
  for (const std::string& anew : takenAnew) {
    if (strcasecmp(anew.c_str(), name) == 0) return true;
  }
  return false;
}

// The keys of the section, "section:key=value" a line.
std::string SectionText(const _dictionary_* file, const std::string& section,
                        const std::vector<std::string>& takenAnew) {
  const int count = iniparser_getsecnkeys(file, section.c_str());
  if (count <= 0) return std::string();
  std::vector<const char*> keys(static_cast<size_t>(count), nullptr);
  if (iniparser_getseckeys(file, section.c_str(), keys.data()) == nullptr) return std::string();
  std::string text;
  for (const char* key : keys) {
    if (key == nullptr || IsTakenAnew(key, takenAnew)) continue;
    text.append(key).append("=").append(iniparser_getstring(file, key, "")).append("\n");
  }
  return text;
}

}  // namespace

ConfigStore::ConfigStore(const std::string& mainPath, const std::string& hardwarePath)
    : mainPath_(mainPath), hardwarePath_(hardwarePath), defaultPath_(RootedPath(kDefaultConfigPath)) {}

ConfigStore::~ConfigStore() {
  if (hardware_ != nullptr) iniparser_freedict(hardware_);
  if (main_ != nullptr) iniparser_freedict(main_);
  if (default_ != nullptr) iniparser_freedict(default_);
}

int ConfigStore::Load() {
  hardware_ = iniparser_load(hardwarePath_.c_str());
  if (hardware_ == nullptr) return -1;
  main_ = iniparser_load(mainPath_.c_str());
  if (main_ == nullptr) return -1;
  default_ = iniparser_load(defaultPath_.c_str());
  if (default_ == nullptr) return -1;
  return 0;
}

int ConfigStore::GetString(std::string& value, const std::string& section, const std::string& key,
                           bool useDefault, bool toUpper) const {
  const std::string lookup = LookupKey(section, key);
  const char* found = iniparser_getstring(main_, lookup.c_str(), nullptr);
  if (found == nullptr && useDefault) {
    found = iniparser_getstring(default_, LookupKey(DefaultSectionOf(section), key).c_str(), nullptr);
  }
  if (found == nullptr) {
    value.clear();
    return -1;
  }
  value = found;
  if (toUpper) {
    for (char& c : value) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  return 0;
}

int ConfigStore::GetInt(int& value, const std::string& section, const std::string& key) const {
  const std::string lookup = LookupKey(section, key);
  const int fallback = iniparser_getint(default_, LookupKey(DefaultSectionOf(section), key).c_str(), 0);
  value = iniparser_getint(main_, lookup.c_str(), fallback);
  return 0;
}

std::vector<std::string> ConfigStore::SectionsOf(const std::string& family) const {
  std::vector<std::string> found;
  const int count = iniparser_getnsec(main_);
  for (int i = 0; i < count; ++i) {
    const char* name = iniparser_getsecname(main_, i);
    if (name != nullptr && DefaultSectionOf(name).size() < std::strlen(name) &&
        strcasecmp(DefaultSectionOf(name).c_str(), family.c_str()) == 0) {
      found.push_back(name);
    }
  }
  return found;
}

std::string ConfigStore::PortSettingsOf(const std::string& section, const std::vector<std::string>& takenAnew) const {
  return SectionText(main_, section, takenAnew) + "--\n" +
         SectionText(default_, DefaultSectionOf(section), takenAnew) + "--\n" + SectionText(hardware_, "Main", {});
}

int ConfigStore::GetHardwareString(std::string& value, const std::string& section,
                                   const std::string& key) const {
  const std::string lookup = LookupKey(section, key);
  const char* found = iniparser_getstring(hardware_, lookup.c_str(), nullptr);
  if (found == nullptr) {
    value.clear();
    return -1;
  }
  value = found;
  return 0;
}

std::string MainPathKey(const ConfigStore& store, const char* key, const char* without) {
  std::string path;
  store.GetString(path, "Main", key, true, false);
  if (path.empty()) return path;
  if (path[0] != '/') {
    LogStartup("Error: [Main] %s: \"%s\" is not an absolute path: %s\n", key, path.c_str(), without);
    return std::string();
  }
  return RootedPath(path);
}

std::string DefaultSectionOf(const std::string& section) { return section.substr(0, section.find('.')); }

bool IsSwitchedOn(const ConfigStore& store, const std::string& section, const std::string& key) {
  std::string value;
  store.GetString(value, section, key, true, true);
  return value == kSwitchedOn;
}

int MetricsIntervalS(int configured) {
  constexpr int kDefaultMetricsIntervalS = 15;
  if (configured <= 0) return kDefaultMetricsIntervalS;
  return configured > kLongestMetricsIntervalS ? kLongestMetricsIntervalS : configured;
}

}  // namespace kestrel
