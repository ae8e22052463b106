#include "links/meter_exchange.h"

#include <cstdio>

#include "modbus/framing.h"
#include "ports/TPort.h"
#include "support/logs.h"

namespace kestrel {
namespace {

// Exception answers whose code is at most this are reported with their bytes.
constexpr int kHighestReportedException = 15;
// Exception codes a slave sends are at most 127; SND_NKE and selection take
// nothing above as the meter's answer.
constexpr int kHighestExceptionAnswer = 127;

bool ExceptionUpTo(const TransactionResult& result, int highest) {
  return result.outcome == TransactionOutcome::kException && result.exceptionCode <= highest;
}

}  // namespace

bool MeterAnswered(MeterRequest request, const TransactionResult& result) {
  const bool answer = result.outcome == TransactionOutcome::kAnswer;
  switch (request) {
    case MeterRequest::kRead:
      // A record needs the registers' values: an exception answer carries
      // none. Deliberate: one with code 0 passes here, and then fails as an
      // answer too short for its registers, with that trace line.
      return answer || ExceptionUpTo(result, 0);
    case MeterRequest::kWrite:
    case MeterRequest::kReset:
      // SND_UD and application reset only need the meter to be there: an
      // exception answer proves it; only a missing answer fails them.
      return answer || result.outcome == TransactionOutcome::kException;
    case MeterRequest::kSndNke:
    case MeterRequest::kSelection:
      // SND_NKE and selection accept every exception code a slave sends
      // (up to 127) as the meter's answer, and nothing above.
      return answer || ExceptionUpTo(result, kHighestExceptionAnswer);
  }
  return false;
}

void BeginExchangeWithMeter(Link& link, const Meter& meter, const MeterExchange& exchange) {
  LogTrace("%s", exchange.traceLine);  // the transaction dumps the request as it goes on the wire
  const TransactionRequest request{exchange.request,  exchange.length,   link.response,
                                   meter.parity,      exchange.attempts, exchange.answerLimit,
                                   static_cast<int>(meter.modbusTimeoutMs)};
  link.transaction.Begin(link.line, request);
}

void TraceTransactionReport(const Link& link, const TransactionResult& result) {
  const uint8_t* response = link.response;
  if (result.outcome == TransactionOutcome::kAnswer) {
    LogTrace("Response from Modbus Meter\n");
    DumpTrace(response, result.length);
  } else if (ExceptionUpTo(result, kHighestReportedException)) {
    LogTrace("Error from Modbus Meter\n");
    DumpTrace(response, ExceptionAnswerLength(link.port->GetFraming()));
  } else if (ResultCode(result) == kModbusNoValidAnswer) {
    LogTrace("Error from Modbus Meter\n");
  } else {
    LogTrace("Unknown Error from Modbus Meter\n");
  }
}

MeterName NameOf(const Meter& meter) {
  MeterName name{};
  std::snprintf(name.text, sizeof name.text, "meter %u (IdNumber %.16s)", meter.primaryAddress,
                meter.idNumberText.text);
  return name;
}

}  // namespace kestrel
