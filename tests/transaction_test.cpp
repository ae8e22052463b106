// What the exchanges cannot see of a Modbus transaction: when it switches a
// line's parity (ptys refuse most parity changes), how fast it takes an
// answer, that it sends its own copy of the request, and the LED events it
// signals. The answers it takes and a reopening
// that fails are golden exchanges (tests/exchanges/transaction).
#include <gtest/gtest.h>

#include <cctype>
#include <chrono>

#include "modbus/transaction.h"
#include "support/clock.h"
#include "tests/led_capture.h"
#include "tests/scripted_port.h"

using namespace kestrel;

namespace {

using Bytes = ScriptedPort::Bytes;

const Bytes kReadRequest = {0x01, 0x03, 0x00, 0x00, 0x00, 0x01, 0x84, 0x0A};
const Bytes kReadAnswer = {0x01, 0x03, 0x02, 0x00, 0x2A, 0x39, 0x9B};

// timeoutMs: generous where an answer is scripted, so that a loaded machine
// cannot make the attempt end before it is read.
int Transact(ScriptedPort& port, char parity, int attempts = 1, int timeoutMs = 1000, ModbusLine line = {}) {
  uint8_t response[kModbusResponseCapacity];
  line.port = &port;
  line.timeoutMs = timeoutMs;
  const TransactionRequest request{kReadRequest.data(), static_cast<int>(kReadRequest.size()), response, parity,
                                   attempts};
  ModbusTransaction transaction;
  return ResultCode(RunTransaction(transaction, line, request));
}

// Only a serial line switches, to an E, M, N, O or S in either case that is
// not its letter already: closed, given the letter, opened again.
TEST(TransactionTest, SwitchesOnlySerialLinesToAnotherParityLetter) {
  const struct {
    PortMode mode;
    char stored, wanted;
    bool switches;
  } cases[] = {
      {PortMode::kRs485, 'N', 'e', true},     {PortMode::kRs485, 'N', 'E', true},  {PortMode::kRs232, 'N', 'o', true},
      {PortMode::kMBusMaster, 'E', 'm', true}, {PortMode::kMBusSlave, 'N', 'S', true}, {PortMode::kRs485, 'E', 'n', true},
      {PortMode::kRs485, 'E', 'E', false},    {PortMode::kRs485, 'E', 'e', false}, {PortMode::kRs485, 'N', 'X', false},
      {PortMode::kRs485, 'N', '7', false},    {PortMode::kRs485, 'N', '\0', false}, {PortMode::kTcp, 'N', 'E', false},
      {PortMode::kUdp, 'N', 'o', false},
  };
  for (const auto& c : cases) {
    ScriptedPort port(c.mode, c.stored);
    port.AnswerNextWrite({kReadAnswer});
    EXPECT_EQ(Transact(port, c.wanted), 7);
    const char upper = static_cast<char>(std::toupper(static_cast<unsigned char>(c.wanted)));
    const std::vector<std::string> switched = {"Close", std::string("SetParity ") + upper, "Open"};
    EXPECT_EQ(std::vector<std::string>(port.calls().begin(), port.calls().begin() + 3) == switched, c.switches)
        << "mode " << static_cast<int>(c.mode) << ", " << c.stored << " to code " << int(c.wanted);
  }
}

// A poll ends as soon as the port has input: answers that are there are
// taken without a millisecond's wait first (a hundred such waits would be
// 100 ms). An attempt's limit is wall time, however often its polls return:
// a line that brings a zero at every poll does not end it early.
TEST(TransactionTest, AnswersAreTakenAtOnceAndAttemptsLastTheirTime) {
  using std::chrono::milliseconds;
  using std::chrono::steady_clock;
  ScriptedPort port;
  port.SetResponder([](const Bytes&) { return ScriptedPort::Chunks{kReadAnswer}; });
  auto start = steady_clock::now();
  for (int i = 0; i < 100; ++i) ASSERT_EQ(Transact(port, 'N'), 7);
  EXPECT_LT(steady_clock::now() - start, milliseconds(50));

  ScriptedPort zeros;
  zeros.TalkEndlessly({0x00});
  start = steady_clock::now();
  EXPECT_EQ(Transact(zeros, 'N', 1, 20), kModbusNoValidAnswer);
  EXPECT_GE(steady_clock::now() - start, milliseconds(20));
  EXPECT_LT(steady_clock::now() - start, milliseconds(2000));
}

// The request is the transaction's own once begun: whatever its caller
// writes into the buffer it came from, the retry sends the same bytes.
TEST(TransactionTest, ARetrySendsTheRequestAsItWasBegun) {
  ScriptedPort port;
  port.AnswerNextWrite({});  // the first attempt hears nothing
  port.AnswerNextWrite({kReadAnswer});
  Bytes caller = kReadRequest;
  uint8_t response[kModbusResponseCapacity];
  ModbusLine line;
  line.port = &port;
  line.timeoutMs = 20;
  ModbusTransaction transaction;
  transaction.Begin(line, {caller.data(), static_cast<int>(caller.size()), response, 'N', 2});
  caller.assign(caller.size(), 0xEE);
  CompleteTransaction(transaction);
  ASSERT_EQ(port.writes().size(), 2u);
  EXPECT_EQ(port.writes()[1], kReadRequest);
  EXPECT_EQ(ResultCode(transaction.Result()), 7);
}

// A slave that wants another parity than the line's (ComSettings) has
// characters of a bit more or less: the character time and a gap of 3.5
// characters count them. 1200 baud, 8 data bits, 1 stop bit.
TEST(TransactionTest, AParityBitMoreOrLessCountsInTheCharacterAndTheGap) {
  const struct {
    char line, slave;
    bool rtuGap;
    int64_t byteUs, gapUs;
  } cases[] = {{'N', 'N', true, 8334, 29167}, {'N', 'E', true, 9167, 32084}, {'E', 'N', true, 8334, 29167},
               {'O', 'S', true, 9167, 32084}, {'N', 'E', false, 9167, 5000}};
  for (const auto& c : cases) {
    ScriptedPort port(PortMode::kRs485, c.line);
    ModbusLine line;
    line.port = &port;
    line.baudRate = 1200;
    line.dataBits = 8;
    line.stopBits = 1;
    line.rtuGap = c.rtuGap;
    line.frameGapUs = 5000;
    uint8_t response[kModbusResponseCapacity];
    ModbusTransaction transaction;
    transaction.Begin(line, {kReadRequest.data(), static_cast<int>(kReadRequest.size()), response, c.slave, 0});
    EXPECT_EQ(line.byteTimeUs, c.byteUs) << c.line << " to " << c.slave;
    EXPECT_EQ(line.frameGapUs, c.gapUs) << c.line << " to " << c.slave;
  }
}

// A line that never falls quiet must not hold the gateway: after a missed
// answer the request still goes after twice the time limit, and emptying the
// line before it stops after a bounded number of reads.
TEST(TransactionTest, ALineThatNeverFallsQuietDelaysTheRequestBoundedly) {
  constexpr int kLimitMs = 20;
  ScriptedPort port;
  port.TalkEndlessly(ScriptedPort::Bytes(16, 0x55));
  ModbusLine missed;
  missed.answerMissed = true;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Transact(port, 'N', 1, kLimitMs, missed), kModbusNoValidAnswer);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, std::chrono::milliseconds(2 * kLimitMs));  // the whole bound: never quiet
  EXPECT_LT(took, std::chrono::seconds(5));
  EXPECT_EQ(port.writes().size(), 1u);
}

