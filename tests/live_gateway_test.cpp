// The real binary over long stretches of real traffic and through failing
// peers: an M-Bus master on TCP (or a pty), a Modbus slave on a pty. Under
// valgrind memcheck it must end with no error and no definite leak; in the
// soak every answer must be right and memory and descriptors must stay flat;
// after each failure of a peer the next request is answered correctly, and
// nothing is ever sent that no request asked for.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>

#include "tests/harness.h"

namespace {

using harness::ApplicationReset;
using harness::operator+;
using harness::Bytes;
using harness::Ms;
using harness::ReqUd2;
using harness::Selection;
using harness::ShortFrame;
using harness::SndNke;
using harness::SndUd;

constexpr Ms kAnswerWait{3000};
// 1 ms polls per Modbus attempt: generous, so that a loaded machine that is
// slow to schedule the slave's thread does not pass for a failing slave.
constexpr int kModbusPolls = 500;
constexpr int kFrameTimeoutMs = 1000;  // MBusPort timeout of these sites
constexpr uint8_t kSelected = 0xFD;

// Three meters of INT16 objects at registers base, base + 1, ...; the slave
// of meter 3 never answers, so every read of it fails.
struct Meter {
  uint8_t address;
  uint32_t id;  // IdNumber digits as BCD
  uint16_t firstRegister;
  int objects;
};
const Meter kMeters[] = {{1, 0x11111111, 10, 3}, {2, 0x22222222, 20, 2}, {3, 0x33333333, 30, 1}};
const Meter& kM1 = kMeters[0];
const Meter& kM2 = kMeters[1];
const Meter& kM3 = kMeters[2];
const uint8_t kVibs[] = {0x03, 0x13, 0x5B};

std::string MetersXml() {
  std::string xml = "<?xml version=\"1.0\"?>\n<Meters>\n";
  for (const Meter& m : kMeters) {
    char id[16];
    std::snprintf(id, sizeof id, "%08X", m.id);
    const std::string name = "m" + std::to_string(m.address);
    xml += "<Device DeviceId=\"" + name + "\" PrimaryAddress=\"" + std::to_string(m.address) + "\" IdNumber=\"" + id +
           "\" Medium=\"07\" Status=\"00\" AccessNumber=\"00\" SlaveAddress=\"" + std::to_string(m.address) +
           "\" InitFunction=\"03\" InitRegister=\"" + std::to_string(m.firstRegister) +
           "\" Base=\"0\" IntReverse=\"0\" FloatMode=\"0\"/>\n";
    for (int i = 0; i < m.objects; ++i) {
      char vib[4];
      std::snprintf(vib, sizeof vib, "%02X", kVibs[i]);
      xml += "<Object DeviceId=\"" + name + "\" ObjectId=\"" + std::to_string(i + 1) +
             "\" ModbusFunction=\"3\" RegisterRead=\"" + std::to_string(m.firstRegister + i) +
             "\" RegisterWrite=\"" + std::to_string(m.firstRegister + i) +
             "\" ModbusDT=\"INT16\" Function=\"0\" MBusDT=\"2\" Storage=\"0\" Tariff=\"0\" SubUnit=\"0\" Vib=\"" +
             vib + "\"/>\n";
    }
  }
  return xml + "</Meters>\n";
}

long ResidentKib(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return -1;
}

// A gateway on a fresh site with its pty slave; each test picks the M-Bus side.
class LiveGateway : public ::testing::Test {
 protected:
  LiveGateway() {
    rig.ModbusOnPty();
    rig.SetModbusTimeout(kModbusPolls);
    rig.SetMBusTimeout(kFrameTimeoutMs);
    rig.SetDeviceFile(MetersXml());
    FillRegisters();
  }
  void FillRegisters() {
    rig.slave().AnswerOnly({kM1.address, kM2.address});
    for (const Meter& m : {kM1, kM2}) {
      for (int i = 0; i < m.objects; ++i) {
        rig.slave().SetHolding(m.address, static_cast<uint16_t>(m.firstRegister + i),
                               {static_cast<uint16_t>(0x0100 * m.address + i)});
      }
    }
  }
  uint16_t Register(const Meter& m, int object) {
    return rig.slave().Holding(m.address, static_cast<uint16_t>(m.firstRegister + object));
  }
  Bytes Exchange(const Bytes& frame) { return rig.Ask(frame, kAnswerWait); }
  // Frames that must get no answer: silence for a while (which also keeps
  // them from sharing a read with the next frame).
  ::testing::AssertionResult Unanswered(const Bytes& frame) {
    rig.master().Send(frame);
    return rig.master().ExpectSilence(quiet);
  }
  // A read whose slave stays silent: no answer after both attempts ran out.
  ::testing::AssertionResult UnansweredRead(const Bytes& frame) {
    const size_t before = rig.slave().RequestCount();
    rig.master().Send(frame);
    if (!rig.slave().WaitForRequests(before + 2)) return ::testing::AssertionFailure() << "fewer than two attempts";
    return rig.master().ExpectSilence(quiet + Ms(kModbusPolls));
  }
  // The RSP_UD the meter must give with the given access number.
  Bytes ExpectedRspUd(const Meter& m, uint8_t access) {
    Bytes records;
    for (int i = 0; i < m.objects; ++i) {
      const uint16_t value = Register(m, i);
      records = records + Bytes{0x02, kVibs[i], static_cast<uint8_t>(value & 0xFF), static_cast<uint8_t>(value >> 8)};
    }
    return harness::RspUd(m.address, m.id, 0x07, access, records);
  }
  // Reads the meter and checks the answer; the access number is learnt from
  // the first answer (start-up randomises it) and must then count up by one.
  ::testing::AssertionResult ReadsCorrectly(const Meter& m, bool fcb = false, uint8_t a = 0) {
    const Bytes answer = Exchange(ReqUd2(a != 0 ? a : m.address, fcb));
    int& access = accessNumbers[m.address];
    if (answer.size() > harness::kAccessOffset && access < 0) access = answer[harness::kAccessOffset];
    const Bytes expected = ExpectedRspUd(m, static_cast<uint8_t>(access));
    access = (access + 1) & 0xFF;
    if (answer == expected) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "meter " << int(m.address) << " answered " << harness::ToHex(answer)
                                         << "\nexpected " << harness::ToHex(expected);
  }
  // An unanswered read of a meter still used up an access number.
  void SkipAccessNumber(const Meter& m) { accessNumbers[m.address] = (accessNumbers[m.address] + 1) & 0xFF; }
  bool Traced(const std::string& line) { return rig.Trace().find(line) != std::string::npos; }
  // A frame cut off in the middle is thrown away after the frame timeout, if
  // the gateway got to read it at all.
  void WaitOutFrameTimeout() {
    testutil::WaitFor([&] { return Traced("M-Bus Timeout\n"); }, Ms(kFrameTimeoutMs + 500));
  }

