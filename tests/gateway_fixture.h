#pragma once
// A running gateway with the standard meter file: Modbus on a pty served by
// the scripted slave, M-Bus on a loopback TCP server port, tracing on.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/harness.h"

namespace gwtest {

using harness::Bytes;
using harness::Hex;
using harness::operator+;

// One emulated meter of the standard file, as the master sees it.
struct Meter {
  uint8_t primary;
  uint32_t idNumber;
  uint8_t medium;
  uint8_t slave;  // Modbus slave address
  uint8_t status;
};

// In document order. kShortId comes first and can never be selected (its
// IdNumber has seven digits); kDuplicateId repeats kHeaderOnly's IdNumber.
constexpr Meter kShortId{31, 0x1234567, 0x02, 31, 0x00};
constexpr Meter kHeaderOnly{1, 0x12345678, 0x02, 1, 0x00};   // no Objects
constexpr Meter kTwoRecords{5, 0x12345671, 0x07, 2, 0x00};   // INT16 + FLOAT
constexpr Meter kWriter{10, 0x87654321, 0x04, 1, 0x05};      // ObjectIds 1, 2, 1
constexpr Meter kDuplicateId{30, 0x12345678, 0x02, 9, 0x00};
constexpr Meter kThreeRecords{20, 0x11111111, 0x03, 3, 0x00};  // ComSettings n (lower case)
constexpr Meter kFirstAt7{7, 0x22222222, 0x02, 71, 0x00};
constexpr Meter kSecondAt7{7, 0x22222223, 0x02, 72, 0x00};
constexpr Meter kAt253{253, 0x33333333, 0x02, 53, 0x00};
constexpr Meter kAt254{254, 0x44444444, 0x02, 54, 0x00};      // one INT16 Object
constexpr Meter kInitWrites{40, 0x55555555, 0x02, 5, 0x00};   // InitFunction 06

// Selects kTwoRecords (IdNumber 12345671) and no other meter.
inline const Bytes kTwoRecordsPattern = Hex("F1 56 34 12 FF FF FF FF");
// kTwoRecords' InitFunction is 04, its InitRegister 10.
inline const Bytes kTwoRecordsInit = harness::WithCrc(Hex("02 04 00 0A 00 01"));

std::string StandardMeters();
// Register contents behind the standard meters.
void LoadStandardRegisters(harness::ScriptedModbusSlave& slave);

// Records of a standard meter with the standard register contents.
Bytes RecordsOf(const Meter& meter);

// The telegram a meter sends with the given access number and records.
Bytes Telegram(const Meter& meter, uint8_t access, const Bytes& records = {});
// Initialising request (8 bytes) of a meter whose InitFunction is 03.
Bytes InitRequest(const Meter& meter);

class GatewayTest : public ::testing::Test {
 protected:
  void SetUp() override;
  // Modbus on a pty, M-Bus on TCP unless a test says otherwise.
  virtual void ChooseSides();
  void StartGateway();  // call with ASSERT_NO_FATAL_FAILURE

  // The telegram a REQ_UD2 to `address` brings must be `meter`'s with its
  // standard records (whatever its access number); returns the access number.
  uint8_t ExpectTelegramFrom(uint8_t address, const Meter& meter);
  void ExpectSelected(const Meter& meter) { ExpectTelegramFrom(0xFD, meter); }
  void ExpectNothingSelected() { ExpectTelegramFrom(0xFD, kAt253); }

  // One request and what must follow: E5h or nothing, and exactly these
  // Modbus requests on the way.
  struct Exchange {
    std::string what;
    Bytes frame;
    bool acknowledged;
    std::vector<Bytes> modbus;
  };
  void Run(const Exchange& exchange);
  // The frame gets no answer, and no meter is selected afterwards: the next
  // answer is the REQ_UD2 answer of kHeaderOnly at its own address.
  ::testing::AssertionResult ExpectUnanswered(const Bytes& frame);
  // Selects by pattern; the answer must be E5h.
  ::testing::AssertionResult Select(const Bytes& pattern);
  std::vector<Bytes> RequestsDuring(const std::function<void()>& exchange);

  harness::GatewayRig rig;
};

}  // namespace gwtest
