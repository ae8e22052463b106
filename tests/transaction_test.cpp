#include <gtest/gtest.h>
#include <stdlib.h>

#include <array>
#include <cctype>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "modbus/crc.h"
#include "modbus/transaction.h"
#include "support/clock.h"
#include "support/leds.h"
#include "support/logs.h"
#include "support/paths.h"
#include "tests/harness.h"
#include "tests/led_capture.h"
#include "tests/scripted_port.h"
#include "tests/test_util.h"

namespace {

using Bytes = ScriptedPort::Bytes;
using Chunks = ScriptedPort::Chunks;
using harness::WithCrc;
using harness::operator+;

const Bytes kReadRequest = {0x01, 0x03, 0x00, 0x00, 0x00, 0x01, 0x84, 0x0A};
const Bytes kReadAnswer = {0x01, 0x03, 0x02, 0x00, 0x2A, 0x39, 0x9B};
const Bytes kWriteAnswer = {0x01, 0x10, 0x00, 0x10, 0x00, 0x02, 0x40, 0x0D};
const Bytes kException83 = {0x01, 0x83, 0x02, 0xC0, 0xF1};
const Bytes kException90 = {0x01, 0x90, 0x04, 0x4D, 0xC3};
const Bytes kWriteSingleEcho = {0x05, 0x06, 0x00, 0x64, 0x00, 0x01, 0x08, 0x51};

Bytes Zeros(size_t n) { return Bytes(n, 0x00); }

// A read answer carrying `byteCount` data bytes, with a valid CRC.
Bytes ReadAnswerOf(uint8_t byteCount) {
  Bytes body = {0x01, 0x03, byteCount};
  body.resize(3 + byteCount, 0x11);
  return WithCrc(body);
}

// The response buffer with a guard zone behind the capacity the transaction
// may use; the guard must never change.
constexpr size_t kGuard = 64;
constexpr uint8_t kGuardByte = 0xCC;

struct Buffer {
  Buffer() { bytes.fill(kGuardByte); }
  bool GuardIntact() const {
    for (size_t i = kModbusResponseCapacity; i < bytes.size(); ++i) {
      if (bytes[i] != kGuardByte) return false;
    }
    return true;
  }
  Bytes Prefix(size_t n) const { return Bytes(bytes.begin(), bytes.begin() + n); }
  std::array<uint8_t, kModbusResponseCapacity + kGuard> bytes;
};

int Transact(ScriptedPort& port, Buffer& buffer, int polls, int attempts, char parity = 'N',
             const Bytes& request = kReadRequest) {
  ModbusLineState line;
  return ModbusTransaction(port, line, request.data(), static_cast<int>(request.size()),
                           buffer.bytes.data(), polls, parity, attempts);
}

struct AnswerCase {
  const char* name;
  std::vector<Chunks> scripts;  // what the slave sends after each write
  int polls;
  int attempts;
  int result;
  Bytes answer;  // expected at the start of the buffer on success
  size_t writes;
};

const AnswerCase kAnswerCases[] = {
    {"valid read answer", {{kReadAnswer}}, 1, 1, 7, kReadAnswer, 1},
    {"answer split over polls", {{{0x01}, {0x03, 0x02}, {0x00, 0x2A, 0x39, 0x9B}}}, 3, 1, 7,
     kReadAnswer, 1},
    {"answer split beyond the last poll", {{{0x01}, {0x03, 0x02}, {0x00, 0x2A, 0x39, 0x9B}}}, 2, 1,
     kModbusNoValidAnswer, {}, 1},
    {"late answer within the polls", {{{}, {}, kReadAnswer}}, 3, 1, 7, kReadAnswer, 1},
    {"late answer after the polls", {{{}, {}, kReadAnswer}}, 2, 1, kModbusNoValidAnswer, {}, 1},
    {"one leading zero, one poll", {{Zeros(1) + kReadAnswer}}, 1, 1, 7, kReadAnswer, 1},
    {"two leading zeros, one poll", {{Zeros(2) + kReadAnswer}}, 1, 1, kModbusNoValidAnswer,
     {}, 1},
    {"two leading zeros, two polls", {{Zeros(2) + kReadAnswer}}, 2, 1, 7, kReadAnswer, 1},
    {"three leading zeros, two polls", {{Zeros(3) + kReadAnswer}}, 2, 1, 7, kReadAnswer, 1},
    {"four leading zeros, two polls", {{Zeros(4) + kReadAnswer}}, 2, 1,
     kModbusNoValidAnswer, {}, 1},
    {"four leading zeros, three polls", {{Zeros(4) + kReadAnswer}}, 3, 1, 7, kReadAnswer, 1},
    {"zero in its own chunk", {{Zeros(1), kReadAnswer}}, 2, 1, 7, kReadAnswer, 1},
    {"exception 2 to function 03", {{kException83}}, 1, 1, -2, kException83, 1},
    {"exception 4 to function 10", {{kException90}}, 1, 1, -4, kException90, 1},
    {"exception code 0", {{WithCrc({0x01, 0x84, 0x00})}}, 1, 1, 0, WithCrc({0x01, 0x84, 0x00}), 1},
    {"exception code 255", {{WithCrc({0x01, 0x83, 0xFF})}}, 1, 1, -255,
     WithCrc({0x01, 0x83, 0xFF}), 1},
    {"write multiple answer", {{kWriteAnswer}}, 1, 1, 8, kWriteAnswer, 1},
    {"another slave, function 04", {{WithCrc({0x07, 0x04, 0x02, 0x00, 0x2A})}}, 1, 1, 7,
     WithCrc({0x07, 0x04, 0x02, 0x00, 0x2A}), 1},
    {"trailing bytes ignored", {{kReadAnswer + Bytes{0x55, 0x66, 0x77}}}, 1, 1, 7, kReadAnswer,
     1},
    {"write single echo never accepted", {{kWriteSingleEcho}, {kWriteSingleEcho}}, 3, 2,
     kModbusNoValidAnswer, {}, 2},
    {"wrong crc, no second attempt", {{{0x01, 0x03, 0x02, 0x00, 0x2A, 0x39, 0x9C}}}, 3, 1,
     kModbusNoValidAnswer, {}, 1},
    {"wrong crc, then a valid answer",
     {{{0x01, 0x03, 0x02, 0x00, 0x2A, 0x9B, 0x39}}, {kReadAnswer}}, 3, 2, 7, kReadAnswer, 2},
    {"100-byte answer is the limit", {{ReadAnswerOf(95)}}, 1, 1, 100, ReadAnswerOf(95), 1},
    {"101-byte answer fails every attempt", {{ReadAnswerOf(96)}, {ReadAnswerOf(96)}}, 3, 2,
     kModbusNoValidAnswer, {}, 2},
    {"poll count 0 sends every attempt", {{kReadAnswer}, {kReadAnswer}}, 0, 2,
     kModbusNoValidAnswer, {}, 2},
    {"unrelated exception, nothing learnt", {{WithCrc({0x01, 0x81, 0x01})}}, 3, 1,
     kModbusNoValidAnswer, {}, 1},
    {"unrelated exception after a bad 83h answer",
     {{{0x01, 0x83, 0x02, 0xC0, 0xF0}}, {WithCrc({0x01, 0x81, 0x01})}}, 3, 2, -1,
     WithCrc({0x01, 0x81, 0x01}), 2},
    {"unrelated exception after a bad read answer",
     {{{0x01, 0x03, 0x02, 0x00, 0x2A, 0x39, 0x9C}}, {WithCrc({0x01, 0x81, 0x01})}}, 3, 2,
     kModbusNoValidAnswer, {}, 2},
    {"an abandoned answer forgets the learnt length",
     {{{0x01, 0x83, 0x02, 0xC0, 0xF0}}, {kWriteSingleEcho}, {WithCrc({0x01, 0x81, 0x01})}}, 3, 3,
     kModbusNoValidAnswer, {}, 3},
};

void PrintTo(const AnswerCase& c, std::ostream* os) { *os << c.name; }

class AnswerTest : public ::testing::TestWithParam<AnswerCase> {};

TEST_P(AnswerTest, ResultBufferAndRequestsSent) {
  const AnswerCase& c = GetParam();
  ScriptedPort port;
  for (const Chunks& script : c.scripts) port.AnswerNextWrite(script);
  Buffer buffer;
  EXPECT_EQ(Transact(port, buffer, c.polls, c.attempts), c.result);
  if (!c.answer.empty()) {
    EXPECT_EQ(buffer.Prefix(c.answer.size()), c.answer);
  }
  ASSERT_EQ(port.writes().size(), c.writes);
  for (const Bytes& sent : port.writes()) EXPECT_EQ(sent, kReadRequest);
  EXPECT_TRUE(buffer.GuardIntact());
}

std::string CaseName(const ::testing::TestParamInfo<AnswerCase>& info) {
  std::string name;
  for (const char* p = info.param.name; *p != '\0'; ++p) {
    name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
  }
  return name;
}

INSTANTIATE_TEST_SUITE_P(Transaction, AnswerTest, ::testing::ValuesIn(kAnswerCases), CaseName);

TEST(TransactionTest, EmptiesTheLineThenSendsThenPolls) {
  ScriptedPort port;
  port.QueueRead(Bytes{0xAA, 0xBB});
  port.QueueRead(Bytes(150, 0x55));
  port.AnswerNextWrite({kReadAnswer});
  Buffer buffer;
  EXPECT_EQ(Transact(port, buffer, 3, 1), 7);
  EXPECT_EQ(port.calls(), (std::vector<std::string>{"Read 2", "Read 150", "Read 0", "Write", "Read 7"}));
}

TEST(TransactionTest, AStaleValidAnswerIsNotTakenForTheAnswer) {
  ScriptedPort port;
  port.QueueRead(kReadAnswer);
  Buffer buffer;
  EXPECT_EQ(Transact(port, buffer, 2, 1), kModbusNoValidAnswer);
  EXPECT_EQ(port.pendingChunks(), 0u);
  EXPECT_EQ(port.writes().size(), 1u);
}

TEST(TransactionTest, AWrongCrcEndsTheAttemptAtOnce) {
  ScriptedPort port;
  const Bytes bad = {0x01, 0x03, 0x02, 0x00, 0x2A, 0x39, 0x9C};
  port.AnswerNextWrite({bad});
  Buffer buffer;
  EXPECT_EQ(Transact(port, buffer, 5, 1), kModbusNoValidAnswer);
  // The emptying read and the one poll that brought the answer.
  EXPECT_EQ(port.calls(), (std::vector<std::string>{"Read 0", "Write", "Read 7"}));
}

TEST(TransactionTest, PollCountZeroNeverPolls) {
  ScriptedPort port;
  Buffer buffer;
  EXPECT_EQ(Transact(port, buffer, 0, 2), kModbusNoValidAnswer);
  EXPECT_EQ(port.calls(), (std::vector<std::string>{"Read 0", "Write", "Read 0", "Write"}));
}

TEST(TransactionTest, NoAttemptSendsNothingAndLeavesTheBufferAlone) {
  for (int attempts : {0, -1}) {
    ScriptedPort port(kModeRs485, 'N');
    port.QueueRead(kReadAnswer);
    Buffer buffer;
    EXPECT_EQ(Transact(port, buffer, 5, attempts), kModbusNoAttempt);
    EXPECT_TRUE(port.calls().empty());
    EXPECT_EQ(buffer.Prefix(1), Bytes{kGuardByte});
  }
}

TEST(TransactionTest, FullReadsNeverWriteBeyondTheCapacity) {
  ScriptedPort port;
  port.AnswerNextWrite({ReadAnswerOf(250)});  // 255 bytes, handed out 100 per read
  Buffer buffer;
  EXPECT_EQ(Transact(port, buffer, 4, 1), kModbusNoValidAnswer);
  EXPECT_EQ(port.calls(), (std::vector<std::string>{"Read 0", "Write", "Read 100", "Read 100"}));
  EXPECT_TRUE(buffer.GuardIntact());
}

// Random garbage, zeros and real answer fragments: whatever comes, the result
// is one of the defined codes, a success is a frame with a valid CRC, and the
// buffer is never left.
TEST(TransactionTest, ArbitraryInputStaysWithinTheBuffer) {
  std::mt19937 random(4711);
  const Bytes pieces[] = {kReadAnswer, kException83, kWriteAnswer, ReadAnswerOf(90), Zeros(3)};
  for (int run = 0; run < 150; ++run) {
    Chunks chunks;
    const int chunkCount = static_cast<int>(random() % 4);
    for (int i = 0; i < chunkCount; ++i) {
      Bytes chunk = pieces[random() % 5];
      chunk.resize(random() % 120);
      for (uint8_t& b : chunk) {
        if (random() % 8 == 0) b = static_cast<uint8_t>(random());
      }
      chunks.push_back(chunk);
    }
    ScriptedPort port;
    port.AnswerNextWrite(chunks);
    Buffer buffer;
    const int result = Transact(port, buffer, 2, 1);
    ASSERT_TRUE(buffer.GuardIntact());
    ASSERT_TRUE(result >= -255 || result == kModbusNoValidAnswer) << result;
    if (result >= 5) {
      EXPECT_LE(result, 100);
      EXPECT_EQ(ModbusCrc(buffer.bytes.data(), static_cast<uint32_t>(result - 2)),
                (buffer.bytes[result - 2] << 8) | buffer.bytes[result - 1]);
    }
  }
}

struct ParityCase {
  int mode;
  char stored;
  char wanted;
  bool switches;
};

const ParityCase kParityCases[] = {
    {kModeRs485, 'N', 'e', true},       {kModeRs485, 'N', 'E', true},
    {kModeRs232, 'N', 'o', true},       {kModeMBusMaster, 'E', 'm', true},
    {kModeMBusSlave, 'N', 'S', true},   {kModeRs485, 'E', 'n', true},
    {kModeRs485, 'E', 'E', false},      {kModeRs485, 'E', 'e', false},
    {kModeRs485, 'N', 'X', false},      {kModeRs485, 'N', '7', false},
    {kModeRs485, 'N', '\0', false},     {kModeTcp, 'N', 'E', false},
    {kModeUdp, 'N', 'o', false},        {kModeTcp, 'E', 'N', false},
};

void PrintTo(const ParityCase& c, std::ostream* os) {
  *os << "mode " << c.mode << ", stored " << c.stored << ", wanted code " << int(c.wanted);
}

class ParityTest : public ::testing::TestWithParam<ParityCase> {};

TEST_P(ParityTest, SwitchesOnlySerialLinesToAnotherParityLetter) {
  const ParityCase& c = GetParam();
  ScriptedPort port(c.mode, c.stored);
  port.AnswerNextWrite({kReadAnswer});
  Buffer buffer;
  EXPECT_EQ(Transact(port, buffer, 1, 1, c.wanted), 7);
  if (c.switches) {
    const char upper = static_cast<char>(std::toupper(c.wanted));
    const std::vector<std::string> head(port.calls().begin(), port.calls().begin() + 3);
    EXPECT_EQ(head, (std::vector<std::string>{"Close", std::string("SetParity ") + upper, "Open"}));
    EXPECT_EQ(port.GetParity(), upper);
  } else {
    EXPECT_EQ(port.closeCount(), 0);
    EXPECT_EQ(port.openCount(), 0);
    EXPECT_EQ(port.GetParity(), c.stored);
  }
}

std::string ParityCaseName(const ::testing::TestParamInfo<ParityCase>& info) {
  const ParityCase& c = info.param;
  const bool printable = std::isalnum(static_cast<unsigned char>(c.wanted)) != 0;
  return "Mode" + std::to_string(c.mode) + "From" + c.stored + "To" +
         (printable ? std::string(1, c.wanted) : "Code" + std::to_string(c.wanted));
}

INSTANTIATE_TEST_SUITE_P(Transaction, ParityTest, ::testing::ValuesIn(kParityCases),
                         ParityCaseName);

TEST(TransactionTest, ParityIsSwitchedEvenWhenNoAttemptIsMade) {
  ScriptedPort port(kModeRs485, 'N');
  Buffer buffer;
  EXPECT_EQ(Transact(port, buffer, 1, 0, 'O'), kModbusNoAttempt);
  EXPECT_EQ(port.GetParity(), 'O');
  EXPECT_TRUE(port.writes().empty());
}

TEST(TransactionTest, AFailedReopenIsTracedAndEveryAttemptFails) {
  testutil::TempDir dir;
  setenv("KESTREL_ROOT", dir.path().c_str(), 1);
  testutil::WriteFile(RootedPath(kTraceLogPath), "");
  OpenTraceLogIfPresent();
  ASSERT_TRUE(TraceLogIsOpen());

  ScriptedPort port(kModeRs485, 'N');
  port.SetOpenResult(false);
  port.AnswerNextWrite({kReadAnswer});
  Buffer buffer;
  EXPECT_EQ(Transact(port, buffer, 2, 2, 'E'), kModbusNoValidAnswer);
  EXPECT_TRUE(port.writes().empty());

  CloseTraceLog();
  const std::string trace = testutil::ReadFile(RootedPath(kTraceLogPath));
  unsetenv("KESTREL_ROOT");
  EXPECT_NE(trace.find("Modbus error, could not reopen the port with parity E\n"),
            std::string::npos)
      << trace;
}

// LED events through the panel seam. LED 8 is lit by every signal.
class TransactionLedTest : public testutil::LedPanelCapture {
 protected:
  void SetUp() override {
    LedPanelCapture::SetUp();
    EnableLeds();
  }
};

using Panel = testutil::PanelBytes;
constexpr Panel kAliveAndTransmit = {0xFF, 0xFA};        // LEDs 8 and 10
constexpr Panel kAliveTransmitAndPoll = {0xFB, 0xFA};    // LEDs 2, 8 and 10
constexpr Panel kAliveAndMBusReceive = {0xFF, 0x7E};     // LEDs 8 and 15
constexpr Panel kAliveOnly = {0xFF, 0xFE};

TEST_F(TransactionLedTest, TransmitThenPollWithBytes) {
  ScriptedPort port;
  port.AnswerNextWrite({{}, kReadAnswer});
  Buffer buffer;
  EXPECT_EQ(Transact(port, buffer, 3, 1), 7);
  ASSERT_GE(Sent().size(), 2u);
  EXPECT_EQ(Sent()[0], kAliveAndTransmit);
  EXPECT_EQ(Sent()[1], kAliveTransmitAndPoll);
}

TEST_F(TransactionLedTest, SilentPollsLightNoPollLed) {
  ScriptedPort port;
  Buffer buffer;
  EXPECT_EQ(Transact(port, buffer, 2, 1), kModbusNoValidAnswer);
  ASSERT_GE(Sent().size(), 1u);
  EXPECT_EQ(Sent()[0], kAliveAndTransmit);
  for (const Panel& p : Sent()) EXPECT_EQ(p[0] & 0x04, 0x04);  // LED 2 never lit
}

TEST_F(TransactionLedTest, EveryReturnRefreshesThePanel) {
  SignalLed(kLedMBusReceive, NowMs() - 1000);  // long expired by now
  ASSERT_EQ(Sent().size(), 1u);
  EXPECT_EQ(Sent()[0], kAliveAndMBusReceive);
  ScriptedPort port;
  Buffer buffer;
  EXPECT_EQ(Transact(port, buffer, 1, 0), kModbusNoAttempt);
  ASSERT_EQ(Sent().size(), 2u);
  EXPECT_EQ(Sent()[1], kAliveOnly);
}

}  // namespace