  // Reads of every meter, a write read back, a selection, a failing meter,
  // a bad checksum and junk: each answered exactly as it must be.
  ::testing::AssertionResult Round(int round) {
    auto ok = ReadsCorrectly(kM1, round % 2 != 0);
    if (!ok || !(ok = ReadsCorrectly(kM2))) return ok;
    switch (round % 8) {
      case 1: {  // SND_UD of object 2 of meter 1, then read back
        const uint16_t value = static_cast<uint16_t>(round);
        const Bytes write = SndUd(kM1.address, 2, {static_cast<uint8_t>(value & 0xFF), static_cast<uint8_t>(value >> 8)});
        if (Exchange(write) != Bytes{harness::kAck}) return ::testing::AssertionFailure() << "SND_UD not acknowledged";
        if (Register(kM1, 1) != value) return ::testing::AssertionFailure() << "SND_UD wrote the wrong value";
        return ReadsCorrectly(kM1);
      }
      case 3:  // select meter 2 by secondary address, read it as FDh, deselect
        if (Exchange(Selection({0x22, 0x22, 0x22, 0x22, 0xFF, 0xFF, 0xFF, 0xFF})) != Bytes{harness::kAck}) {
          return ::testing::AssertionFailure() << "selection not acknowledged";
        }
        if (!(ok = ReadsCorrectly(kM2, false, kSelected))) return ok;
        if (Exchange(SndNke(kSelected)) != Bytes{harness::kAck}) {
          return ::testing::AssertionFailure() << "SND_NKE to the selected meter not acknowledged";
        }
        return ::testing::AssertionSuccess();
      case 5:  // a failing meter gets no answer; the bad checksum neither
        if (round % 80 == 5) {
          if (!(ok = UnansweredRead(ReqUd2(kM3.address)))) return ok << " (failed meter)";
          accessNumbers[kM3.address] = -1;
        }
        return Unanswered({0x10, 0x5B, kM1.address, 0x00, 0x16}) << " (bad checksum)";
      case 7:  // junk at idle is dropped without answer
        return Unanswered({0x00, 0xFF, 0x10, 0x5B}) << " (junk)";
      default:
        return ::testing::AssertionSuccess();
    }
  }

