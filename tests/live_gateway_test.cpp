// The real binary over a long stretch of real traffic: TCP M-Bus master on
// loopback, Modbus slave on a pty. Under valgrind memcheck it must end with
// no error and no definite leak; in the soak every answer must be right and
// memory and descriptors must stay flat.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <chrono>
#include <map>
#include <thread>
#include <string>

#include "tests/live_rig.h"
#include "tests/mbus_frames.h"
#include "tests/test_util.h"

namespace {

using liverig::Bytes;
using mbusframes::LongFrame;
using mbusframes::ShortFrame;

constexpr uint8_t kReqUd2 = 0x5B;
constexpr uint8_t kReqUd2Fcb = 0x7B;
constexpr uint8_t kSndNke = 0x40;
constexpr uint8_t kSndUdC = 0x53;
constexpr uint8_t kCiSndUd = 0x51;
constexpr uint8_t kCiSelection = 0x52;
constexpr uint8_t kSelectedAddress = 0xFD;
constexpr int kAnswerWaitMs = 3000;
// 1 ms polls per Modbus attempt: generous, so that a loaded machine that is
// slow to schedule the slave's thread does not pass for a failing slave.
constexpr int kModbusPolls = 500;

// Three meters of INT16 objects at registers base, base + 1, ...; meter 3
// reads a register its slave lacks, so every read of it fails.
struct Meter {
  uint8_t address;
  uint32_t id;  // IdNumber digits as BCD
  uint16_t firstRegister;
  int objects;
};
const Meter kMeters[] = {{1, 0x11111111, 10, 3}, {2, 0x22222222, 20, 2}, {3, 0x33333333, 30, 1}};
const uint8_t kVibs[] = {0x03, 0x13, 0x5B};

std::string MetersXml() {
  std::string xml;
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
  return xml;
}

// A gateway on a fresh site, its pty slave and a connected master.
class LiveGateway : public ::testing::Test {
 protected:
  void Start(const std::vector<std::string>& command, int connectDeadlineMs) {
    port = liverig::FreeTcpPort();
    liverig::WriteSite(dir.path(), slave.devicePath(), port, kModbusPolls, MetersXml());
    for (const Meter& m : kMeters) {
      if (m.address == 3) continue;  // the failing meter
      for (int i = 0; i < m.objects; ++i) slave.SetRegister(m.address, m.firstRegister + i, 0x0100 * m.address + i);
    }
    pid = liverig::Spawn(dir.path(), command, dir / "gateway.out");
    ASSERT_TRUE(master.Connect(port, connectDeadlineMs));
  }
  void TearDown() override {
    if (pid > 0 && waitpid(pid, nullptr, WNOHANG) == 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }
  Bytes Exchange(const Bytes& frame) {
    if (!master.Send(frame)) return {};
    return master.Receive(kAnswerWaitMs);
  }
  // Frames that must get no answer: silence for a while (which also keeps
  // them from sharing a read with the next frame).
  bool Unanswered(const Bytes& frame) { return master.Send(frame) && master.Receive(quietMs).empty(); }
  // A read whose slave stays silent: no answer after both attempts ran out.
  bool UnansweredRead(const Bytes& frame) {
    const int before = slave.requests();
    if (!master.Send(frame)) return false;
    if (!testutil::WaitFor([&] { return slave.requests() >= before + 2; })) return false;
    return master.Receive(quietMs + 2 * kModbusPolls).empty();
  }
  // The RSP_UD the meter at index must give with the given access number.
  Bytes ExpectedRspUd(const Meter& m, uint8_t access) {
    Bytes t = {0x68, 0, 0, 0x68, 0x08, m.address, 0x72};
    for (int i = 0; i < 4; ++i) t.push_back(static_cast<uint8_t>(m.id >> (8 * i)));
    t.insert(t.end(), {0x38, 0x6A, 0x10, 0x07, access, 0x00, 0x00, 0x00});
    for (int i = 0; i < m.objects; ++i) {
      const uint16_t value = slave.Register(m.address, static_cast<uint16_t>(m.firstRegister + i));
      t.insert(t.end(), {0x02, kVibs[i], static_cast<uint8_t>(value & 0xFF), static_cast<uint8_t>(value >> 8)});
    }
    t[1] = t[2] = static_cast<uint8_t>(t.size() - 4);
    uint8_t sum = 0;
    for (size_t i = 4; i < t.size(); ++i) sum = static_cast<uint8_t>(sum + t[i]);
    t.push_back(sum);
    t.push_back(0x16);
    return t;
  }
  // Reads the meter and checks the answer; the access number is learnt from
  // the first answer (start-up randomises it) and must then count up by one.
  ::testing::AssertionResult ReadsCorrectly(const Meter& m, uint8_t c, uint8_t a) {
    const Bytes answer = Exchange(ShortFrame(c, a));
    int& access = accessNumbers[m.address];
    if (answer.size() > 15 && access < 0) access = answer[15];
    const Bytes expected = ExpectedRspUd(m, static_cast<uint8_t>(access));
    access = (access + 1) & 0xFF;
    if (answer == expected) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "meter " << int(m.address) << " answered " << answer.size() << " bytes";
  }

  testutil::TempDir dir;
  liverig::PtySlave slave;
  liverig::MBusMaster master;
  pid_t pid = -1;
  int port = 0;
  int quietMs = 100;
  std::map<int, int> accessNumbers = {{1, -1}, {2, -1}, {3, -1}};
};

}  // namespace

class LiveGatewayRounds : public LiveGateway {
 protected:
  // Reads of every meter, a write read back, a selection, a failing meter,
  // a bad checksum and junk: each answered exactly as it must be.
  ::testing::AssertionResult Round(int round) {
    const Meter& m1 = kMeters[0];
    const Meter& m2 = kMeters[1];
    const Meter& m3 = kMeters[2];
    auto ok = ReadsCorrectly(m1, round % 2 ? kReqUd2Fcb : kReqUd2, m1.address);
    if (!ok) return ok;
    if (!(ok = ReadsCorrectly(m2, kReqUd2, m2.address))) return ok;
    switch (round % 8) {
      case 1: {  // SND_UD of object 2 of meter 1, then read back
        const uint16_t value = static_cast<uint16_t>(round);
        const Bytes ack = Exchange(LongFrame(kSndUdC, m1.address, kCiSndUd,
                                             {0x00, 0x00, 0x02, static_cast<uint8_t>(value & 0xFF),
                                              static_cast<uint8_t>(value >> 8)}));
        if (ack != Bytes{0xE5}) return ::testing::AssertionFailure() << "SND_UD not acknowledged";
        if (slave.Register(m1.address, m1.firstRegister + 1) != value) {
          return ::testing::AssertionFailure() << "SND_UD wrote the wrong value";
        }
        return ReadsCorrectly(m1, kReqUd2, m1.address);
      }
      case 3: {  // select meter 2 by secondary address, read it as FDh, deselect
        const Bytes select = LongFrame(kSndUdC, kSelectedAddress, kCiSelection,
                                       {0x22, 0x22, 0x22, 0x22, 0xFF, 0xFF, 0xFF, 0xFF});
        if (Exchange(select) != Bytes{0xE5}) return ::testing::AssertionFailure() << "selection not acknowledged";
        if (!(ok = ReadsCorrectly(m2, kReqUd2, kSelectedAddress))) return ok;
        if (Exchange(ShortFrame(kSndNke, kSelectedAddress)) != Bytes{0xE5}) {
          return ::testing::AssertionFailure() << "SND_NKE to the selected meter not acknowledged";
        }
        return ::testing::AssertionSuccess();
      }
      case 5:  // a failing meter gets no answer; the bad checksum neither
        if (round % 80 == 5) {
          if (!UnansweredRead(ShortFrame(kReqUd2, m3.address))) return ::testing::AssertionFailure() << "failed meter answered";
          accessNumbers[m3.address] = -1;
        }
        if (!Unanswered({0x10, kReqUd2, m1.address, 0x00, 0x16})) {
          return ::testing::AssertionFailure() << "bad checksum answered";
        }
        return ::testing::AssertionSuccess();
      case 7:  // junk at idle is dropped without answer
        if (!Unanswered({0x00, 0xFF, 0x10, 0x5B})) return ::testing::AssertionFailure() << "junk answered";
        return ::testing::AssertionSuccess();
      default:
        return ::testing::AssertionSuccess();
    }
  }
};

TEST_F(LiveGatewayRounds, RunsCleanUnderValgrindMemcheck) {
#ifdef KESTREL_SANITIZED
  GTEST_SKIP() << "valgrind cannot run a sanitizer build";
#endif
  if (access("/usr/bin/valgrind", X_OK) != 0) GTEST_SKIP() << "valgrind is not installed";
  const std::string log = dir / "memcheck.log";
  quietMs = 400;
  Start({"/usr/bin/valgrind", "--tool=memcheck", "--leak-check=full", "--error-exitcode=99",
         "--log-file=" + log, KESTREL_BINARY},
        60000);
  for (int round = 0; round < 8; ++round) ASSERT_TRUE(Round(round)) << "round " << round;
  ASSERT_TRUE(UnansweredRead(ShortFrame(kReqUd2, kMeters[2].address)));
  kill(pid, SIGTERM);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  pid = -1;
  const std::string report = testutil::ReadFile(log);
  EXPECT_NE(report.find("ERROR SUMMARY: 0 errors"), std::string::npos) << report;
  const bool noDefiniteLeak = report.find("definitely lost: 0 bytes") != std::string::npos ||
                              report.find("no leaks are possible") != std::string::npos;
  EXPECT_TRUE(noDefiniteLeak) << report;
}

TEST_F(LiveGatewayRounds, SoakKeepsAnswersMemoryAndDescriptorsSteady) {
  const char* cyclesText = std::getenv("KESTREL_SOAK_CYCLES");
  const int cycles = cyclesText != nullptr ? std::atoi(cyclesText) : 600;
  Start({KESTREL_BINARY}, 10000);
  // Each round has at least two REQ_UD2; warm up for a tenth of the run.
  const int rounds = cycles / 2;
  const int warmUp = rounds / 10;
  long rssAfterWarmUp = 0;
  int descriptorsAfterWarmUp = 0;
  for (int round = 0; round < rounds; ++round) {
    ASSERT_TRUE(Round(round)) << "round " << round;
    if (round == warmUp) {
      rssAfterWarmUp = liverig::ResidentKib(pid);
      descriptorsAfterWarmUp = liverig::OpenDescriptors(pid);
    }
  }
  const long growthKib = liverig::ResidentKib(pid) - rssAfterWarmUp;
  std::printf("soak: %d rounds, resident memory grew %ld KiB after warm-up, %d descriptors\n", rounds, growthKib,
              descriptorsAfterWarmUp);
  EXPECT_EQ(liverig::OpenDescriptors(pid), descriptorsAfterWarmUp);
#ifndef KESTREL_SANITIZED  // the sanitizers' quarantine keeps freed memory resident
  EXPECT_LT(growthKib, 64) << "resident memory grew by " << growthKib << " KiB";
#endif
}

// Failing peers: the slave goes away mid-read and comes back, the master
// leaves in the middle of a frame and another connects, bursts of garbage and
// of frames with wrong checksums. After each the next request is answered
// correctly, and nothing is ever sent unasked.
TEST_F(LiveGatewayRounds, RecoversFromFailingPeersAndBadBursts) {
  Start({KESTREL_BINARY}, 10000);
  const Meter& m1 = kMeters[0];
  ASSERT_TRUE(ReadsCorrectly(m1, kReqUd2, m1.address));

  slave.SetSilent(true);
  ASSERT_TRUE(UnansweredRead(ShortFrame(kReqUd2, m1.address)));
  accessNumbers[m1.address] = (accessNumbers[m1.address] + 1) & 0xFF;  // used by the dropped answer
  slave.SetSilent(false);
  ASSERT_TRUE(ReadsCorrectly(m1, kReqUd2Fcb, m1.address));

  const Bytes write = LongFrame(kSndUdC, m1.address, kCiSndUd, {0x00, 0x00, 0x01, 0x34, 0x12});
  ASSERT_TRUE(master.Send(Bytes(write.begin(), write.begin() + 6)));
  master.Disconnect();
  ASSERT_TRUE(master.Connect(port, 10000));
  // Had the gateway read the cut frame before the new connection replaced the
  // old one, the frame timeout must throw it away first: wait that out.
  std::this_thread::sleep_for(std::chrono::milliseconds(liverig::kFrameTimeoutMs + 300));
  ASSERT_TRUE(ReadsCorrectly(m1, kReqUd2, m1.address));
  EXPECT_NE(slave.Register(m1.address, m1.firstRegister), 0x1234);  // the cut frame wrote nothing

  for (int burst = 0; burst < 20; ++burst) {
    Bytes junk(37 * (burst + 1) % 300 + 1);
    for (size_t i = 0; i < junk.size(); ++i) junk[i] = static_cast<uint8_t>(i * 151 + burst);
    ASSERT_TRUE(Unanswered(junk)) << "burst " << burst;
    Bytes badSum = ShortFrame(kReqUd2, m1.address);
    badSum[3] ^= static_cast<uint8_t>(burst + 1);
    ASSERT_TRUE(Unanswered(badSum)) << "burst " << burst;
    Bytes badLong = write;
    badLong[badLong.size() - 2] ^= 0x01;
    ASSERT_TRUE(Unanswered(badLong)) << "burst " << burst;
    ASSERT_TRUE(ReadsCorrectly(kMeters[burst % 2], kReqUd2, kMeters[burst % 2].address)) << "burst " << burst;
  }
  EXPECT_NE(slave.Register(m1.address, m1.firstRegister), 0x1234);  // no damaged SND_UD got through
  EXPECT_TRUE(master.Receive(quietMs).empty());
}
