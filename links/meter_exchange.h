#pragma once
// Sending one request built for a meter, tracing what came back, and
// deciding whether the meter answered.
#include <cstdint>

#include "links/link.h"
#include "model/meter_model.h"

namespace kestrel {

constexpr int kReadAttempts = 2;   // REQ_UD2 reads
constexpr int kOtherAttempts = 1;  // writes and initialising requests

// The requests a handler sends for a meter, each with its own idea of what
// counts as an answer (see MeterAnswered).
enum class MeterRequest { kRead, kWrite, kReset, kSndNke, kSelection };

// Whether a transaction's result counts as "the meter answered" for request.
bool MeterAnswered(MeterRequest request, const TransactionResult& result);

// A request for a meter, as its link's transaction sends it.
struct MeterExchange {
  const char* traceLine;  // traced before the request
  const uint8_t* request;
  int length;
  int attempts;
  int answerLimit = kModbusAnswerLimit;  // the longest answer taken (a block read's may be longer)
};

// Traces the exchange's line, then begins its transaction on the link's
// line, which must be free, with the meter's parity and time limit. The
// answer goes to link.response.
void BeginExchangeWithMeter(Link& link, const Meter& meter, const MeterExchange& exchange);

// The report traced after a read, a write, an application reset or an
// SND_NKE: the response, the error, or that nothing valid came.
void TraceTransactionReport(const Link& link, const TransactionResult& result);

// "meter 5 (IdNumber 12345678)", for trace lines that name a meter.
struct MeterName {
  char text[96];
};
MeterName NameOf(const Meter& meter);

}  // namespace kestrel