  harness::GatewayRig rig;
  Ms quiet{100};
  std::map<int, int> accessNumbers = {{1, -1}, {2, -1}, {3, -1}};
};

}  // namespace

TEST_F(LiveGateway, RunsCleanUnderValgrindMemcheck) {
#ifdef KESTREL_SANITIZED
  GTEST_SKIP() << "valgrind cannot run a sanitizer build";
#endif
  if (access("/usr/bin/valgrind", X_OK) != 0) GTEST_SKIP() << "valgrind is not installed";
  const std::string log = rig.Path("memcheck.log");
  quiet = Ms(400);
  rig.MBusOnTcp();
  rig.SetLauncher({"/usr/bin/valgrind", "--tool=memcheck", "--leak-check=full", "--error-exitcode=99",
                   "--log-file=" + log});
  ASSERT_TRUE(rig.Start(Ms(60000)));
  for (int round = 0; round < 8; ++round) ASSERT_TRUE(Round(round)) << "round " << round;
  ASSERT_TRUE(UnansweredRead(ReqUd2(kM3.address)));
  ASSERT_TRUE(Unanswered(ApplicationReset(kM3.address)));
  kill(rig.process().pid(), SIGTERM);
  ASSERT_TRUE(testutil::WaitFor([&] { return !rig.process().Running(); }, Ms(60000)));
  const std::string report = testutil::ReadFile(log);
  EXPECT_NE(report.find("ERROR SUMMARY: 0 errors"), std::string::npos) << report;
  const bool noDefiniteLeak = report.find("definitely lost: 0 bytes") != std::string::npos ||
                              report.find("no leaks are possible") != std::string::npos;
  EXPECT_TRUE(noDefiniteLeak) << report;
}

TEST_F(LiveGateway, SoakKeepsAnswersMemoryAndDescriptorsSteady) {
  // The suite's share of the long soak (scripts/soak runs 20 000 cycles).
#ifdef KESTREL_SANITIZED
  constexpr int kSuiteCycles = 1000;
#else
  constexpr int kSuiteCycles = 2000;
#endif
  const char* cyclesText = std::getenv("KESTREL_SOAK_CYCLES");
  const int cycles = cyclesText != nullptr ? std::atoi(cyclesText) : kSuiteCycles;
  rig.MBusOnTcp();
  // A rotation ends tracing, which would close a descriptor halfway.
  rig.SetTracing(false);
  ASSERT_TRUE(rig.Start());
  const pid_t pid = rig.process().pid();
  // Each round has at least two REQ_UD2; warm up for a tenth of the run.
  const int rounds = cycles / 2;
  const int warmUp = rounds / 10;
  long rssAfterWarmUp = 0;
  int descriptorsAfterWarmUp = 0;
  for (int round = 0; round < rounds; ++round) {
    ASSERT_TRUE(Round(round)) << "round " << round;
    if (round == warmUp) {
      rssAfterWarmUp = ResidentKib(pid);
      descriptorsAfterWarmUp = porttest::OpenDescriptorCount(std::to_string(pid));
    }
  }
  const long growthKib = ResidentKib(pid) - rssAfterWarmUp;
  std::printf("soak: %d rounds, resident memory grew %ld KiB after warm-up, %d descriptors\n", rounds, growthKib,
              descriptorsAfterWarmUp);
  EXPECT_EQ(porttest::OpenDescriptorCount(std::to_string(pid)), descriptorsAfterWarmUp);
#ifndef KESTREL_SANITIZED  // the sanitizers' quarantine keeps freed memory resident
  EXPECT_LT(growthKib, 64) << "resident memory grew by " << growthKib << " KiB";
#endif
}

