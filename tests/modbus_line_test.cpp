#include <gtest/gtest.h>

#include <chrono>

#include "modbus/transaction.h"
#include "tests/scripted_port.h"

using namespace kestrel;

namespace {

// A line that never falls quiet must not hold the gateway: after a missed
// answer the request still goes after twice the time limit, and emptying the
// line before it stops after a bounded number of reads.
TEST(ModbusLineTest, ALineThatNeverFallsQuietDelaysTheRequestBoundedly) {
  constexpr int kPolls = 20;
  ScriptedPort port;
  port.TalkEndlessly(ScriptedPort::Bytes(16, 0x55));
  ModbusLineState line;
  line.answerMissed = true;
  const uint8_t request[] = {0x01, 0x03, 0x00, 0x00, 0x00, 0x01, 0x84, 0x0A};
  uint8_t response[kModbusResponseCapacity];
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ModbusTransaction(port, line, request, sizeof request, response, kPolls, 'N', 1),
            kModbusNoValidAnswer);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, std::chrono::milliseconds(2 * kPolls));  // the whole bound: never quiet
  EXPECT_LT(took, std::chrono::seconds(5));
  EXPECT_EQ(port.writes().size(), 1u);
  EXPECT_TRUE(line.answerMissed);
}

}  // namespace
