#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <tuple>
#include <utility>

#include "support/config_store.h"
#include "support/paths.h"
#include "tests/test_util.h"

using namespace kestrel;

using testutil::TempDir;
using testutil::WriteFile;

namespace {

class ConfigStoreTest : public ::testing::Test {
 protected:
  void SetUp() override { setenv("KESTREL_ROOT", dir.path().c_str(), 1); }
  void TearDown() override { unsetenv("KESTREL_ROOT"); }

  // A file given as nullptr is not written.
  void WriteAll(const char* main, const char* hardware, const char* defaults) {
    for (const auto& [path, text] : {std::pair{kMainConfigPath, main}, {kHardwareConfigPath, hardware},
                                     {kDefaultConfigPath, defaults}}) {
      if (text != nullptr) WriteFile(RootedPath(path), text);
    }
  }

  ConfigStore Store() { return ConfigStore(RootedPath(kMainConfigPath), RootedPath(kHardwareConfigPath)); }

  TempDir dir;
};

// Load reads HardwareConfig, MainConfig and DefaultConfig in this order and
// fails at the first file that is missing or has a malformed line; getters
// then take what was loaded and treat the rest as empty.
TEST_F(ConfigStoreTest, LoadFailsAtTheFirstMissingOrMalformedFile) {
  const struct {
    const char *main, *hardware, *defaults;
    int result;
    bool hardwareRead;
  } cases[] = {
      {"[Main]\n", nullptr, "[Main]\n", -1, false},
      {nullptr, "[Main]\nRS232 = /dev/ttyS0\n", nullptr, -1, true},
      {"[Main]\n", "[Main]\nRS232 = /dev/ttyS0\n", nullptr, -1, true},
      {"[Main]\nthis line has no equals sign\n", "[Main]\nRS232 = /dev/ttyS0\n", "[Main]\n", -1, true},
      {"[Main]\n", "[Main]\nRS232 = /dev/ttyS0\n", "[Main]\nFILENAME = m.xml\n", 0, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    std::filesystem::remove_all(dir / "config");
    WriteAll(c.main, c.hardware, c.defaults);
    ConfigStore store = Store();
    EXPECT_EQ(store.Load(), c.result);
    std::string text;
    int number = 7;
    EXPECT_EQ(store.GetString(text, "Main", "FILENAME", true, false), c.result);
    EXPECT_EQ(store.GetInt(number, "ModbusPort", "timeout"), 0);
    EXPECT_EQ(number, 0);
    EXPECT_EQ(store.GetHardwareString(text, "Main", "RS232"), c.hardwareRead ? 0 : -1);
  }
}

TEST_F(ConfigStoreTest, IntegersAreBaseZeroWithDefaultsAndZeroBehind) {
  WriteAll("[MBUSPORT]\nTimeOut = 0x20\n[ModbusPort]\nserbits = 010\nserbaudrate = 12ms\n"
           "localport =\n",
           "[Main]\n", "[ModbusPort]\ntimeout = 500\nlocalport = 502\n");
  ConfigStore store = Store();
  ASSERT_EQ(store.Load(), 0);
  struct Case {
    const char* section;
    const char* key;
    int expected;
  } cases[] = {
      {"MBusPort", "timeout", 32},      // hexadecimal, capitalised section and key
      {"ModbusPort", "serbits", 8},     // leading zero: octal
      {"ModbusPort", "serbaudrate", 12},  // conversion stops at the first non-digit
      {"ModbusPort", "timeout", 500},   // only in DefaultConfig
      {"ModbusPort", "localport", 0},   // present but empty hides the default
      {"ModbusPort", "remoteport", 0},  // nowhere
  };
  for (const Case& c : cases) {
    int value = -1;
    EXPECT_EQ(store.GetInt(value, c.section, c.key), 0);
    EXPECT_EQ(value, c.expected) << c.section << ":" << c.key;
  }
}

TEST_F(ConfigStoreTest, StringsFollowFallbackAndCaseRules) {
  WriteAll("[Main]\nenable_leds = yes\nempty =\n[MBusPort]\nporttype = ser ; serial line\n"
           "quoted = \"Two Words\"\nsingle = 'x'\nhashed = TCP # comment\n",
           "[Main]\nRS485 = /dev/ttyS1\n",
           "[Main]\nFILENAME = meters.xml\nempty = hidden\n[MBusPort]\nremoteip = 127.0.0.1\n");
  ConfigStore store = Store();
  ASSERT_EQ(store.Load(), 0);
  struct Case {
    const char* section;
    const char* key;
    bool useDefault;
    bool toUpper;
    int result;
    const char* value;
  } cases[] = {
      {"Main", "enable_leds", true, true, 0, "YES"},
      {"Main", "enable_leds", false, false, 0, "yes"},
      {"Main", "FILENAME", false, false, -1, ""},  // only in DefaultConfig
      {"Main", "FILENAME", true, false, 0, "meters.xml"},
      {"Main", "empty", true, false, 0, ""},  // present and empty: the default stays hidden
      {"MBusPort", "porttype", false, true, 0, "SER"},
      {"MBusPort", "quoted", false, false, 0, "Two Words"},
      {"MBusPort", "single", false, false, 0, "x"},
      {"MBusPort", "hashed", false, false, 0, "TCP"},
      {"MBusPort", "remoteip", true, true, 0, "127.0.0.1"},
      {"MBusPort", "missing", true, true, -1, ""},
  };
  for (const Case& c : cases) {
    std::string value = "stale";
    EXPECT_EQ(store.GetString(value, c.section, c.key, c.useDefault, c.toUpper), c.result)
        << c.section << ":" << c.key;
    EXPECT_EQ(value, c.value) << c.section << ":" << c.key;
  }
}

TEST_F(ConfigStoreTest, HardwareLookupsUseHardwareConfigOnly) {
  WriteAll("[Main]\nlan = eth9\n", "[Main]\nMBSLAVE2 = /dev/ttyMB2\nLAN = eth0\n", "[Main]\nwan = eth1\n");
  ConfigStore store = Store();
  ASSERT_EQ(store.Load(), 0);
  for (const auto& [key, result, value] : {std::tuple<const char*, int, const char*>{"mbslave2", 0, "/dev/ttyMB2"},
                                           {"LAN", 0, "eth0"}, {"WAN", -1, ""}}) {
    std::string text = "stale";
    EXPECT_EQ(store.GetHardwareString(text, "Main", key), result) << key;
    EXPECT_EQ(text, value) << key;
  }
}

}  // namespace

// A port is built again at a reload only when what it is built from
// changed: its section's keys in MainConfig, its default section's in
// DefaultConfig, HardwareConfig's devices; the keys taken on the open port
// (here timeout) change nothing.
TEST_F(ConfigStoreTest, PortSettingsChangeWithWhatBuildsThePortAlone) {
  const char* const hardware = "[Main]\nRS485 = /dev/ttyS1\n";
  const char* const defaults = "[ModbusPort]\nserbaudrate = 9600\n";
  const char* const main = "[ModbusPort]\nporttype = SER\nTimeout = 1000\n[ModbusPort.roof]\nporttype = TCP\n";
  const auto settings = [&](const char* m, const char* h, const char* d, const char* section) {
    std::filesystem::remove_all(dir / "config");
    WriteAll(m, h, d);
    ConfigStore store = Store();
    EXPECT_EQ(store.Load(), 0);
    return store.PortSettingsOf(section, {"timeout"});
  };
  const std::string before = settings(main, hardware, defaults, "ModbusPort");
  EXPECT_EQ(settings("[ModbusPort]\nporttype = SER\nTimeout = 3000\n", hardware, defaults, "ModbusPort"), before);
  EXPECT_EQ(settings("[ModbusPort]\nporttype = SER\n[ModbusPort.roof]\nporttype = UDP\n", hardware, defaults,
                     "ModbusPort"), before);
  EXPECT_NE(settings("[ModbusPort]\nporttype = TCP\n", hardware, defaults, "ModbusPort"), before);
  EXPECT_NE(settings(main, "[Main]\nRS485 = /dev/ttyS2\n", defaults, "ModbusPort"), before);
  EXPECT_NE(settings(main, hardware, "[ModbusPort]\nserbaudrate = 19200\n", "ModbusPort"), before);
  // A link takes its defaults from [ModbusPort] of DefaultConfig.
  const std::string roof = settings(main, hardware, defaults, "ModbusPort.roof");
  EXPECT_NE(settings(main, hardware, "[ModbusPort]\nserbaudrate = 19200\n", "ModbusPort.roof"), roof);
}