// The slave goes away in the middle of a read and comes back, the master
// leaves in the middle of a frame and another connects, bursts of garbage and
// of frames with wrong checksums.
TEST_F(LiveGateway, RecoversFromFailingPeersAndBadBursts) {
  rig.MBusOnTcp();
  ASSERT_TRUE(rig.Start());
  ASSERT_TRUE(ReadsCorrectly(kM1));

  // The slave takes the request and closes its end of the line; later it is
  // back as a new device behind the same path.
  rig.slave().Then(harness::ModbusReply::Silent());
  const size_t before = rig.slave().RequestCount();
  rig.master().Send(ReqUd2(kM1.address, true));
  ASSERT_TRUE(rig.slave().WaitForRequests(before + 1));
  rig.DropModbusLine();
  EXPECT_TRUE(rig.master().ExpectSilence(Ms(2 * kModbusPolls) + quiet));
  SkipAccessNumber(kM1);
  EXPECT_TRUE(Traced("Serial port " + rig.modbusDevice() + " hung up\n")) << rig.Trace();
  rig.RestoreModbusLine();
  FillRegisters();
  ASSERT_TRUE(ReadsCorrectly(kM1));
  EXPECT_TRUE(Traced("Serial port " + rig.modbusDevice() + " reopened\n")) << rig.Trace();

  // The slave stays silent for one read: both attempts run out.
  rig.slave().Then(harness::ModbusReply::Silent());
  rig.slave().Then(harness::ModbusReply::Silent());
  ASSERT_TRUE(UnansweredRead(ReqUd2(kM1.address)));
  SkipAccessNumber(kM1);
  ASSERT_TRUE(ReadsCorrectly(kM1, true));

  const Bytes write = SndUd(kM1.address, 1, {0x34, 0x12});
  rig.master().Send(Bytes(write.begin(), write.begin() + 6));
  ASSERT_TRUE(rig.ReconnectMBus());
  WaitOutFrameTimeout();
  ASSERT_TRUE(ReadsCorrectly(kM1));
  EXPECT_NE(Register(kM1, 0), 0x1234);  // the cut frame wrote nothing

  for (int burst = 0; burst < 20; ++burst) {
    Bytes junk(37 * (burst + 1) % 300 + 1);
    for (size_t i = 0; i < junk.size(); ++i) junk[i] = static_cast<uint8_t>(i * 151 + burst);
    ASSERT_TRUE(Unanswered(junk)) << "burst " << burst;
    Bytes badSum = ReqUd2(kM1.address);
    badSum[3] ^= static_cast<uint8_t>(burst + 1);
    ASSERT_TRUE(Unanswered(badSum)) << "burst " << burst;
    Bytes badLong = write;
    badLong[badLong.size() - 2] ^= 0x01;
    ASSERT_TRUE(Unanswered(badLong)) << "burst " << burst;
    ASSERT_TRUE(ReadsCorrectly(kMeters[burst % 2])) << "burst " << burst;
  }
  EXPECT_NE(Register(kM1, 0), 0x1234);  // no damaged SND_UD got through
  EXPECT_TRUE(rig.master().ExpectSilence(quiet));
}

// The M-Bus line hangs up in the middle of a frame: the gateway opens it
// again by itself, throws the cut frame away and answers the next request.
TEST_F(LiveGateway, AnMBusLineThatHangsUpIsOpenedAgain) {
  rig.MBusOnPty();
  ASSERT_TRUE(rig.Start());
  ASSERT_TRUE(ReadsCorrectly(kM2));

  // Hang up only once the gateway has read what was sent: a pty that hangs
  // up with input still on its way may hold back all later input.
  ASSERT_TRUE(rig.SendTraced({0x10, 0x5B}));
  if (!rig.HangUpMBusLine()) GTEST_SKIP() << "this machine does not let the test hang up a pty";
  ASSERT_TRUE(testutil::WaitFor([&] { return Traced("Serial port " + rig.mbusDevice() + " reopened\n"); }))
      << rig.Trace();
  EXPECT_TRUE(Traced("Serial port " + rig.mbusDevice() + " hung up\n"));
  ASSERT_TRUE(testutil::WaitFor([&] { return Traced("M-Bus Timeout\n"); }));
  ASSERT_TRUE(ReadsCorrectly(kM2));
  ASSERT_TRUE(ReadsCorrectly(kM1));
  EXPECT_TRUE(rig.master().ExpectSilence(quiet));
}
