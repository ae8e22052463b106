// The harness checked against hand-made bytes, so that gateway tests built
// on it fail only for the gateway's faults.
#include "tests/harness.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

using harness::Bytes;
using harness::operator+;
using harness::Hex;
using harness::ToHex;

namespace {

TEST(HarnessFrames, BuildersGiveTheTextbookFrames) {
  EXPECT_EQ(ToHex(harness::ReqUd2(5)), "10 5B 05 60 16");
  EXPECT_EQ(ToHex(harness::ReqUd2(5, true)), "10 7B 05 80 16");
  EXPECT_EQ(ToHex(harness::SndNke(5)), "10 40 05 45 16");
  EXPECT_EQ(ToHex(harness::Selection(Hex("78 56 34 12 FF FF FF FF"))),
            "68 0B 0B 68 53 FD 52 78 56 34 12 FF FF FF FF B2 16");
  EXPECT_EQ(ToHex(harness::RspUd(1, 0x12345678, 0x02, 0x2A)),
            "68 0F 0F 68 08 01 72 78 56 34 12 38 6A 10 02 2A 00 00 00 6D 16");
  EXPECT_EQ(harness::RspUd(5, 0x12345671, 0x07, 0, Hex("02 03 34 12 05 13 00 00 48 41")).size(), 31u);
  EXPECT_EQ(ToHex(harness::WithCrc(Hex("01 10 00 0A 00 02 04 11 22 33 44"))),
            "01 10 00 0A 00 02 04 11 22 33 44 C2 25");
}

// The test's own end of a pty, as the gateway would open it.
class OtherEnd {
 public:
  explicit OtherEnd(const std::string& path) : fd_(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK)) {}
  ~OtherEnd() { close(fd_); }
  void Write(const Bytes& bytes) { ASSERT_EQ(write(fd_, bytes.data(), bytes.size()), ssize_t(bytes.size())); }
  // Reads until `count` bytes are there or the deadline passes.
  Bytes Read(size_t count, harness::Ms deadline = harness::kDeadline) {
    Bytes got;
    testutil::WaitFor([&] {
      uint8_t chunk[256];
      const ssize_t n = read(fd_, chunk, sizeof chunk);
      if (n > 0) got.insert(got.end(), chunk, chunk + n);
      return got.size() >= count;
    }, deadline);
    return got;
  }

 private:
  int fd_;
};

TEST(HarnessModbusSlave, AnswersRecordsAndFollowsItsScript) {
  harness::PtyPair line;
  harness::ScriptedModbusSlave slave(line.fd());
  OtherEnd gateway(line.devicePath());
  slave.SetHolding(1, 0, {0x002A});
  slave.Then(harness::ModbusReply::Exception(2));

  gateway.Write(Hex("01 03 00 00 00 01 84 0A"));
  EXPECT_EQ(ToHex(gateway.Read(5)), "01 83 02 C0 F1");
  // A request split over two writes; the answer comes from the register map.
  gateway.Write(Hex("01 03 00"));
  gateway.Write(Hex("00 00 01 84 0A"));
  EXPECT_EQ(ToHex(gateway.Read(7)), "01 03 02 00 2A 39 9B");
  // A write lands in the map; a request with a bad CRC is recorded, not answered.
  gateway.Write(harness::WithCrc(Hex("01 10 00 00 00 01 02 12 34")));
  EXPECT_EQ(ToHex(gateway.Read(8)), ToHex(harness::WithCrc(Hex("01 10 00 00 00 01"))));
  EXPECT_EQ(slave.Holding(1, 0), 0x1234);
  gateway.Write(Hex("01 03 00 00 00 01 84 0B"));
  ASSERT_TRUE(slave.WaitForRequests(4));
  EXPECT_EQ(ToHex(gateway.Read(1, harness::Ms(100))), "");
  EXPECT_EQ(slave.Requests()[1], Hex("01 03 00 00 00 01 84 0A"));
  EXPECT_EQ(slave.BadCrcCount(), 1u);
}

TEST(HarnessMBusMaster, CutsTheStreamIntoFrames) {
  harness::PtyPair line;
  auto master = harness::MBusMaster::OnPty(line.fd());
  OtherEnd gateway(line.devicePath());
  EXPECT_TRUE(master->ExpectSilence(harness::Ms(50)));
  const Bytes telegram = harness::RspUd(1, 0x12345678, 0x02, 0x2A);
  gateway.Write(Bytes{0xE5} + Bytes(telegram.begin(), telegram.begin() + 9));
  EXPECT_EQ(master->ReadFrame(), Bytes{0xE5});
  gateway.Write(Bytes(telegram.begin() + 9, telegram.end()));
  EXPECT_EQ(ToHex(master->ReadFrame()), ToHex(telegram));
  gateway.Write(Hex("00"));
  EXPECT_FALSE(master->ExpectSilence(harness::Ms(50)));
}

}  // namespace
