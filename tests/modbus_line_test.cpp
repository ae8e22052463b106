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
  for (int i = 0; i < 200000; ++i) port.QueueRead(ScriptedPort::Bytes(16, 0x55));
  ModbusLineState line;
  line.answerMissed = true;
  const uint8_t request[] = {0x01, 0x03, 0x00, 0x00, 0x00, 0x01, 0x84, 0x0A};
  uint8_t response[kModbusResponseCapacity];
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ModbusTransaction(port, line, request, sizeof request, response, kPolls, 'N', 1),
            kModbusNoValidAnswer);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(port.writes().size(), 1u);
  EXPECT_GT(port.pendingChunks(), 0u);  // the line was still talking
  EXPECT_TRUE(line.answerMissed);
}

}  // namespace
