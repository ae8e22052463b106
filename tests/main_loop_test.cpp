// One loop cycle at a time, with in-memory ports on both sides: frames in,
// answers and Modbus requests out, byte for byte. The cases here are the
// ones the end-to-end tests cannot reach cheaply; the rest run on the binary.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "core/main_loop.h"
#include "support/logs.h"
#include "support/paths.h"
#include "tests/harness.h"
#include "tests/scripted_port.h"
#include "tests/test_util.h"

namespace {

using harness::Bytes;

using harness::LongFrame;
using harness::ShortFrame;
using harness::WithCrc;

// A Modbus slave that answers reads with fixed register bytes per start
// address, writes with the usual echo, and stays silent for what it lacks.
struct FakeSlave {
  std::map<uint16_t, Bytes> registers;  // start address -> register bytes
  ScriptedPort::Chunks operator()(const Bytes& request) const {
    const uint16_t address = static_cast<uint16_t>(request[2] << 8 | request[3]);
    if (request[1] == 0x10) return {WithCrc(Bytes(request.begin(), request.begin() + 6))};
    const auto found = registers.find(address);
    if (found == registers.end()) return {};
    Bytes answer = {request[0], request[1], static_cast<uint8_t>(found->second.size())};
    answer.insert(answer.end(), found->second.begin(), found->second.end());
    return {WithCrc(answer)};
  }
};

class MainLoopTest : public ::testing::Test {
 protected:
  void SetUp() override { setenv("KESTREL_ROOT", dir.path().c_str(), 1); }
  void TearDown() override {
    FreeDeviceTree(gateway.tree);
    CloseTraceLog();
    unsetenv("KESTREL_ROOT");
  }

  void Load(const std::string& devices) {
    testutil::WriteFile(dir / "meters.xml", "<?xml version=\"1.0\"?><Meters>" + devices + "</Meters>");
    ASSERT_TRUE(LoadDeviceFile(dir / "meters.xml", gateway.tree));
    gateway.modbusPort = &modbus;
    gateway.mbusPort = &mbus;
    gateway.modbusTimeout = 5;
    modbus.SetResponder(std::ref(slave));
  }
  // Delivers one read to the loop and runs cycles until it is handled.
  Bytes Exchange(const Bytes& frame) {
    const size_t before = mbus.writes().size();
    mbus.QueueRead(frame);
    for (int i = 0; i < 3; ++i) RunLoopCycle(gateway, loop);
    if (mbus.writes().size() == before) return {};
    return mbus.writes().back();
  }
  void EnableTrace() {
    testutil::WriteFile(dir / "tmp/kestrel.log", "");
    OpenTraceLogIfPresent();
  }
  std::string Trace() { return testutil::ReadFile(RootedPath(kTraceLogPath)); }

  testutil::TempDir dir;
  Gateway gateway;
  LoopState loop;
  ScriptedPort mbus{kModeTcp};
  ScriptedPort modbus{kModeRs485};
  FakeSlave slave;
};

TEST_F(MainLoopTest, ObjectsWithoutAWellFormedRecordGetNoAnswer) {
  std::string longVib(2 * 230, 'A');
  const struct {
    const char* name;
    std::string object;
  } cases[] = {
      {"function above 3", "Function=\"4\" ModbusDT=\"INT16\""},
      {"records over 240 bytes", "ModbusDT=\"INT16\" Vib=\"" + longVib + "\""},
      {"answer shorter than the type", "ModbusDT=\"INT32\""},
  };
  for (const auto& c : cases) {
    FreeDeviceTree(gateway.tree);
    Load(std::string("<Device DeviceId=\"m1\" PrimaryAddress=\"1\" SlaveAddress=\"1\"/>") +
         "<Object DeviceId=\"m1\" ModbusFunction=\"3\" RegisterRead=\"1\" " + c.object + "/>" +
         "<Object DeviceId=\"m1\" ModbusFunction=\"3\" RegisterRead=\"1\" ModbusDT=\"INT16\" Vib=\"" +
         std::string(40, 'B') + "\"/>");
    slave.registers[1] = {0, 1};
    EnableTrace();
    EXPECT_TRUE(Exchange(ShortFrame(0x5B, 0x01)).empty()) << c.name;
    EXPECT_NE(Trace().find("rror, meter 1 ("), std::string::npos) << c.name << "\n" << Trace();
    CloseTraceLog();
  }
}

TEST_F(MainLoopTest, SndUdWritesOnlyValuesThatLieInsideTheFrame) {
  Load("<Device DeviceId=\"m1\" PrimaryAddress=\"1\" SlaveAddress=\"1\" Base=\"9C41\" IntReverse=\"0\"/>"
       "<Object DeviceId=\"m1\" ObjectId=\"1\" RegisterWrite=\"40001\" ModbusDT=\"INT16\"/>"
       "<Object DeviceId=\"m1\" ObjectId=\"2\" RegisterWrite=\"40011\" ModbusDT=\"INT32\"/>"
       "<Object DeviceId=\"m1\" ObjectId=\"3\" RegisterWrite=\"40021\" ModbusDT=\"int32\"/>");
  EXPECT_EQ(Exchange(LongFrame(0x53, 0x01, 0x51, {0x00, 0x00, 0x02, 0x44, 0x33, 0x22, 0x11})), Bytes{0xE5});
  EXPECT_EQ(modbus.writes().back(),
            (Bytes{0x01, 0x10, 0x00, 0x0A, 0x00, 0x02, 0x04, 0x11, 0x22, 0x33, 0x44, 0xC2, 0x25}));
  const size_t sent = modbus.writes().size();
  EXPECT_TRUE(Exchange(LongFrame(0x53, 0x01, 0x51, {0x00, 0x00, 0x02, 0x44, 0x33, 0x22})).empty());
  EXPECT_TRUE(Exchange(LongFrame(0x53, 0x01, 0x51, {0x00, 0x00, 0x03, 0x01, 0x02, 0x03, 0x04})).empty());
  EXPECT_TRUE(Exchange(LongFrame(0x53, 0x01, 0x51, {0x00, 0x00, 0x09, 0x01, 0x02})).empty());
  EXPECT_TRUE(Exchange(LongFrame(0x53, 0x01, 0x51, {0x00})).empty());
  EXPECT_EQ(modbus.writes().size(), sent);
}

}  // namespace