// LED 10 lights with each request, LED 2 with each poll that brought bytes,
// and every return refreshes the panel (LED 8 is lit by every signal).
class TransactionLedTest : public testutil::LedPanelCapture {};

TEST_F(TransactionLedTest, RequestPollAndReturnSignalTheirLeds) {
  EnableLeds();
  ScriptedPort port;
  port.AnswerNextWrite({{}, kReadAnswer});
  EXPECT_EQ(Transact(port, 'N'), 7);
  ASSERT_GE(Sent().size(), 2u);
  EXPECT_EQ(Sent()[0], (testutil::PanelBytes{0xFF, 0xFA}));  // LEDs 8 and 10
  EXPECT_EQ(Sent()[1], (testutil::PanelBytes{0xFB, 0xFA}));  // and 2

  ResetLeds();
  EnableLeds();
  SignalLed(kLedMBusReceive, NowMs() - 1000);  // long expired by now
  ScriptedPort silent;
  const size_t before = Sent().size();
  EXPECT_EQ(Transact(silent, 'N', 0), kModbusNoAttempt);
  ASSERT_EQ(Sent().size(), before + 1);
  EXPECT_EQ(Sent().back(), (testutil::PanelBytes{0xFF, 0xFE}));  // the return: only LED 8 still lit
}

}  // namespace
