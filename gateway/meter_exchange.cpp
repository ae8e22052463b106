#include "gateway/meter_exchange.h"

#include <cstdio>

#include "modbus/framing.h"
#include "modbus/transaction.h"
#include "ports/TPort.h"
#include "support/logs.h"

namespace kestrel {
namespace {

constexpr int kExceptionPduLength = 2;  // function, exception code
constexpr int kLowestReportedException = -15;
// Exception codes a slave sends are at most 127; anything below -127 is no
// answer from the meter at all (-257: nothing valid came).
constexpr int kLowestExceptionAnswer = -127;

}  // namespace

bool MeterAnswered(MeterRequest request, int result) {
  switch (request) {
    case MeterRequest::kRead:
      // A record needs the registers' values: an exception answer carries
      // none, so any negative result drops the telegram.
      return result >= 0;
    case MeterRequest::kWrite:
    case MeterRequest::kReset:
      // SND_UD and application reset only need the meter to be there: an
      // exception answer proves it; only a missing answer fails them.
      return result != kModbusNoValidAnswer;
    case MeterRequest::kSndNke:
    case MeterRequest::kSelection:
      // SND_NKE and selection accept every exception code a slave sends
      // (up to 127) as the meter's answer, and nothing below.
      return result >= kLowestExceptionAnswer;
  }
  return false;
}

int ExchangeWithMeter(Gateway& gateway, const Meter& meter, const char* line, const uint8_t* request,
                      int length, int attempts, int answerLimit) {
  LogTrace("%s", line);  // the transaction dumps the request as it goes on the wire
  return ModbusTransaction(*gateway.modbusPort, gateway.modbusLine, request, length, gateway.modbusResponse,
                           gateway.modbusTimeout, meter.parity, attempts, answerLimit);
}

void TraceTransactionReport(const Gateway& gateway, int result) {
  const uint8_t* response = gateway.modbusResponse;
  if (result > 0) {
    LogTrace("Response from Modbus Meter\n");
    DumpTrace(response, result);
  } else if (result >= kLowestReportedException) {
    LogTrace("Error from Modbus Meter\n");
    const ModbusFraming framing = gateway.modbusPort->GetFraming();
    DumpTrace(response, AnswerPduOffset(framing) + kExceptionPduLength + AnswerTrailerLength(framing));
  } else if (result == kModbusNoValidAnswer) {
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
