// One loop cycle at a time, with in-memory ports on both sides: frames in,
// answers and Modbus requests out, byte for byte.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "core/main_loop.h"
#include "modbus/crc.h"
#include "support/logs.h"
#include "support/paths.h"
#include "tests/scripted_port.h"
#include "tests/test_util.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes ShortFrame(uint8_t c, uint8_t a) { return {0x10, c, a, static_cast<uint8_t>(c + a), 0x16}; }

Bytes LongFrame(uint8_t c, uint8_t a, uint8_t ci, const Bytes& data) {
  const uint8_t l = static_cast<uint8_t>(3 + data.size());
  Bytes frame = {0x68, l, l, 0x68, c, a, ci};
  for (uint8_t byte : data) frame.push_back(byte);
  uint8_t sum = 0;
  for (size_t i = 4; i < frame.size(); ++i) sum = static_cast<uint8_t>(sum + frame[i]);
  frame.push_back(sum);
  frame.push_back(0x16);
  return frame;
}

Bytes WithCrc(Bytes frame) {
  const uint16_t crc = ModbusCrc(frame.data(), static_cast<uint32_t>(frame.size()));
  frame.push_back(static_cast<uint8_t>(crc >> 8));
  frame.push_back(static_cast<uint8_t>(crc & 0xFF));
  return frame;
}

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

const char* kMeterWithoutObjects =
    "<Device DeviceId=\"m1\" PrimaryAddress=\"1\" IdNumber=\"12345678\" Medium=\"02\" Status=\"00\""
    " AccessNumber=\"2A\" SlaveAddress=\"1\" InitFunction=\"03\" InitRegister=\"0\" Base=\"0\"/>";

TEST_F(MainLoopTest, AMeterWithoutObjectsAnswersWithTheFixedHeaderOnly) {
  Load(kMeterWithoutObjects);
  EXPECT_EQ(Exchange(ShortFrame(0x5B, 0x01)),
            (Bytes{0x68, 0x0F, 0x0F, 0x68, 0x08, 0x01, 0x72, 0x78, 0x56, 0x34, 0x12, 0x38, 0x6A, 0x10,
                   0x02, 0x2A, 0x00, 0x00, 0x00, 0x6D, 0x16}));
  EXPECT_STREQ(AttributeText(FirstDevice(gateway.tree), "AccessNumber"), "2B");
  EXPECT_TRUE(modbus.writes().empty());
}

TEST_F(MainLoopTest, RecordsCarryHeaderVibAndValueInDocumentOrder) {
  Load("<Device DeviceId=\"m1\" PrimaryAddress=\"1\" IdNumber=\"12345678\" Medium=\"02\" Status=\"00\""
       " AccessNumber=\"00\" SlaveAddress=\"1\" Base=\"0\" IntReverse=\"0\" FloatMode=\"0\"/>"
       "<Object DeviceId=\"m1\" ModbusFunction=\"3\" RegisterRead=\"10\" ModbusDT=\"INT16\" Function=\"0\""
       " MBusDT=\"2\" Storage=\"0\" Tariff=\"0\" SubUnit=\"0\" Vib=\"03\"/>"
       "<Object DeviceId=\"m1\" ModbusFunction=\"4\" RegisterRead=\"20\" ModbusDT=\"FLOAT\" Function=\"0\""
       " MBusDT=\"5\" Storage=\"0\" Tariff=\"0\" SubUnit=\"0\" Vib=\"13\"/>");
  slave.registers[10] = {0x12, 0x34};
  slave.registers[20] = {0x41, 0x48, 0x00, 0x00};
  const Bytes answer = Exchange(ShortFrame(0x7B, 0x01));
  ASSERT_EQ(answer.size(), 31u);
  EXPECT_EQ(answer[1], 0x19);
  EXPECT_EQ(Bytes(answer.begin() + 19, answer.begin() + 29),
            (Bytes{0x02, 0x03, 0x34, 0x12, 0x05, 0x13, 0x00, 0x00, 0x48, 0x41}));
  EXPECT_EQ(modbus.writes(), (std::vector<Bytes>{WithCrc({0x01, 0x03, 0x00, 0x0A, 0x00, 0x01}),
                                                 WithCrc({0x01, 0x04, 0x00, 0x14, 0x00, 0x02})}));
}

