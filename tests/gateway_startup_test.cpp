// Bring-up end to end: the start-up log, the DeviceFile errors, ports that
// do not open, the PidFile, and tracing switched on by creating its file.
#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <filesystem>
#include <regex>
#include <sstream>

#include "tests/gateway_fixture.h"

using harness::Bytes;
using harness::GatewayRig;
using harness::ReqUd2;
using harness::ToHex;
using harness::TraceDump;
using testutil::FileExists;
using testutil::WaitFor;
using testutil::WriteFile;

namespace gwtest {
namespace {

// StartupLog lines of the M-Bus side as a TCP server on lo.
std::string TcpServerLines(uint16_t port) {
  return "Opening TCP port\nPort is server\nlo - 127.0.0.1\nTCP: Local  IP = 127.0.0.1, Port = " +
         std::to_string(port) + "\nTCP: Remote IP = 0.0.0.0, Port = 0\nPort is server\nBind returns 0\n" +
         "Listen returns 0\n";
}

std::string SerialLine(const std::string& device) {
  return "Initialising Serial port, portdev = " + device + ", databits = 8, parity = N, stopbit = 1\n";
}

uint32_t PidFileTime(const Bytes& content) {
  uint32_t seconds = 0;
  if (content.size() >= sizeof seconds) std::memcpy(&seconds, content.data(), sizeof seconds);
  return seconds;
}

TEST(GatewayStartupTest, BringUpLogsItsStepsAndRefreshesThePidFileInPlace) {
  GatewayRig rig;
  rig.ModbusOnPty();
  rig.MBusOnTcp();
  rig.SetDeviceFile(StandardMeters());
  rig.SetTracing(false);
  WriteFile(rig.Path("tmp/kestrel.pid"), std::string(4, '\0') + "ABCDEF");
  const uint32_t before = static_cast<uint32_t>(std::time(nullptr));
  ASSERT_TRUE(rig.Start());
  ASSERT_TRUE(WaitFor([&] { return PidFileTime(rig.PidFile()) != 0; }));
  const uint32_t after = static_cast<uint32_t>(std::time(nullptr));

  // 4 bytes of native time at offset 0; the 6 bytes behind them stay.
  const Bytes pid = rig.PidFile();
  ASSERT_EQ(pid.size(), 10u);
  EXPECT_GE(PidFileTime(pid), before);
  EXPECT_LE(PidFileTime(pid), after);
  EXPECT_EQ(std::string(pid.begin() + 4, pid.end()), "ABCDEF");

  EXPECT_EQ(rig.StartupLog(), "Opening Modbus Port\n" + SerialLine(rig.modbusDevice()) + "Modbus Port is open.\n" +
                                  "\n\nOpening M-Bus Port\n" + TcpServerLines(rig.mbusPort()) +
                                  "M-Bus port is open.\n\n\n");
}

TEST(GatewayStartupTest, TracingStartsWhenItsFileAppearsAndEmptiesIt) {
  GatewayRig rig;
  rig.ModbusOnPty();
  rig.MBusOnTcp();
  rig.SetDeviceFile(StandardMeters());
  rig.SetTracing(false);
  ASSERT_TRUE(rig.Start());
  EXPECT_EQ(rig.Ask(ReqUd2(1)).size(), 21u);
  EXPECT_FALSE(FileExists(rig.Path("tmp/kestrel.log")));

  WriteFile(rig.Path("tmp/kestrel.log"), "left over from last time\n");
  Bytes answer;
  ASSERT_TRUE(WaitFor([&] {
    answer = rig.Ask(ReqUd2(1));
    return rig.Trace().find("M-Bus in message\n10 5b 01 5c 16 \n\n") != std::string::npos;
  }));
  ASSERT_TRUE(WaitFor([&] { return rig.Trace().find("M-Bus out message\n") != std::string::npos; }));
  EXPECT_EQ(rig.Trace(), "M-Bus in message\n10 5b 01 5c 16 \n\nM-Bus out message\n" + TraceDump(answer));

  // "hh:mm:ss.tttt " before every message; dumps are indented as wide.
  std::istringstream lines(rig.RawTrace());
  const std::regex stamped("\\d\\d:\\d\\d:\\d\\d\\.\\d{4} M-Bus (in|out) message");
  const std::regex dump(" {14}([0-9a-f]{2} )+");
  for (std::string line; std::getline(lines, line);) {
    EXPECT_TRUE(line.empty() || std::regex_match(line, stamped) || std::regex_match(line, dump)) << line;
  }
}

TEST(GatewayStartupTest, ADeviceFileThatCannotBeLoadedEndsTheStartWithStatusOne) {
  struct Row {
    const char* what;
    std::string mainSection;
    std::string relativePath;  // as the gateway forms it below the root
    void (*prepare)(GatewayRig&);
  } rows[] = {
      {"missing", "FILENAME = meters.xml\n", "/config/meters.xml", nullptr},
      {"empty", "FILENAME = meters.xml\n", "/config/meters.xml",
       [](GatewayRig& rig) { WriteFile(rig.Path("config/meters.xml"), ""); }},
      {"leading slash", "FILENAME = /meters.xml\n", "/config//meters.xml", nullptr},
      {"no FILENAME", "enable_leds = no\n", "/config/", nullptr},
      {"empty FILENAME", "FILENAME =\n", "/config/", nullptr},
      {"a directory", "FILENAME = meters\n", "/config/meters",
       [](GatewayRig& rig) { std::filesystem::create_directories(rig.Path("config/meters")); }},
  };
  for (const Row& row : rows) {
    GatewayRig rig;
    rig.ModbusOnPty();
    rig.MBusOnTcp();
    rig.SetMainSection(row.mainSection);
    rig.WriteFiles();
    if (row.prepare != nullptr) row.prepare(rig);
    const testutil::RunResult result = testutil::RunKestrel(rig.root().path(), {});
    EXPECT_EQ(result.status, 1) << row.what;
    const std::string log = rig.StartupLog();
    const std::string ending = "M-Bus port is open.\n\n\nError: Config file " + rig.root().path() + row.relativePath +
                               " not found, exiting!\n";
    EXPECT_EQ(log.find("Opening Modbus Port\n"), 0u) << row.what << ":\n" << log;
    EXPECT_NE(log.find("Modbus Port is open.\n"), std::string::npos) << row.what << ":\n" << log;
    EXPECT_TRUE(log.size() >= ending.size() && log.compare(log.size() - ending.size(), ending.size(), ending) == 0)
        << row.what << ":\n" << log;
  }
}

TEST(GatewayStartupTest, WithNeitherPortUsableTheGatewayStillRunsAndRefreshesThePidFile) {
  GatewayRig rig;
  // SER on an interface without a device path, and no porttype at all.
  rig.SetModbusSection("porttype = ser\nsercomport = rs485\nserbaudrate = 9600\nserbits = 8\nserparity = N\n"
                       "serstopbit = 1\n");
  rig.SetMBusSection("localport = 1\n");
  rig.SetDeviceFile(StandardMeters());
  ASSERT_TRUE(rig.Start());
  EXPECT_EQ(rig.StartupLog(), "Opening Modbus Port\n" + SerialLine("") +
                                  "Could not open Modbus Port.\n\n\nOpening M-Bus Port\nCould not open M-Bus Port.\n\n\n");
  EXPECT_GE(rig.PidFile().size(), 4u);
  EXPECT_TRUE(rig.process().Running());
}

// The Modbus side names a port type the factory does not know.
class GatewayWithoutModbusPortTest : public GatewayTest {
 protected:
  void ChooseSides() override {
    rig.SetModbusSection("porttype = serial\n");
    rig.MBusOnTcp();
  }
};

TEST_F(GatewayWithoutModbusPortTest, AnswersWhatNeedsNoModbusAndNothingElse) {
  ASSERT_NO_FATAL_FAILURE(StartGateway());
  EXPECT_EQ(rig.StartupLog(), "Opening Modbus Port\nCould not open Modbus Port.\n\n\nOpening M-Bus Port\n" +
                                  TcpServerLines(rig.mbusPort()) + "M-Bus port is open.\n\n\n");
  ExpectTelegramFrom(kHeaderOnly.primary, kHeaderOnly);
  EXPECT_TRUE(ExpectUnanswered(ReqUd2(kTwoRecords.primary)));
  EXPECT_TRUE(ExpectUnanswered(harness::SndNke(kHeaderOnly.primary)));
  EXPECT_TRUE(ExpectUnanswered(harness::Selection(harness::Hex("78 56 34 12 FF FF FF FF"))));
  EXPECT_TRUE(rig.master().ExpectSilence(harness::Ms(100)));
}

}  // namespace
}  // namespace gwtest
