// The Modbus transaction, RTU or MBAP framed, fed arbitrary answers in arbitrary read splits:
// whatever comes back, the result is one of the documented codes and the
// response buffer is never overrun.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <cstring>

#include "fuzz/fuzz_support.h"
#include "modbus/transaction.h"
#include "tests/scripted_port.h"

using namespace kestrel;

namespace {

constexpr int kGuard = 64;
constexpr uint8_t kGuardByte = 0xA5;

// An answer fits the response buffer; the reason an attempt ended goes
// with the outcome.
bool IsDocumentedResult(const TransactionResult& result) {
  switch (result.outcome) {
    case TransactionOutcome::kAnswer:
      return result.length >= 5 && result.length <= kModbusResponseCapacity;
    case TransactionOutcome::kException:
      return result.lastEnd == AttemptEnd::kAnswered;
    case TransactionOutcome::kNoValidAnswer:
      return result.lastEnd != AttemptEnd::kAnswered && result.lastHeld <= kModbusResponseCapacity;
    case TransactionOutcome::kNotSent:
      return result.lastEnd == AttemptEnd::kNotConnected || result.lastEnd == AttemptEnd::kNoFrame ||
             result.lastEnd == AttemptEnd::kNoAttempt;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  const auto mode = static_cast<PortMode>(input.ConsumeIntegralInRange<int>(
      static_cast<int>(PortMode::kTcp), static_cast<int>(PortMode::kMBusSlave)));
  ScriptedPort port(mode, 'N');
  const int pollCount = input.ConsumeIntegralInRange<int>(0, 3);
  const int attempts = input.ConsumeIntegralInRange<int>(0, 2);
  const char parity = static_cast<char>(input.ConsumeIntegral<uint8_t>());
  port.SetOpenResult(input.ConsumeBool());
  port.SetFraming(input.ConsumeBool() ? ModbusFraming::kMbap : ModbusFraming::kRtu);
  fuzzsupport::Bytes request = input.ConsumeBytes<uint8_t>(input.ConsumeIntegralInRange<size_t>(0, 16));
  if (request.size() < 6) request = {0x01, 0x03, 0x00, 0x00, 0x00, 0x01};  // callers send whole requests

  // Stale bytes before the request, then the answer chunks of each attempt.
  port.QueueRead(input.ConsumeBytes<uint8_t>(input.ConsumeIntegralInRange<size_t>(0, 64)));
  port.SetResponder([&input](const fuzzsupport::Bytes&) {
    ScriptedPort::Chunks chunks;
    const int count = input.ConsumeIntegralInRange<int>(0, 5);
    for (int i = 0; i < count; ++i) {
      chunks.push_back(input.ConsumeBytes<uint8_t>(input.ConsumeIntegralInRange<size_t>(0, 260)));
    }
    return chunks;
  });

  // The documented capacity, with a guard behind it that must stay untouched.
  uint8_t response[kModbusResponseCapacity + kGuard];
  std::memset(response + kModbusResponseCapacity, kGuardByte, kGuard);
  ModbusLine line;
  line.port = &port;
  line.timeoutMs = pollCount;
  line.answerMissed = input.ConsumeBool();
  ModbusTransaction transaction;
  const TransactionRequest exchange{request.data(), static_cast<int>(request.size()), response, parity, attempts};
  if (!IsDocumentedResult(RunTransaction(transaction, line, exchange))) std::abort();
  for (int i = 0; i < kGuard; ++i) {
    if (response[kModbusResponseCapacity + i] != kGuardByte) std::abort();
  }
  if (static_cast<int>(port.writes().size()) > (attempts < 1 ? 1 : attempts)) std::abort();
  return 0;
}