TEST_F(MainLoopTest, AFailedReadDropsTheAnswerButTheAccessNumberMovesOn) {
  Load("<Device DeviceId=\"m1\" PrimaryAddress=\"1\" IdNumber=\"12345678\" AccessNumber=\"FF\""
       " SlaveAddress=\"1\" Base=\"0\"/>"
       "<Object DeviceId=\"m1\" ModbusFunction=\"3\" RegisterRead=\"1\" ModbusDT=\"INT16\" MBusDT=\"2\"/>"
       "<Object DeviceId=\"m1\" ModbusFunction=\"3\" RegisterRead=\"2\" ModbusDT=\"INT16\" MBusDT=\"2\"/>"
       "<Object DeviceId=\"m1\" ModbusFunction=\"3\" RegisterRead=\"3\" ModbusDT=\"INT16\" MBusDT=\"2\"/>");
  slave.registers[1] = {0, 1};
  slave.registers[3] = {0, 3};
  EXPECT_TRUE(Exchange(ShortFrame(0x5B, 0x01)).empty());
  EXPECT_EQ(modbus.writes().size(), 3u);  // object 2 twice, object 3 never
  slave.registers[2] = {0, 2};
  const Bytes answer = Exchange(ShortFrame(0x5B, 0x01));
  ASSERT_EQ(answer.size(), 21u + 9u);  // three records of DIF and two value bytes
  EXPECT_EQ(answer[15], 0x00);  // FF was used by the dropped answer; 100 reads as 00
}

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

TEST_F(MainLoopTest, SelectionRedirectsRequestsUntilADiscardEndsIt) {
  Load(std::string(kMeterWithoutObjects) +
       "<Device DeviceId=\"m5\" PrimaryAddress=\"5\" IdNumber=\"55555555\" Medium=\"07\""
       " AccessNumber=\"10\" SlaveAddress=\"2\" InitFunction=\"03\" InitRegister=\"7\" Base=\"0\"/>"
       "<Device DeviceId=\"m253\" PrimaryAddress=\"253\" IdNumber=\"25325325\" Medium=\"07\""
       " SlaveAddress=\"3\" Base=\"0\"/>");
  slave.registers[7] = {0, 0};
  const Bytes select = LongFrame(0x53, 0xFD, 0x52, {0x55, 0x55, 0x55, 0x55, 0xFF, 0xFF, 0xFF, 0xFF});
  EXPECT_EQ(Exchange(select), Bytes{0xE5});
  EXPECT_EQ(modbus.writes().back(), WithCrc({0x02, 0x03, 0x00, 0x07, 0x00, 0x01}));
  EXPECT_EQ(Exchange(ShortFrame(0x5B, 0xFD))[5], 5);  // the selected meter
  EXPECT_EQ(Exchange(ShortFrame(0x5B, 0x01))[5], 5);  // any address but FEh
  EXPECT_TRUE(Exchange(ShortFrame(0x5B, 0xFE)).empty());
  // The unanswered FEh request was discarded, which ended the selection.
  EXPECT_EQ(Exchange(ShortFrame(0x5B, 0xFD))[5], 253);
  EXPECT_EQ(Exchange(select), Bytes{0xE5});
  EXPECT_TRUE(Exchange({0x10, 0x5B, 0xFD, 0x00, 0x16}).empty());  // bad checksum
  EXPECT_EQ(Exchange(ShortFrame(0x5B, 0xFD))[5], 253);
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

TEST_F(MainLoopTest, AFrameInProgressTimesOutButIdleCyclesNever) {
  Load(kMeterWithoutObjects);
  gateway.mbusTimeout = 1;
  EnableTrace();
  for (int i = 0; i < 3; ++i) RunLoopCycle(gateway, loop);
  EXPECT_EQ(Trace().find("M-Bus Timeout"), std::string::npos);

  mbus.QueueRead({0x10, 0x5B});
  RunLoopCycle(gateway, loop);
  EXPECT_EQ(loop.frame.state, FrameState::Start);
  RunLoopCycle(gateway, loop);  // the 4 ms pause lies between: the frame is now too old
  EXPECT_EQ(loop.frame.state, FrameState::Idle);
  EXPECT_EQ(loop.frame.count, 0);
  EXPECT_NE(Trace().find("M-Bus Timeout\n"), std::string::npos);
  // The rest of the frame arrives too late: junk at idle, nothing answered.
  mbus.QueueRead({0x01, 0x5C, 0x16});
  RunLoopCycle(gateway, loop);
  EXPECT_TRUE(mbus.writes().empty());
}

}  // namespace
