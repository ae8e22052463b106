#pragma once
// Sending one request built for a meter, tracing what came back, and
// deciding whether the meter answered.
#include <cstdint>

#include "gateway/gateway.h"

namespace kestrel {

constexpr int kReadAttempts = 2;   // REQ_UD2 reads
constexpr int kOtherAttempts = 1;  // writes and initialising requests

// The requests a handler sends for a meter, each with its own idea of what
// counts as an answer (see MeterAnswered).
enum class MeterRequest { kRead, kWrite, kReset, kSndNke, kSelection };

// Whether a transaction's result counts as "the meter answered" for request.
bool MeterAnswered(MeterRequest request, const TransactionResult& result);

// Traces line, then begins the request's transaction on the Modbus line
// with the meter's parity; the line must be free (no transaction under
// way). The answer goes to gateway.modbusResponse. answerLimit: the longest
// answer taken (a block read's may be longer than the usual one).
void BeginExchangeWithMeter(Gateway& gateway, const Meter& meter, const char* line, const uint8_t* request,
                            int length, int attempts, int answerLimit = kModbusAnswerLimit);

// The same, run to its end.
TransactionResult ExchangeWithMeter(Gateway& gateway, const Meter& meter, const char* line, const uint8_t* request,
                                    int length, int attempts, int answerLimit = kModbusAnswerLimit);

// The report traced after a read, a write, an application reset or an
// SND_NKE: the response, the error, or that nothing valid came.
void TraceTransactionReport(const Gateway& gateway, const TransactionResult& result);

// "meter 5 (IdNumber 12345678)", for trace lines that name a meter.
struct MeterName {
  char text[96];
};
MeterName NameOf(const Meter& meter);

}  // namespace kestrel
